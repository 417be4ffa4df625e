#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "platform/comm/unique_fd.h"

namespace porvane::cli {

// Runs on_stop once, on its own thread, when stop_fd becomes readable (a signal arrived) or the
// reader of output_fd (when not -1) has gone; ends without calling it when destroyed first.
// Either counts as a stop: the command ends quietly.
class StopWatcher {
  public:
    StopWatcher(int stop_fd, std::function<void()> on_stop, int output_fd = -1);
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
