#pragma once

#include <cstdint>

class QPushButton;
class QString;
class QWidget;

namespace porvane::monitor {

class DriverLink;

// The monitor and filter pages' first step of "开始": with no filter driver installed it says so
// in a message box over page and disables start, which cannot succeed until it is; otherwise it
// opens link for the host's port at index port (none when -1) and puts it in mode, or shows
// failure_text when the driver cannot be reached. Returns true once the link is open.
bool OpenDriverLink(QWidget* page, QPushButton* start, DriverLink& link, int port, uint32_t mode,
                    const QString& failure_text);

}  // namespace porvane::monitor
