// The reference clock a pin gets when its client gave it a master clock. It runs on stream time:
// 0 in STOP, held in ACQUIRE and PAUSE, advancing with the kernel clock in RUN, and its state is
// the state the graph last set (the stand-in's graph moves the clock with the pin).
#include <atomic>
#include <mutex>
#include <string>

#include "ks_objects.h"
#include "kvz/kernel_testing.h"

namespace kvz::ks {

LONGLONG StreamClock::Time(LONGLONG now) const {
  std::lock_guard<std::mutex> hold(lock_);
  return state_ == KSSTATE_RUN ? accumulated_ + (now - runSince_) : accumulated_;
}

KSSTATE StreamClock::State() const {
  std::lock_guard<std::mutex> hold(lock_);
  return state_;
}

void StreamClock::SetState(KSSTATE to, LONGLONG now) {
  std::lock_guard<std::mutex> hold(lock_);
  if (state_ == KSSTATE_RUN) accumulated_ += now - runSince_;
  if (to == KSSTATE_RUN) runSince_ = now;
  if (to == KSSTATE_STOP) accumulated_ = 0;
  state_ = to;
}

namespace {

std::atomic<int> g_liveInterfaces{0};

void InstallUnloadHookOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    kvz::kernel::AddUnloadHook("ks clock", [](std::vector<std::string>& findings) {
      int n = g_liveInterfaces.exchange(0);
      if (n > 0) findings.push_back(std::to_string(n) + " reference clock interface(s) not released");
    });
  });
}

class ReferenceClock final : public IKsReferenceClock {
 public:
  explicit ReferenceClock(std::shared_ptr<StreamClock> clock) : clock_(std::move(clock)) {
    InstallUnloadHookOnce();
    ++g_liveInterfaces;
  }
  NTSTATUS QueryInterface(REFIID, PVOID* out) override {
    if (out) *out = nullptr;
    return STATUS_NOT_IMPLEMENTED;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG left = --refs_;
    if (left == 0) {
      --g_liveInterfaces;
      delete this;
    }
    return left;
  }
  LONGLONG GetTime() override { return clock_->Time(static_cast<LONGLONG>(KeQueryInterruptTime())); }
  LONGLONG GetPhysicalTime() override { return GetTime(); }
  LONGLONG GetCorrelatedTime(PLONGLONG systemTime) override {
    const LONGLONG now = static_cast<LONGLONG>(KeQueryInterruptTime());
    if (systemTime) *systemTime = now;
    return clock_->Time(now);
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
    *state = clock_->State();
    return STATUS_SUCCESS;
  }

 private:
  ~ReferenceClock() = default;
  std::shared_ptr<StreamClock> clock_;
  std::atomic<ULONG> refs_{1};
};

}  // namespace
}  // namespace kvz::ks

using namespace kvz::ks;

extern "C" NTSTATUS NTAPI KsPinGetReferenceClockInterface(PKSPIN pin, PIKSREFERENCECLOCK* clock) {
  Pin* p = LivePin(pin, "KsPinGetReferenceClockInterface");
  if (!clock) return STATUS_INVALID_PARAMETER;
  *clock = nullptr;
  if (!p->hasClock) return STATUS_DEVICE_NOT_READY;
  *clock = new ReferenceClock(p->clock);
  return STATUS_SUCCESS;
}
