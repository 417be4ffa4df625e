#include "porvane/shell/ui/helper_page.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QVBoxLayout>

#include "porvane/install/ui/driver_panel.h"
#include "porvane/shell/ui/program_identity.h"

namespace porvane::shell {

QString HelperPage::NotesText() {
    static const char* const kLines[] = {
        "Porvane 把串口调试,串口测试,串口监视和串口过滤集中在一个串口工具里.",
        "",
        "串口调试: 和多数串口调试工具一样具有串口的收发功能.",
        "          本身特点: 自动检测串口(包括各种虚拟串口).",
        "                    参数设置详细,能发送16进制,各种文件数据.",
        "                    显示串口握手线信号, 显示各种硬件错误.",
        "          作用: 调试串口应用程序.",
        "",
        "串口测试: 发送,接收大量伪随机码对串口设备/串口线路的质量进行测试.",
        "          能自动同步,可以测试单向的线路质量,代替昂贵的测试仪表.",
        "          随机码包括标准的 "
        "2^15-1,2^11-1,2^9-1和16bit人工码.自动/手动插入误码(1/10000,1/1000,单个).",
        "          自动记录各种测试结果.",
        "          作用: 测试串口设备/串口线路(测试时不要选软件流控).",
        "",
        "串口监视: 不占用串口资源,监视串口通信的整个流程---从打开到关闭",
        "          监视串口的各种参数设置: "
        "波特率,数据位,校验位,停止位,握手方式,超时数值,串口事件等等.",
        "          监视串口的收发数据,各种硬件信号,硬件错误.",
        "          作用: 监视程序对串口的访问流程.",
        "",
        "串口过滤: 不占用串口资源,对流经串口的数据进行过滤.",
        "          在发送/接收数据流中改变字符.",
        "          在发送/接收数据流中进行字符代替.",
        "          在发送/接收数据流中删除字符.",
        "          作用: 模拟数据传输中出现的各种误码,丢失字符,调试串口的通信协议.",
        "",
        "注意: "
        "串口监视,串口过滤的功能使用前必须安装监视/过滤驱动.安装后必须重启机器才能开始监视/过滤!!",
        "      静态链接的程序和 set-user-id 程序不装入附着库, 不能被监视/过滤.",
        "      请按'F1'得到更多帮助",
    };
    QString text;
    for (size_t i = 0; i < std::size(kLines); ++i) {
        if (i > 0)
            text += QStringLiteral("\r\n");
        text += QString::fromUtf8(kLines[i]);
    }
    return text;
}

HelperPage::HelperPage(QWidget* parent) : QWidget(parent) {
    auto* group = new QGroupBox(QString::fromUtf8("程序说明:"));
    auto* icon = new QLabel;
    icon->setPixmap(ProgramIcon().pixmap(32, 32));
    auto* caption = new QLabel(ProgramCaption());
    auto* platform =
        new QLabel(QString::fromUtf8("本程序用到了Linux串口驱动的特性,强烈建议在Linux下运行."
                                     "在其他系统下串口监视/过滤,硬件测试会失效."));
    platform->setWordWrap(true);
    notes_ = new QPlainTextEdit(NotesText());
    notes_->setObjectName("notesField");
    notes_->setReadOnly(true);
    notes_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    auto* head = new QHBoxLayout;
    head->addWidget(icon);
    head->addWidget(caption, 1);
    auto* inner = new QVBoxLayout(group);
    inner->addLayout(head);
    inner->addWidget(platform);
    inner->addWidget(notes_, 1);
    driver_panel_ = new install::DriverPanel(this);
    driver_panel_->setObjectName("driverPanel");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group, 1);
    layout->addWidget(driver_panel_);
}

CaptionPage::CaptionPage(const QString& caption, QWidget* parent) : QWidget(parent) {
    auto* label = new QLabel(caption);
    label->setObjectName("pageCaption");
    label->setAlignment(Qt::AlignCenter);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
}

}  // namespace porvane::shell
