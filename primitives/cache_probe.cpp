#include "primitives/cache_probe.h"

#include <atomic>

#include "kvz_cpuid.h"

namespace kvz::prim {

const uint8_t CacheDescriptorSizes[49] = {
    0x47, 0x15,                                                  // 8 MiB
    0x49, 0x14, 0x29, 0x14, 0x46, 0x14,                          // 4 MiB
    0x25, 0x13, 0x7D, 0x13, 0x85, 0x13, 0x45, 0x13,              // 2 MiB
    0x23, 0x12, 0x87, 0x12, 0x7C, 0x12, 0x78, 0x12, 0x84, 0x12, 0x44, 0x12,  // 1 MiB
    0x22, 0x11, 0x7B, 0x11, 0x86, 0x11, 0x7F, 0x11, 0x83, 0x11, 0x43, 0x11,  // 512 KiB
    0x7A, 0x10, 0x82, 0x10, 0x3C, 0x10, 0x42, 0x10,              // 256 KiB
    0x00};

uint32_t ProbeCacheSize(bool perCore) {
  if (!KvzCpuidSupported()) return 0;
  int regs[4];
  KvzCpuidEx(regs, 0, 0);
  // "GenuineIntel" in EBX, EDX, ECX.
  if (static_cast<uint32_t>(regs[1]) != 0x756E6547u || static_cast<uint32_t>(regs[3]) != 0x49656E69u ||
      static_cast<uint32_t>(regs[2]) != 0x6C65746Eu) {
    return 0;
  }
  uint32_t cores = 1;
  if (perCore && static_cast<uint32_t>(regs[0]) >= 4) {
    int leaf4[4];
    KvzCpuidEx(leaf4, 4, 0);
    cores = (static_cast<uint32_t>(leaf4[0]) >> 26) + 1;
  }
  KvzCpuidEx(regs, 2, 0);
  if ((regs[0] & 0xFF) != 1) return 0;

  uint8_t descriptors[16];
  uint32_t count = 0;
  for (int r = 0; r < 4; ++r) {
    const uint32_t v = static_cast<uint32_t>(regs[r]);
    if (v & 0x80000000u) continue;
    for (int b = (r == 0 ? 1 : 0); b < 4; ++b) descriptors[count++] = static_cast<uint8_t>(v >> (8 * b));
  }
  for (const uint8_t* e = CacheDescriptorSizes; e[0] != 0; e += 2) {
    for (uint32_t i = 0; i < count; ++i) {
      if (descriptors[i] != e[0]) continue;
      const uint32_t size = static_cast<uint32_t>(e[1] >> 4) << (18 + (e[1] & 15));
      return size / cores;
    }
  }
  return 0;
}

namespace {
// Per kind (whole, per core): 0 not yet probed, otherwise the size plus one.
std::atomic<uint32_t> g_streamingCacheSize[2];
}  // namespace

uint32_t StreamingCacheSize(bool perCore) {
  std::atomic<uint32_t>& kept = g_streamingCacheSize[perCore ? 1 : 0];
  uint32_t v = kept.load(std::memory_order_relaxed);
  if (v == 0) {
    v = ProbeCacheSize(perCore) + 1;
    kept.store(v, std::memory_order_relaxed);
  }
  return v - 1;
}

#if defined(KVZ_TEST_HOOKS)
void ForgetStreamingCacheSize() {
  for (std::atomic<uint32_t>& kept : g_streamingCacheSize) kept.store(0, std::memory_order_relaxed);
}
#endif

bool HasFastStringMoves() {
  // 0 not yet asked, 1 no, 2 yes; racing first callers store the same answer.
  static std::atomic<int> known{0};
  int v = known.load(std::memory_order_relaxed);
  if (v == 0) {
    v = 1;
    if (KvzCpuidSupported()) {
      int regs[4];
      KvzCpuidEx(regs, 0, 0);
      if (regs[0] >= 7) {
        KvzCpuidEx(regs, 7, 0);
        if ((static_cast<uint32_t>(regs[1]) >> 9) & 1u) v = 2;
      }
    }
    known.store(v, std::memory_order_relaxed);
  }
  return v == 2;
}

}  // namespace kvz::prim
