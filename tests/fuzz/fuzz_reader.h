// Takes a fuzzer's input apart: bytes and plain values, zeros once it runs out.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    template <class T>
    T pod() {
        T v{};
        size_t n = std::min(sizeof v, size_ - std::min(pos_, size_));
        memcpy(&v, data_ + pos_, n);
        pos_ += n;
        return v;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};
