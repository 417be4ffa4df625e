#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace sievra {

// Records taken off a port's queue ahead of its control client's reads, in order. Bounded by
// its owner, which stops taking records when HasRoom says no.
class RecordStash {
  public:
    explicit RecordStash(size_t capacity) : capacity_(capacity) {}

    // Whether a full queue's worth of records still fits.
    bool HasRoom() const;
    bool Empty() const { return data_.size() == head_; }
    // Whether at most half of the capacity is taken.
    bool HalfEmpty() const { return data_.size() - head_ <= capacity_ / 2; }
    void Clear();

    // Appends whole records, as a read of the queue hands them over.
    void Put(const uint8_t* data, size_t n);

    // Moves out what a read of length bytes receives: everything when it fits, else the whole
    // records that fit; a first record longer than the read is cut at its length, as the queue
    // cuts it, and its rest comes with the next read.
    size_t Take(uint8_t* out, size_t length);

  private:
    size_t capacity_;
    std::vector<uint8_t> data_;
    size_t head_ = 0;             // bytes of data_ already taken
    std::deque<size_t> records_;  // bytes left of each stashed record, oldest first
};

}  // namespace sievra
