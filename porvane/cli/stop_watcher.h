#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "platform/comm/unique_fd.h"

namespace porvane::cli {

// Runs on_stop once, on its own thread, when stop_fd becomes readable (a signal arrived); ends
// without calling it when destroyed first.
class StopWatcher {
  public:
    StopWatcher(int stop_fd, std::function<void()> on_stop);
    ~StopWatcher();
    StopWatcher(const StopWatcher&) = delete;
    StopWatcher& operator=(const StopWatcher&) = delete;

    bool stopped() const { return stopped_; }

  private:
    comm::UniqueFd wake_read_;
    comm::UniqueFd wake_write_;
    std::atomic<bool> stopped_{false};
    std::thread thread_;
};

}  // namespace porvane::cli
