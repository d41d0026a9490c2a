// The driver's one way to build a C++ object in pool memory and to destroy it.
#pragma once
#include <wdm.h>

#include <new>

#include "primitives/driver_memory.h"

namespace kvz {

// A zeroed block of DriverPoolType under the tag, constructed as T from the arguments; null when
// the pool has no block.
template <class T, class... Args>
T* PoolNew(ULONG tag, Args... args) {
  PVOID block = ExAllocatePoolWithTag(DriverPoolType, sizeof(T), tag);
  if (!block) return nullptr;
  RtlZeroMemory(block, sizeof(T));
  return new (block) T(args...);
}

// Destroys an object PoolNew built under the same tag, frees its block and leaves the pointer
// null; null does nothing.
template <class T>
VOID PoolDelete(T*& object, ULONG tag) {
  if (!object) return;
  object->~T();
  ExFreePoolWithTag(object, tag);
  object = nullptr;
}

}  // namespace kvz
