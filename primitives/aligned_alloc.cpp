#include "primitives/aligned_alloc.h"

#include <stdint.h>

#include "primitives/driver_memory.h"

namespace kvz::prim {
namespace {

constexpr uintptr_t kAlignment = 32;

void* AllocAligned(int32_t count, uint32_t elementSize) {
  if (count <= 0) return nullptr;
  const uint32_t request = AlignedBlockRequest(count, elementSize);
  if (request == 0) return nullptr;
  void* raw = AllocateMemory(request);
  if (raw == nullptr) return nullptr;
  const uintptr_t start =
      (reinterpret_cast<uintptr_t>(raw) + sizeof(void*) + kAlignment - 1) & ~(kAlignment - 1);
  reinterpret_cast<void**>(start)[-1] = raw;
  return reinterpret_cast<void*>(start);
}

}  // namespace

uint32_t AlignedBlockRequest(int32_t count, uint32_t elementSize) {
  if (count <= 0) return 0;
  const uint64_t total = static_cast<uint64_t>(count) * elementSize + kAlignment + sizeof(void*);
  return total > UINT32_MAX ? 0 : static_cast<uint32_t>(total);
}

uint8_t* AllocAligned8u(int32_t count) { return static_cast<uint8_t*>(AllocAligned(count, 1)); }
int16_t* AllocAligned16s(int32_t count) { return static_cast<int16_t*>(AllocAligned(count, 2)); }
int32_t* AllocAligned32s(int32_t count) { return static_cast<int32_t*>(AllocAligned(count, 4)); }

void FreeAligned(void* block) {
  if (block == nullptr) return;
  FreeMemory(static_cast<void**>(block)[-1]);
}

}  // namespace kvz::prim
