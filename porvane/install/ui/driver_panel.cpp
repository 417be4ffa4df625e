#include "porvane/install/ui/driver_panel.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "porvane/install/driver_image.h"
#include "porvane/install/filter_installer.h"
#include "porvane/install/logind_rebooter.h"
#include "porvane/widgets/page_base.h"

namespace porvane::install {

DriverPanel::DriverPanel(QWidget* parent) : DriverPanel(EmbeddedDriverImage(), parent) {}

DriverPanel::DriverPanel(std::span<const uint8_t> image, QWidget* parent)
    : QWidget(parent), image_(image), rebooter_(std::make_unique<LogindRebooter>()) {
    auto* group = new QGroupBox(QString::fromUtf8("安装监视/过滤驱动:"));
    group->setObjectName("driverGroup");
    auto* warning =
        new QLabel(QString::fromUtf8("如果安装驱动后,计算机出现硬件错误而不能启动,"
                                     "请从恢复模式进入Linux,运行此程序,卸载驱动!!!"));
    warning->setObjectName("driverWarning");
    warning->setWordWrap(true);
    button_ = new QPushButton(QString::fromUtf8("安装监视/过滤驱动"));
    button_->setObjectName("driverButton");
    status_ = new QLabel(QString::fromUtf8("监视/过滤驱动程序没有安装!!!"));
    status_->setObjectName("driverStatus");
    auto* row = new QHBoxLayout;
    row->addWidget(button_);
    row->addWidget(status_, 1);
    auto* inner = new QVBoxLayout(group);
    inner->addWidget(warning);
    inner->addLayout(row);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(group, 3);
    layout->addStretch(1);

    // The installed state is read once; afterwards the panel's own actions decide it.
    installed_ =
        FilterInstaller(FilterInstaller::SysRoot(), image_, FilterInstaller::DefaultSievradPath())
            .IsFilterInstalled();
    if (installed_) {
        button_->setText(QString::fromUtf8("卸载监视/过滤驱动"));
        status_->setText(QString::fromUtf8("监视/过滤驱动程序已经安装!!!"));
    } else {
        button_->setText(QString::fromUtf8("安装监视/过滤驱动"));
        status_->setText(QString::fromUtf8("监视过滤驱动程序没有安装!!!"));
    }
    connect(button_, &QPushButton::clicked, this, &DriverPanel::Press);
}

DriverPanel::~DriverPanel() = default;

void DriverPanel::SetRebooter(std::unique_ptr<Rebooter> rebooter) {
    rebooter_ = std::move(rebooter);
}

void DriverPanel::Press() {
    FilterInstaller installer(FilterInstaller::SysRoot(), image_,
                              FilterInstaller::DefaultSievradPath());
    if (installed_) {
        std::string error;
        installer.RemoveFilter(error);  // failures of removal are not reported
        status_->setText(QString::fromUtf8("监视/过滤驱动程序已经删除,请重新启动计算机!!!"));
        button_->setText(QString::fromUtf8("安装监视/过滤驱动"));
        installed_ = false;
    } else {
        std::vector<std::string> messages;
        const int written = installer.InstallFilter(messages);
        for (const std::string& message : messages)
            widgets::ShowProgramMessage(this, QString::fromStdString(message));
        if (written == 0)
            return;
        status_->setText(QString::fromUtf8("监视/过滤驱动程序已经安装,请重新启动计算机!!!"));
        button_->setText(QString::fromUtf8("卸载监视/过滤驱动"));
        installed_ = true;
    }
    QMessageBox question(QMessageBox::Warning, QString::fromUtf8("安装完毕"),
                         QString::fromUtf8("必须重新启动计算机,才能使设置生效.\r\n现在重启吗?"),
                         QMessageBox::Yes | QMessageBox::No, this);
    question.setObjectName("restartQuestion");
    if (question.exec() != QMessageBox::Yes)
        return;
    std::vector<std::string> messages;
    RestartComputer(*rebooter_, FilterInstaller::SysRoot(), messages);
    for (const std::string& message : messages)
        widgets::ShowProgramMessage(this, QString::fromStdString(message));
}

}  // namespace porvane::install
