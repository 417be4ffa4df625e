#pragma once

namespace porvane::widgets {

// A beep of the given pitch and length through the desktop's sound server (paplay, else aplay),
// or the plain desktop bell where neither is installed. Never blocks the caller.
void Beep(int frequency_hz, int duration_ms);

}  // namespace porvane::widgets
