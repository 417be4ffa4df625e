#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

class QObject;
class QWidget;

namespace porvane::monitor {

class DriverLink;

// Starts a page's reading thread on loop with running set first, so the loop sees it. When the
// system has no thread to give it clears running, closes link again and says so over page.
// Returns true once the thread runs.
bool StartReader(QWidget* page, DriverLink& link, std::atomic<bool>& running, std::thread& reader,
                 std::function<void()> loop);

// The body of a page's reading thread: reads whole records from link and hands each buffer to
// take (on the reading thread) until running is cleared or the link closes. When the link closes
// under a running page (the host went away, or hung and was given up), stop is queued to the
// page's thread, which calls it only if the link is still closed then: a page stopped and started
// again meanwhile runs on.
void ReadRecords(QObject* page, DriverLink& link, const std::atomic<bool>& running,
                 std::function<void()> stop,
                 const std::function<void(const uint8_t* records, uint32_t length)>& take);

}  // namespace porvane::monitor
