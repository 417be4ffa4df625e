#pragma once

#include <QString>

namespace porvane::shell {

// The user manual: an HTML file installed beside the program (share/porvane/porvane-help.html
// next to the bin folder), opened in the desktop's browser.
QString HelpFilePath();
void OpenHelp();

}  // namespace porvane::shell
