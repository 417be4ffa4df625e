#include "driver/host/watch_page.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <new>

#include "driver/link/link_protocol.h"

namespace sievra {

WatchPage::~WatchPage() {
    if (state_ != nullptr) {
        state_->store(link::kUnwatched);
        ::munmap(state_, link::kPageSize);
    }
}

comm::CommStatus WatchPage::Create(const char* name) {
    fd_.Reset(::memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd_.valid())
        return comm::CommStatus::Failure("memfd_create page", errno);
    if (::ftruncate(fd_.get(), link::kPageSize) != 0)
        return comm::CommStatus::Failure("size page", errno);
    void* mapped =
        ::mmap(nullptr, link::kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd_.get(), 0);
    if (mapped == MAP_FAILED)
        return comm::CommStatus::Failure("map page", errno);
    state_ = new (mapped) std::atomic<uint32_t>(link::kUnwatched);
    rules_ = new (static_cast<uint8_t*>(mapped) + link::kRuleGlanceOffset) link::RuleGlance{};
    // The host's own mapping stays writable; every later one is read-only.
    if (::fcntl(fd_.get(), F_ADD_SEALS,
                F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_FUTURE_WRITE | F_SEAL_SEAL) != 0) {
        return comm::CommStatus::Failure("seal page", errno);
    }
    return {};
}

void WatchPage::Set(uint32_t state) {
    if (state_ != nullptr)
        state_->store(state, std::memory_order_release);
}

void WatchPage::SetRules(const bool time_armed[2], const uint32_t count_left[2]) {
    if (rules_ == nullptr)
        return;
    std::lock_guard lock(rules_mutex_);
    rules_->sequence.fetch_add(1);  // odd: being written
    for (int d = 0; d < 2; ++d) {
        rules_->time_armed[d].store(time_armed[d] ? 1 : 0);
        rules_->count_left[d].store(count_left[d]);
    }
    rules_->sequence.fetch_add(1);
}

}  // namespace sievra
