// Porvane: the serial-port workbench.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "porvane/shell/ui/main_dialog.h"

namespace {

const char kUsage[] =
    "Usage: porvane [Qt options]\n"
    "The serial-port workbench: terminal, line tester, monitor, filter and the filter's\n"
    "installation, in one window. It needs a display; porvane-cli does the same work on a\n"
    "terminal (porvane-cli --help).\n"
    "\n"
    "  -h, --help   print this text and exit\n"
    "\n"
    "Environment: PORVANE_DEVICE_MAP (a device=port file replacing the machine's serial ports),\n"
    "SIEVRA_RUNTIME_DIR (the driver host's sockets), SIEVRA_SYSROOT (the root the filter is\n"
    "installed under).\n";

// Asked before the window system is reached, so that it works without a display.
bool AsksForHelp(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0)
            return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (AsksForHelp(argc, argv)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    QApplication app(argc, argv);
    porvane::shell::PrepareApplication(app);
    porvane::shell::MainDialog window;
    window.show();
    return QApplication::exec();
}
