#include "postproc/effects/point_stack.h"

#include <string.h>

#include "primitives/driver_memory.h"

namespace kvz {
namespace {
constexpr ULONG kTagPointStack = 'pPST';
}

NTSTATUS PointStack::Create() {
  Free();
  first_ = static_cast<ULONGLONG*>(
      ExAllocatePoolWithTag(DriverPoolType, kGrowth * sizeof(ULONGLONG), kTagPointStack));
  if (!first_) return STATUS_INSUFFICIENT_RESOURCES;
  end_ = first_;
  capacity_ = kGrowth;
  return STATUS_SUCCESS;
}

NTSTATUS PointStack::Push(LONG x, LONG y) {
  if (!first_) return STATUS_INVALID_DEVICE_STATE;
  const ULONG count = Count();
  if (count == capacity_) {
    const ULONG grown = capacity_ + kGrowth;
    ULONGLONG* entries = static_cast<ULONGLONG*>(
        ExAllocatePoolWithTag(DriverPoolType, grown * sizeof(ULONGLONG), kTagPointStack));
    if (!entries) return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(entries, first_, count * sizeof(ULONGLONG));
    ExFreePoolWithTag(first_, kTagPointStack);
    first_ = entries;
    end_ = entries + count;
    capacity_ = grown;
  }
  *end_++ = (static_cast<ULONGLONG>(static_cast<ULONG>(y)) << 32) | static_cast<ULONG>(x);
  return STATUS_SUCCESS;
}

bool PointStack::Pop(LONG* x, LONG* y) {
  if (IsEmpty()) return false;
  const ULONGLONG e = *--end_;
  *x = static_cast<LONG>(static_cast<ULONG>(e));
  *y = static_cast<LONG>(static_cast<ULONG>(e >> 32));
  return true;
}

VOID PointStack::Free() {
  if (first_) ExFreePoolWithTag(first_, kTagPointStack);
  first_ = end_ = nullptr;
  capacity_ = 0;
}

}  // namespace kvz
