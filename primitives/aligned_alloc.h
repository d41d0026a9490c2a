// Arrays that start on a 32-byte boundary, carved from one untagged pool block each. One build
// of each, called directly.
#pragma once
#include <stdint.h>

namespace kvz::prim {

// Null when count is zero or less, when the pool is exhausted, or when the block would not
// fit the pool's 32-bit byte count. The contents are not initialised.
uint8_t* AllocAligned8u(int32_t count);
int16_t* AllocAligned16s(int32_t count);
int32_t* AllocAligned32s(int32_t count);
// Releases a block of any of the three; null is ignored.
void FreeAligned(void* block);

// The pool request for count elements of elementSize bytes: the array, 32 bytes of alignment
// slack and the slot that keeps the raw address. 0 for a count below 1 or a block that does
// not fit 32 bits.
uint32_t AlignedBlockRequest(int32_t count, uint32_t elementSize);

}  // namespace kvz::prim
