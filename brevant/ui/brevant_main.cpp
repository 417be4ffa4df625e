// Brevant: the card reader's command assistant. On Linux its grid needs no registration step,
// so the program starts straight into the main window.
#include <QApplication>
#include <cstdio>

#include "brevant/ui/brevant_window.h"
#include "platform/cli/command_line.h"
#include "platform/qt_l10n/qt_translations.h"
#include "platform/qt_style/visible_scroll_bars.h"

namespace {

const char kFooter[] =
    "It needs a display; brevant-cli sends a command file's commands on a terminal\n"
    "(brevant-cli --help). Qt's own options (-platform NAME, -style NAME, ...) are passed on to\n"
    "Qt. Settings live in $XDG_CONFIG_HOME/brevant/Config.INI (~/.config/brevant/Config.INI).\n"
    "Exit status: 0 the window was closed, 1 no display, 2 usage error.";

}  // namespace

int main(int argc, char** argv) {
    // Parsed before the window system is reached, so that --help and --version work without a
    // display; what the command line does not define is left for Qt.
    CLI::App options{"The card reader's command assistant: reader commands sent as frames"};
    options.footer(kFooter);
    options.allow_extras();
    cli_support::ManualSections manual;
    manual.examples = {
        {"", "Opens the command assistant on the port of Config.INI."},
        {"-platform offscreen", "Runs it without a display (Qt's own option)."},
    };
    manual.environment = {
        {"COM1, COM2, ...",
         "The device (or rfc2217://HOST:PORT) that port n opens instead of\n"
         "/dev/ttyS(n-1)."},
        {"XDG_CONFIG_HOME, HOME",
         "Where Config.INI lives: $XDG_CONFIG_HOME/brevant, else\n"
         "$HOME/.config/brevant."},
    };
    if (const auto done = cli_support::ParseCommandLine(options, "brevant", argc, argv, manual))
        return *done;
    if (const auto word = cli_support::FirstNonQtArgument(argc, argv)) {
        std::fprintf(stderr, "brevant: unexpected argument '%s' (see brevant --help)\n",
                     word->c_str());
        return cli_support::kUsageError;
    }
    if (const auto done = cli_support::RefuseWithoutDisplay("brevant", "brevant-cli", argc, argv))
        return *done;
    QApplication app(argc, argv);  // takes Qt's options out of argv
    QApplication::setApplicationName(QStringLiteral("Brevant"));
    qt_l10n::InstallQtTranslations(app);  // Qt's own dialogs speak the program's language
    qt_style::UseVisibleScrollBars(app);
    brevant::BrevantWindow window;
    window.show();
    return QApplication::exec();
}
