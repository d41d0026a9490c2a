// The reference clock a pin gets when its client gave it a master clock: the kernel clock.
#include <atomic>

#include "ks_objects.h"

namespace kvz::ks {
namespace {

class KernelReferenceClock final : public IKsReferenceClock {
 public:
  NTSTATUS QueryInterface(REFIID, PVOID* out) override {
    if (out) *out = nullptr;
    return STATUS_NOT_IMPLEMENTED;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  LONGLONG GetTime() override { return static_cast<LONGLONG>(KeQueryInterruptTime()); }
  LONGLONG GetPhysicalTime() override { return GetTime(); }
  LONGLONG GetCorrelatedTime(PLONGLONG systemTime) override {
    LONGLONG now = GetTime();
    if (systemTime) *systemTime = now;
    return now;
  }
  LONGLONG GetCorrelatedPhysicalTime(PLONGLONG systemTime) override { return GetCorrelatedTime(systemTime); }
  NTSTATUS GetResolution(PKSRESOLUTION resolution) override {
    if (!resolution) return STATUS_INVALID_PARAMETER;
    resolution->Granularity = 1;
    resolution->Error = 0;
    return STATUS_SUCCESS;
  }
  NTSTATUS GetState(PKSSTATE state) override {
    if (!state) return STATUS_INVALID_PARAMETER;
    *state = KSSTATE_RUN;
    return STATUS_SUCCESS;
  }

 private:
  ~KernelReferenceClock() = default;
  std::atomic<ULONG> refs_{1};
};

}  // namespace
}  // namespace kvz::ks

using namespace kvz::ks;

extern "C" NTSTATUS NTAPI KsPinGetReferenceClockInterface(PKSPIN pin, PIKSREFERENCECLOCK* clock) {
  if (!clock) return STATUS_INVALID_PARAMETER;
  *clock = nullptr;
  Pin* p = PinOf(pin);
  if (!p || !p->hasClock) return STATUS_DEVICE_NOT_READY;
  *clock = new KernelReferenceClock();
  return STATUS_SUCCESS;
}
