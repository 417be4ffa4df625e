#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/threading/notification_bridge.h"

namespace threading {
namespace {

// A page thread with a queue of wake-ups, standing in for the user-interface event loop.
class PageLoop {
  public:
    PageLoop() : bridge_([this] { Post(); }), thread_([this] { Run(); }) {
        std::unique_lock lock(mutex_);
        started_.wait(lock, [this] { return running_; });
    }
    ~PageLoop() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    NotificationBridge& bridge() { return bridge_; }
    std::thread::id id() const { return thread_.get_id(); }

  private:
    void Post() {
        {
            std::lock_guard lock(mutex_);
            ++posted_;
        }
        wake_.notify_all();
    }
    void Run() {
        bridge_.SetPageThread(std::this_thread::get_id());
        std::unique_lock lock(mutex_);
        running_ = true;
        started_.notify_all();
        for (;;) {
            wake_.wait(lock, [this] { return stop_ || posted_ > 0; });
            if (stop_)
                return;
            posted_ = 0;
            lock.unlock();
            bridge_.Pump();
            lock.lock();
        }
    }

    NotificationBridge bridge_;
    std::mutex mutex_;  // guards posted_, stop_, running_
    std::condition_variable wake_, started_;
    int posted_ = 0;
    bool stop_ = false;
    bool running_ = false;
    std::thread thread_;
};

TEST(NotificationBridge, RunsCallsOnThePageThreadAndWaitsForThem) {
    PageLoop loop;
    std::atomic<int> total{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
        workers.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                int value = i;  // lives on the worker's stack: valid during the call only
                std::thread::id ran_on;
                loop.bridge().Call([&] {
                    ran_on = std::this_thread::get_id();
                    total += value;
                });
                EXPECT_EQ(ran_on, loop.id());
            }
        });
    }
    for (auto& w : workers)
        w.join();
    EXPECT_EQ(total.load(), 4 * (199 * 200 / 2));
}

TEST(NotificationBridge, CallsOnThePageThreadRunInline) {
    int posts = 0;
    NotificationBridge bridge([&] { ++posts; });
    bool ran = false;
    bridge.Call([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_EQ(posts, 0);
}

TEST(NotificationBridge, PumpByTheWaitingPageThreadReleasesTheWorker) {
    NotificationBridge bridge([] {});  // the page thread never gets to its event loop
    std::atomic<bool> ran{false};
    std::thread worker([&] { bridge.Call([&] { ran = true; }); });
    while (!ran) {
        bridge.Pump();
        std::this_thread::yield();
    }
    worker.join();
}

}  // namespace
}  // namespace threading
