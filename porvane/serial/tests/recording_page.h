#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "porvane/serial/page_notify.h"
#include "porvane/serial/page_window.h"

namespace porvane::serial::testing {

// A page that records every notification with a copy of its payload, and every message.
class RecordingPage : public PageWindow {
  public:
    struct Entry {
        uint32_t code;
        uint32_t value;              // codes 3, 9, 10
        std::vector<uint8_t> bytes;  // code 4
    };

    intptr_t PageNotify(uint32_t code, void* data) override {
        Entry entry{code, 0, {}};
        if (code == PN_MODEM_STATUS || code == PN_RECV_COUNT || code == PN_SEND_EMPTY) {
            entry.value = *static_cast<uint32_t*>(data);
        } else if (code == PN_RECV_DATA) {
            auto* block = static_cast<DataBlock*>(data);
            entry.bytes.assign(block->data, block->data + block->count);
            entry.value = block->count;
        }
        std::function<void(const Entry&)> hook;
        {
            std::lock_guard lock(mutex_);
            entries_.push_back(entry);
            if (code == PN_RECV_DATA) {
                received_.append(entry.bytes.begin(), entry.bytes.end());
            }
            hook = on_notify_;
        }
        changed_.notify_all();
        if (hook)
            hook(entry);
        return 0;
    }

    void ShowMessage(const std::string& text) override {
        std::lock_guard lock(mutex_);
        messages_.push_back(text);
    }

    void OnNotify(std::function<void(const Entry&)> hook) {
        std::lock_guard lock(mutex_);
        on_notify_ = std::move(hook);
    }

    std::vector<Entry> entries() {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    std::vector<uint32_t> codes() {
        std::vector<uint32_t> out;
        for (const Entry& e : entries())
            out.push_back(e.code);
        return out;
    }
    std::vector<std::string> messages() {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    std::string received() {
        std::lock_guard lock(mutex_);
        return received_;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        entries_.clear();
        received_.clear();
    }

    // Waits until pred (called under the lock with the entries) holds, or the time is up.
    bool WaitFor(const std::function<bool(const std::vector<Entry>&, const std::string&)>& pred,
                 int timeout_ms = 10000) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                 [&] { return pred(entries_, received_); });
    }
    bool WaitForCode(uint32_t code, int timeout_ms = 10000) {
        return WaitFor(
            [code](const std::vector<Entry>& entries, const std::string&) {
                for (const Entry& e : entries)
                    if (e.code == code)
                        return true;
                return false;
            },
            timeout_ms);
    }

  private:
    std::mutex mutex_;  // guards everything below
    std::condition_variable changed_;
    std::vector<Entry> entries_;
    std::string received_;
    std::vector<std::string> messages_;
    std::function<void(const Entry&)> on_notify_;
};

}  // namespace porvane::serial::testing
