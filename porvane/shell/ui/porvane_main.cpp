// Porvane: the serial-port workbench.
#include <QApplication>
#include <cstdio>

#include "platform/cli/command_line.h"
#include "porvane/shell/ui/main_dialog.h"

namespace {

const char kFooter[] =
    "It needs a display; porvane-cli does the same work on a terminal (porvane-cli --help).\n"
    "Qt's own options (-platform NAME, -style NAME, ...) are passed on to Qt.\n"
    "\n"
    "Environment: PORVANE_DEVICE_MAP (a device=port file replacing the machine's serial ports),\n"
    "SIEVRA_RUNTIME_DIR (the driver host's sockets), SIEVRA_SYSROOT (the root the filter is\n"
    "installed under).\n"
    "Exit status: 0 the window was closed, 1 no display, 2 usage error.";

}  // namespace

int main(int argc, char** argv) {
    // Parsed before the window system is reached, so that --help and --version work without a
    // display; what the command line does not define is left for Qt.
    CLI::App options{
        "The serial-port workbench: terminal, line tester, monitor, filter and the filter's "
        "installation, in one window"};
    options.footer(kFooter);
    options.allow_extras();
    cli_support::ManualSections manual;
    manual.examples = {
        {"", "Opens the workbench."},
        {"-platform offscreen", "Runs it without a display (Qt's own option)."},
    };
    manual.environment = {
        {"PORVANE_DEVICE_MAP",
         "A file of device=port lines that replaces the serial ports found\n"
         "under /sys/class/tty."},
        {"SIEVRA_RUNTIME_DIR",
         "The folder of the filter driver host's control sockets (default\n"
         "/run/sievra)."},
        {"SIEVRA_SYSROOT",
         "The system root the notes page installs the filter driver under\n"
         "(default /)."},
    };
    if (const auto done = cli_support::ParseCommandLine(options, "porvane", argc, argv, manual))
        return *done;
    if (const auto word = cli_support::FirstNonQtArgument(argc, argv)) {
        std::fprintf(stderr, "porvane: unexpected argument '%s' (see porvane --help)\n",
                     word->c_str());
        return cli_support::kUsageError;
    }
    if (const auto done = cli_support::RefuseWithoutDisplay("porvane", "porvane-cli", argc, argv))
        return *done;
    QApplication app(argc, argv);  // takes Qt's options out of argv
    porvane::shell::PrepareApplication(app);
    porvane::shell::MainDialog window;
    window.show();
    return QApplication::exec();
}
