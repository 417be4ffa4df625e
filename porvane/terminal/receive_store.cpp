#include "porvane/terminal/receive_store.h"

namespace porvane::terminal {

void ReceiveStore::Append(std::span<const uint8_t> bytes) {
    if (bytes.size() >= capacity_) {
        data_.assign(bytes.end() - static_cast<std::ptrdiff_t>(capacity_), bytes.end());
        head_ = 0;
        return;
    }
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    if (size() > capacity_) {
        head_ = data_.size() - capacity_;
        // Compact once the dropped part outweighs the kept part: amortised constant per byte.
        if (head_ > capacity_) {
            data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }
}

void ReceiveStore::Clear() {
    data_.clear();
    data_.shrink_to_fit();
    head_ = 0;
}

}  // namespace porvane::terminal
