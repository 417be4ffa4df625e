#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace porvane::terminal {

// Every byte received since the last clear, in arrival order, for "重新显示". Appends grow the
// store amortised (never a whole copy per arrival). It keeps at most `capacity` bytes: beyond
// that the oldest go, so a line that never fills the view (binary data full of zero bytes, which
// shows no text) cannot grow it without bound.
class ReceiveStore {
  public:
    static constexpr size_t kDefaultCapacity = 1'000'000;

    explicit ReceiveStore(size_t capacity = kDefaultCapacity) : capacity_(capacity) {}

    void Append(std::span<const uint8_t> bytes);
    void Clear();
    std::span<const uint8_t> bytes() const { return {data_.data() + head_, data_.size() - head_}; }
    size_t size() const { return data_.size() - head_; }
    size_t capacity() const { return capacity_; }

  private:
    size_t capacity_;
    std::vector<uint8_t> data_;
    size_t head_ = 0;  // bytes before head_ were dropped
};

}  // namespace porvane::terminal
