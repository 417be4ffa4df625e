#include "driver/host/record_ring_reader.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace sievra {

RecordRingReader::~RecordRingReader() {
    if (mapping_ != nullptr)
        ::munmap(mapping_, link::kRingFileSize);
}

bool RecordRingReader::Create() {
    comm::UniqueFd fd(::memfd_create("sievra-records", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd.valid() || ::ftruncate(fd.get(), link::kRingFileSize) != 0 ||
        ::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        return false;
    }
    void* mapping =
        ::mmap(nullptr, link::kRingFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (mapping == MAP_FAILED)
        return false;
    mapping_ = mapping;
    fd_ = std::move(fd);
    return true;
}

RecordRingReader::Taken RecordRingReader::Take(uint8_t* out, size_t max, size_t& got) {
    got = 0;
    link::RingHeader* header = link::RingHeaderOf(mapping_);
    const uint32_t used = Tail() - head_;
    if (used > link::kRingCapacity)
        return Taken::kBroken;
    if (used == 0)
        return Taken::kEmpty;
    const uint8_t* data = link::RingDataOf(mapping_);
    const size_t n = std::min<size_t>(used, max);
    const size_t at = head_ & (link::kRingCapacity - 1);
    const size_t first = std::min(n, link::kRingCapacity - at);
    std::memcpy(out, data + at, first);
    std::memcpy(out + first, data, n - first);
    head_ += static_cast<uint32_t>(n);
    got = n;
    header->head.store(head_, std::memory_order_release);
    if (header->writer_waiting.exchange(0) != 0) {
        ::syscall(SYS_futex, &header->head, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
    }
    return Taken::kData;
}

bool RecordRingReader::HasData() const {
    return Tail() != head_;
}

uint32_t RecordRingReader::Tail() const {
    // seq_cst: after Sleep's store, so that either this sees the writer's record or the writer
    // sees the host asleep.
    return end_ ? *end_ : link::RingHeaderOf(mapping_)->tail.load();
}

void RecordRingReader::EndHere() {
    if (!end_)
        end_ = Tail();
}

bool RecordRingReader::Sleep() {
    link::RingHeader* header = link::RingHeaderOf(mapping_);
    header->host_sleeping.store(1);  // seq_cst: the writer publishes, then looks at this
    if (!HasData())
        return true;
    header->host_sleeping.store(0);
    return false;
}

void RecordRingReader::Settle() {
    if (mapping_ == nullptr)
        return;
    link::RingHeader* header = link::RingHeaderOf(mapping_);
    if (header->settled.load(std::memory_order_relaxed) == head_)
        return;
    header->settled.store(head_);  // seq_cst: before settle_waiting is looked at
    if (header->settle_waiting.load() != 0 && header->settle_waiting.exchange(0) != 0)
        ::syscall(SYS_futex, &header->settled, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

void RecordRingReader::CountPassed(bool send, uint32_t bytes) {
    if (mapping_ != nullptr)
        link::RingHeaderOf(mapping_)->passed_taken[send ? 0 : 1].fetch_add(bytes);
}

void RecordRingReader::Awake() {
    link::RingHeaderOf(mapping_)->host_sleeping.store(0);
}

}  // namespace sievra
