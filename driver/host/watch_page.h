#pragma once

#include <atomic>
#include <cstdint>

#include <mutex>

#include "driver/link/link_protocol.h"
#include "platform/comm/comm_status.h"
#include "platform/comm/unique_fd.h"

namespace sievra {

// The page that tells the attachment in every program on a port who watches the port: one
// anonymous memory file, sized once and then sealed, so that whoever is handed it can only map
// it for reading; nobody can write, shrink or grow it. Only the host writes it, through the one
// mapping made before the seals.
class WatchPage {
  public:
    WatchPage() = default;
    ~WatchPage();
    WatchPage(const WatchPage&) = delete;
    WatchPage& operator=(const WatchPage&) = delete;

    comm::CommStatus Create(const char* name);
    void Set(uint32_t state);
    // Publishes what the rules will do next (see link::RuleGlance).
    void SetRules(const bool time_armed[2], const uint32_t count_left[2]);
    // The memory file, to be passed to the attachment (SCM_RIGHTS).
    int fd() const { return fd_.get(); }

  private:
    comm::UniqueFd fd_;
    std::atomic<uint32_t>* state_ = nullptr;
    link::RuleGlance* rules_ = nullptr;
    std::mutex rules_mutex_;  // one writer of the glance at a time
};

}  // namespace sievra
