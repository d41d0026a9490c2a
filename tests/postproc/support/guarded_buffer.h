// A byte buffer with guard zones before and after it, to prove that a routine writes only
// inside the bytes it was given.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvz::test {

class GuardedBuffer {
 public:
  static constexpr size_t kGuard = 64;
  static constexpr uint8_t kGuardByte = 0xA5;

  explicit GuardedBuffer(size_t size, uint8_t fill = 0)
      : storage_(size + 2 * kGuard, kGuardByte), size_(size) {
    for (size_t i = kGuard; i < storage_.size() - kGuard; ++i) storage_[i] = fill;
  }
  uint8_t* data() { return storage_.data() + kGuard; }
  const uint8_t* data() const { return storage_.data() + kGuard; }
  size_t size() const { return size_; }
  uint8_t& operator[](size_t i) { return data()[i]; }
  bool GuardsIntact() const {
    for (size_t i = 0; i < kGuard; ++i)
      if (storage_[i] != kGuardByte || storage_[kGuard + size_ + i] != kGuardByte) return false;
    return true;
  }

 private:
  std::vector<uint8_t> storage_;
  size_t size_;
};

}  // namespace kvz::test
