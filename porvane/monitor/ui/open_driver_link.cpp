#include "porvane/monitor/ui/open_driver_link.h"

#include <QMessageBox>
#include <QPushButton>

#include "porvane/install/filter_installer.h"
#include "porvane/monitor/driver_link.h"
#include "porvane/widgets/page_base.h"

namespace porvane::monitor {

bool OpenDriverLink(QWidget* page, QPushButton* start, DriverLink& link, int port, uint32_t mode,
                    const QString& failure_text) {
    if (!install::IsFilterInstalled()) {
        QMessageBox box(QMessageBox::Warning, QString::fromUtf8("请安装驱动"),
                        QString::fromUtf8("没有安装监视/过滤驱动程序,请看'关于帮助'的说明."),
                        QMessageBox::Ok, page);
        box.setObjectName("installDriverMessage");
        box.exec();
        start->setEnabled(false);
        return false;
    }
    if (!link.Open(port)) {
        QString text = failure_text;
        if (link.open_failure() == DriverLink::OpenFailure::kAccessDenied) {
            text +=
                link.denied_device().empty()
                    ? QString::fromUtf8("\n没有权限: 这个用户不能使用监视/过滤驱动")
                    : QString::fromUtf8("\n没有权限: 只有能读写 %1 的用户才能监视或过滤这个串口")
                          .arg(QString::fromStdString(link.denied_device()));
        }
        widgets::ShowProgramMessage(page, text);
        return false;
    }
    link.SetMode(mode);
    return true;
}

}  // namespace porvane::monitor
