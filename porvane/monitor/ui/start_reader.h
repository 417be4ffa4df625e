#pragma once

#include <atomic>
#include <functional>
#include <thread>

class QWidget;

namespace porvane::monitor {

class DriverLink;

// Starts a page's reading thread on loop with running set first, so the loop sees it. When the
// system has no thread to give it clears running, closes link again and says so over page.
// Returns true once the thread runs.
bool StartReader(QWidget* page, DriverLink& link, std::atomic<bool>& running, std::thread& reader,
                 std::function<void()> loop);

}  // namespace porvane::monitor
