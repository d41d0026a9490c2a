// Rounds a pointer up to a power-of-two boundary; called directly by the JPEG codec.
#pragma once
#include <stdint.h>

namespace kvz::prim {

// Unchanged when already aligned.
inline void* AlignPointer(void* pointer, int32_t alignment) {
  const uintptr_t p = reinterpret_cast<uintptr_t>(pointer);
  return reinterpret_cast<void*>(p + ((static_cast<uintptr_t>(alignment) - 1) & (0 - p)));
}

}  // namespace kvz::prim
