// Driver objects made in pool memory as the device makes them (zeroed, tagged) and destroyed
// the same way.
#pragma once

#include <new>
#include <utility>

#include "primitives/driver_memory.h"

namespace kvz::usbtest {

template <typename T, typename... Args>
T* PoolNew(ULONG tag, Args&&... args) {
  PVOID block = ExAllocatePoolWithTag(DriverPoolType, sizeof(T), tag);
  if (!block) return nullptr;
  RtlZeroMemory(block, sizeof(T));
  return new (block) T(std::forward<Args>(args)...);
}

template <typename T>
void PoolDelete(T*& object) {
  if (!object) return;
  object->~T();
  ExFreePool(object);
  object = nullptr;
}

}  // namespace kvz::usbtest
