// The terminal page beside a USB serial adapter mocked with umockdev, which the test pulls and
// plugs in again: the port list follows udev, shows the adapter's identity, and the adapter that
// comes back under another tty name is reopened with one click.
//
// The test runs itself under umockdev-wrapper and the mocked adapter, whose control lines it
// writes into a pipe that is the adapter's standard input.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QtTest>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/qt_testing/qt_test_support.h"
#include "porvane/shell/ui/terminal_page.h"
#include "porvane/terminal/ui/receive_panel.h"

namespace {

constexpr char kWrapper[] = "/usr/bin/umockdev-wrapper";
constexpr char kControl[] = "PORVANE_ADAPTER_CONTROL";

// Starts this program again beside the mocked adapter, its control pipe as the adapter's
// standard input; returns only when that cannot be done.
void RunBesideTheAdapter(int argc, char** argv) {
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0 || ::access(kWrapper, X_OK) != 0)
        return;
    self[n] = '\0';
    const std::string bin = std::string(self).substr(0, std::string(self).rfind('/'));
    char folder[] = "/tmp/adapter-list-XXXXXX";
    if (::mkdtemp(folder) == nullptr)
        return;
    const std::string pipe = std::string(folder) + "/control";
    // Read and write: the open does not wait for a writer, and the pipe never reads as ended.
    if (::mkfifo(pipe.c_str(), 0600) != 0)
        return;
    const int fd = ::open(pipe.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 || ::dup2(fd, STDIN_FILENO) < 0)
        return;
    ::setenv(kControl, pipe.c_str(), 1);
    // umockdev's preloaded library comes before a sanitized program's runtime: allowed.
    ::setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 0);
    const std::string adapter = bin + "/mocked_adapter";
    std::vector<char*> args = {const_cast<char*>(kWrapper), const_cast<char*>(adapter.c_str()),
                               self};
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    ::execv(kWrapper, args.data());
}

}  // namespace

using qt_testing::MessageCatcher;
using qt_testing::WaitUntil;

class AdapterListTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        if (std::getenv(kControl) == nullptr)
            QSKIP("umockdev-wrapper is not installed");
        if (::geteuid() != 0)
            QSKIP("pulling the mocked adapter hangs its tty up, which takes CAP_SYS_ADMIN");
        ::unsetenv("PORVANE_DEVICE_MAP");
    }

    void cleanupTestCase() {
        // The control pipe and its folder go; the adapter holds the pipe open as it is.
        if (const char* pipe = std::getenv(kControl)) {
            const std::string path = pipe;
            ::unlink(path.c_str());
            ::rmdir(path.substr(0, path.rfind('/')).c_str());
        }
    }

    void theAdapterComesGoesAndIsReopenedWithOneClick() {
        porvane::shell::TerminalPage page;
        page.resize(900, 600);
        page.show();
        auto* combo = page.findChild<QComboBox*>("portCombo");
        auto* open = page.findChild<QPushButton*>("openButton");
        QCOMPARE(combo->count(), 1);
        QCOMPARE(combo->currentText(), QStringLiteral("ttyUSB0"));
        const QString tip = combo->itemData(0, Qt::ToolTipRole).toString();
        for (const char* line :
             {"设备: /dev/ttyUSB0",
              "by-id: /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0",
              "by-path: /dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0",
              "USB: 0403:6001 FTDI FT232R USB UART", "序列号: A1B2C3", "驱动: ftdi_sio"}) {
            QVERIFY2(tip.contains(QString::fromUtf8(line)), qPrintable(tip));
        }

        MessageCatcher catcher;
        QTest::mouseClick(open, Qt::LeftButton);
        QCOMPARE(open->text(), QString::fromUtf8("关闭串口"));
        Control("unplug");
        QVERIFY(WaitUntil([&] { return !catcher.messages.isEmpty() && combo->count() == 0; }));
        QCOMPARE(catcher.messages.first(), QString::fromUtf8("串口已断开"));
        QVERIFY(page.receive_panel()->awaiting_return());

        // Back under the next tty name: the same adapter by its serial number and by-id name.
        Control("plug");
        QVERIFY(WaitUntil([&] { return !page.receive_panel()->awaiting_return(); }));
        QCOMPARE(combo->currentText(), QStringLiteral("ttyUSB1"));
        QCOMPARE(page.findChild<QLabel*>("reconnectStatus")->text(),
                 QString::fromUtf8("适配器已重新连接"));
        QTest::mouseClick(open, Qt::LeftButton);
        QCOMPARE(open->text(), QString::fromUtf8("关闭串口"));
        QVERIFY(page.receive_panel()->channel().IsOpen());
        QTest::mouseClick(open, Qt::LeftButton);
        QCOMPARE(catcher.messages.size(), 1);
    }

  private:
    static void Control(const char* line) {
        const int fd = ::open(std::getenv(kControl), O_WRONLY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        const std::string text = std::string(line) + "\n";
        QCOMPARE(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(fd);
    }
};

int main(int argc, char** argv) {
    if (std::getenv(kControl) == nullptr)
        RunBesideTheAdapter(argc, argv);
    QApplication app(argc, argv);
    AdapterListTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "adapter_list_test.moc"
