#include "driver/host/record_stash.h"

#include <algorithm>
#include <cstring>

#include "driver/sievra_protocol.h"

namespace sievra {

bool RecordStash::HasRoom() const {
    return data_.size() - head_ + kRecordQueueSize <= capacity_;
}

void RecordStash::Clear() {
    std::vector<uint8_t>().swap(data_);  // an unwatched port keeps no memory
    head_ = 0;
    records_.clear();
}

void RecordStash::Put(const uint8_t* data, size_t n) {
    if (n == 0)
        return;
    if (head_ == data_.size()) {
        data_.clear();
        head_ = 0;
    } else if (head_ >= capacity_) {  // keeps the buffer from creeping: drops the taken front
        data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    data_.insert(data_.end(), data, data + n);
    // Each record is its header and the data length the header gives; a header that claims
    // more than was handed over (never from the queue) makes the rest one record.
    for (size_t at = 0; at < n;) {
        size_t size = n - at;
        if (size >= kRecordHeaderSize)
            size = std::min(size, kRecordHeaderSize + size_t{GetLe32(data + at + 9)});
        records_.push_back(size);
        at += size;
    }
}

size_t RecordStash::Take(uint8_t* out, size_t length) {
    size_t m = 0;
    while (!records_.empty() && m + records_.front() <= length) {
        m += records_.front();
        records_.pop_front();
    }
    if (m == 0 && !records_.empty()) {
        m = std::min(length, records_.front());
        records_.front() -= m;
        if (records_.front() == 0)
            records_.pop_front();
    }
    if (m > 0)
        std::memcpy(out, data_.data() + head_, m);
    head_ += m;
    return m;
}

}  // namespace sievra
