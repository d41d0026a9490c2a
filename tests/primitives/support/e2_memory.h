// Test memory for the copy primitives: blocks placed at a chosen misalignment from a 64-byte
// boundary, with guard bytes around them, and injected cache identification.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "kvz/kernel_testing.h"
#include "primitives/cache_probe.h"

namespace e2 {

// The 32-bit tests run under an emulator: the large-size sweeps take fewer variants there.
#if defined(__i386__)
constexpr bool kEmulated = true;
#else
constexpr bool kEmulated = false;
#endif

// Source and destination misalignments: each of 0, 1, 4 and 8 on either side, alike and mixed.
struct Misalign {
  size_t src, dst;
};
inline const std::vector<Misalign>& MisalignPairs() {
  static const std::vector<Misalign> pairs = {{0, 0}, {1, 1}, {4, 4}, {8, 8}, {0, 1}, {1, 4}, {4, 8}, {8, 0}};
  return pairs;
}

// data() lies `misalign` bytes past a 64-byte boundary, with `guard` bytes on either side;
// with guard 0 the data ends exactly where the allocation ends, so reads past the end fault
// under the address sanitizer.
class Block {
 public:
  Block(size_t bytes, size_t misalign, size_t guard = 64)
      : lead_(guard == 0 ? misalign : ((guard + 63) & ~size_t{63}) + misalign),
        total_(lead_ + bytes + guard),
        base_(static_cast<uint8_t*>(::operator new(total_ == 0 ? 1 : total_, std::align_val_t(64)))) {}
  ~Block() { ::operator delete(base_, std::align_val_t(64)); }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;

  uint8_t* data() const { return base_ + lead_; }
  template <typename T>
  T* as() const { return reinterpret_cast<T*>(data()); }
  void Fill(uint32_t seed) {
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < total_; i += 8) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      std::memcpy(base_ + i, &x, total_ - i < 8 ? total_ - i : 8);
    }
  }
  // Opaque to the compiler's object-size tracking, which loses sight of the aligned block.
  __attribute__((noinline)) void Set(const void* src, size_t n) { std::memcpy(data(), src, n); }
  void CopyFrom(const Block& other) { std::memcpy(base_, other.base_, total_ < other.total_ ? total_ : other.total_); }
  std::vector<uint8_t> All() const { return std::vector<uint8_t>(base_, base_ + total_); }

 private:
  size_t lead_;
  size_t total_;
  uint8_t* base_;
};

// A GenuineIntel processor whose leaf 2 names the given descriptor bytes (up to 15) and whose
// leaf 4 reports `cores` cores.
inline kvz::kernel::CpuidTable IntelCache(const std::vector<uint8_t>& descriptors, uint32_t cores = 1,
                                          uint32_t maxLeaf = 4) {
  kvz::kernel::CpuidTable t;
  t.leaves[{0, 0}] = {maxLeaf, 0x756E6547u, 0x6C65746Eu, 0x49656E69u};
  std::array<uint32_t, 4> l2 = {1, 0, 0, 0};
  for (size_t i = 0; i < descriptors.size(); ++i) {
    const size_t pos = i + 1;  // byte 0 of EAX is the repeat count
    l2[pos / 4] |= static_cast<uint32_t>(descriptors[i]) << (8 * (pos % 4));
  }
  t.leaves[{2, 0}] = l2;
  t.leaves[{4, 0}] = {(cores - 1) << 26 | 0x121u, 0, 0, 0};
  return t;
}

class ScopedCpuid {
 public:
  // The kernels keep the cache size they probed: each processor is probed afresh.
  explicit ScopedCpuid(const kvz::kernel::CpuidTable& t) {
    kvz::kernel::InjectCpuid(&t);
    kvz::prim::ForgetStreamingCacheSize();
  }
  ~ScopedCpuid() {
    kvz::kernel::InjectCpuid(nullptr);
    kvz::prim::ForgetStreamingCacheSize();
  }
  ScopedCpuid(const ScopedCpuid&) = delete;
  ScopedCpuid& operator=(const ScopedCpuid&) = delete;
};

}  // namespace e2
