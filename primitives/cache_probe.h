// Size of the processor's largest cache as CPUID leaf 2 names it, for the streaming-store
// decisions of the vector kernels.
#pragma once
#include <stdint.h>

namespace kvz::prim {

// Pairs of (leaf-2 descriptor byte, size code), largest cache first, ended by a zero
// descriptor byte. Size code c stands for (c >> 4) << (18 + (c & 15)) bytes.
extern const uint8_t CacheDescriptorSizes[49];

// 0 when there is no size: no CPUID, not GenuineIntel, leaf 2 not single-shot or no known
// descriptor. With perCore the size is divided by the core count of leaf 4.
uint32_t ProbeCacheSize(bool perCore);

// ProbeCacheSize as the kernels ask it: probed at the first call of each kind and kept, since
// the cache cannot change while the system runs and each CPUID costs microseconds under a
// hypervisor. Racing first callers store the same answer.
uint32_t StreamingCacheSize(bool perCore);
#if defined(KVZ_TEST_HOOKS)
// Only in the tests' copies of the library: drops the kept sizes, so that the next call probes
// again, for tests that inject another processor's identification.
void ForgetStreamingCacheSize();
#endif

// True when the processor moves and fills memory fast with its string instructions (CPUID leaf
// 7, EBX bit 9). Learned at the first call and kept: unlike the cache size it decides only
// how a run is moved, never whether it streams.
bool HasFastStringMoves();

}  // namespace kvz::prim
