// Size of the processor's largest cache as CPUID leaf 2 names it, for the streaming-store
// decisions of the vector kernels. Asked afresh at every call: nothing is cached.
#pragma once
#include <stdint.h>

namespace kvz::prim {

// Pairs of (leaf-2 descriptor byte, size code), largest cache first, ended by a zero
// descriptor byte. Size code c stands for (c >> 4) << (18 + (c & 15)) bytes.
extern const uint8_t CacheDescriptorSizes[49];

// 0 when there is no size: no CPUID, not GenuineIntel, leaf 2 not single-shot or no known
// descriptor. With perCore the size is divided by the core count of leaf 4.
uint32_t ProbeCacheSize(bool perCore);

// True when the processor moves and fills memory fast with its string instructions (CPUID leaf
// 7, EBX bit 9). Learned at the first call and kept: unlike the cache size it decides only
// how a run is moved, never whether it streams.
bool HasFastStringMoves();

}  // namespace kvz::prim
