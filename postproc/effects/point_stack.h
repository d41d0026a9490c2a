// The privacy picture's flood-fill stack: a pool block of points that grows by ten entries
// whenever a push finds it full.
#pragma once
#include <wdm.h>

#include "primitives/test_seam.h"

namespace kvz {

class PointStack {
 public:
  PointStack() : first_(nullptr), end_(nullptr), capacity_(0) {}
  ~PointStack() { Free(); }
  PointStack(const PointStack&) = delete;
  PointStack& operator=(const PointStack&) = delete;

  // Room for ten points; STATUS_INSUFFICIENT_RESOURCES when the pool has none.
  NTSTATUS Create();
  // Keeps every entry when it grows; a failed growth drops the point and reports it.
  NTSTATUS Push(LONG x, LONG y);
  bool Pop(LONG* x, LONG* y);
  bool IsEmpty() const { return end_ == first_; }
  ULONG Count() const { return static_cast<ULONG>(end_ - first_); }
  VOID Free();

 private:
  template <class T>
  friend struct TestSeam;

  static constexpr ULONG kGrowth = 10;
  ULONGLONG* first_;  // each entry: x in the low, y in the high 32 bits
  ULONGLONG* end_;
  ULONG capacity_;
};

}  // namespace kvz
