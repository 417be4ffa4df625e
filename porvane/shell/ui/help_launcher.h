#pragma once

#include <QString>

class QWidget;

namespace porvane::shell {

// The user manual: an HTML file installed beside the program (share/porvane/porvane-help.html
// next to the bin folder).
QString HelpFilePath();

// Shows the manual in the program's own help window, owned by owner's window and shown
// maximised; a second request brings the same window back to the front.
void OpenHelp(QWidget* owner);

}  // namespace porvane::shell
