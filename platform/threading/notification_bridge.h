#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace threading {

// Carries a call from a worker thread to the page's thread and waits for it, as a synchronous
// window message does: the worker blocks until the page has run the call, and the call's data
// stays valid meanwhile. Unlike a blocking queued connection it lets the page's thread run the
// waiting calls itself (Pump) while it waits for a worker to end, so closing a port never
// deadlocks against an event thread that is blocked in a notification.
class NotificationBridge {
  public:
    // post asks the page's thread to call Pump() soon; it may be called from any thread.
    explicit NotificationBridge(std::function<void()> post);

    // The page's thread; calls made on it run at once.
    void SetPageThread(std::thread::id id);

    // Runs call on the page's thread and returns after it has run.
    void Call(const std::function<void()>& call);

    // Page's thread: runs every call that waits.
    void Pump();

  private:
    struct Pending {
        const std::function<void()>* call;
        bool done = false;
    };

    std::function<void()> post_;
    std::mutex mutex_;  // guards page_thread_, queue_ and each Pending's done flag
    std::condition_variable done_cv_;
    std::thread::id page_thread_;
    std::deque<Pending*> queue_;
};

}  // namespace threading
