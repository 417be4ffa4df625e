#include "platform/threading/notification_bridge.h"

namespace threading {

NotificationBridge::NotificationBridge(std::function<void()> post)
    : post_(std::move(post)), page_thread_(std::this_thread::get_id()) {}

void NotificationBridge::SetPageThread(std::thread::id id) {
    std::lock_guard lock(mutex_);
    page_thread_ = id;
}

void NotificationBridge::Call(const std::function<void()>& call) {
    Pending pending{&call};
    bool inline_call;
    {
        std::lock_guard lock(mutex_);
        inline_call = std::this_thread::get_id() == page_thread_;
        if (!inline_call) {
            queue_.push_back(&pending);
        }
    }
    if (inline_call) {
        call();
        return;
    }
    post_();
    std::unique_lock lock(mutex_);
    done_cv_.wait(lock, [&] { return pending.done; });
}

void NotificationBridge::Pump() {
    std::unique_lock lock(mutex_);
    while (!queue_.empty()) {
        Pending* pending = queue_.front();
        queue_.pop_front();
        lock.unlock();
        (*pending->call)();
        lock.lock();
        pending->done = true;
        done_cv_.notify_all();
    }
}

}  // namespace threading
