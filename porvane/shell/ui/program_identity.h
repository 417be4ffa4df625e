#pragma once

#include <QIcon>
#include <QString>

namespace porvane::shell {

// The name and version the windows show, and the program's icon (drawn, not loaded).
QString ProgramCaption();  // "Porvane 1.1 For Linux"
QIcon ProgramIcon();

}  // namespace porvane::shell
