// Test images for the colour conversion, resize and mirror tests: destinations framed by guard
// bytes, sources that end at an inaccessible page, and a seeded pixel source.
#pragma once
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace e3 {

constexpr uint8_t kGuard = 0xA5;
constexpr size_t kGuardBytes = 64;

// Bytes that a primitive may write, surrounded by guard bytes and placed `misalign` bytes past a
// 16-byte boundary.
class GuardedBuffer {
 public:
  // Not inlined: the sizes the callers compute defeat the compiler's bounds reasoning.
  __attribute__((noinline)) GuardedBuffer(size_t bytes, size_t misalign, uint8_t fill = 0x5A)
      : size_(bytes), store_(bytes + 2 * kGuardBytes + 32, kGuard) {
    uintptr_t base = reinterpret_cast<uintptr_t>(store_.data()) + kGuardBytes;
    base = (base + 15) & ~uintptr_t{15};
    data_ = reinterpret_cast<uint8_t*>(base + misalign);
    std::fill_n(data_, bytes, fill);
  }
  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool GuardsIntact() const {
    for (const uint8_t* p = store_.data(); p < data_; ++p)
      if (*p != kGuard) return false;
    for (const uint8_t* p = data_ + size_; p < store_.data() + store_.size(); ++p)
      if (*p != kGuard) return false;
    return true;
  }

 private:
  size_t size_;
  std::vector<uint8_t> store_;
  uint8_t* data_;
};

// Bytes preceded and followed by inaccessible pages, so a read past either end faults. With
// misalign < 0 the last byte touches the following page; otherwise the first byte lies misalign
// bytes past a 16-byte boundary and at most 15 bytes separate the end from the page.
class PageFencedSource {
 public:
  explicit PageFencedSource(size_t bytes, int misalign = -1) : size_(bytes) {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t body = (bytes + 16 + page_ - 1) / page_ * page_;
    mapped_ = body + 2 * page_;
    base_ = static_cast<uint8_t*>(
        mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(base_, page_, PROT_NONE);
    mprotect(base_ + page_ + body, page_, PROT_NONE);
    data_ = base_ + page_ + body - bytes;
    if (misalign >= 0) {
      uintptr_t at = reinterpret_cast<uintptr_t>(data_) & ~uintptr_t{15};
      at += static_cast<uintptr_t>(misalign);
      if (at > reinterpret_cast<uintptr_t>(data_)) at -= 16;
      data_ = reinterpret_cast<uint8_t*>(at);
    }
  }
  ~PageFencedSource() { munmap(base_, mapped_); }
  PageFencedSource(const PageFencedSource&) = delete;
  PageFencedSource& operator=(const PageFencedSource&) = delete;
  uint8_t* data() { return data_; }
  size_t size() const { return size_; }

 private:
  size_t size_, page_ = 0, mapped_ = 0;
  uint8_t* base_ = nullptr;
  uint8_t* data_ = nullptr;
};

inline void FillRandom(uint8_t* p, size_t n, uint32_t seed) {
  uint32_t x = seed * 2654435761u + 0x9E3779B9u;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    p[i] = static_cast<uint8_t>(x >> 24);
  }
}

inline bool IsVectorBuild(const char* name) {
  return strcmp(name, "generic") != 0 && strcmp(name, "sse") != 0;
}

}  // namespace e3
