// Spin locks: real locks between threads that raise the holder to DISPATCH_LEVEL. The lock word
// holds the owner's identity so that a release by a non-holder is caught.
#include <sched.h>

#include <cstdio>
#include <string>

#include "kvz/bugcheck.h"
#include "ke/scheduler.h"

#undef KeReleaseSpinLock

namespace kvz::kernel::detail {
namespace {

// A spinner that waits this long in real time is deadlocked: the holder never lets go.
constexpr int64_t kSpinDeadlockNs = int64_t{5} * 1'000'000'000;
constexpr int kMostHeld = 16;

// The calling thread as a spin lock holder; its address is what a held lock word contains.
struct Holder {
  char name[64];
  PKSPIN_LOCK held[kMostHeld];
  int count;
};

thread_local Holder tls_holder;

void NameHolder(Holder* me) {
  ThreadRecord* record = CurrentRecordIfAny();
  std::snprintf(me->name, sizeof me->name, "%s", record ? record->object->Name : "a thread outside the kernel");
}

[[noreturn]] void ReportSpinDeadlock(PKSPIN_LOCK lock, const char* api, ULONG_PTR holderWord) {
  Holder* me = &tls_holder;
  NameHolder(me);
  const auto* holder = reinterpret_cast<const Holder*>(holderWord);
  std::string also;
  for (int i = 0; holder && i < holder->count && i < kMostHeld; ++i) {
    char one[32];
    std::snprintf(one, sizeof one, " %p", static_cast<void*>(holder->held[i]));
    also += one;
  }
  BugCheck(DEADLOCK_DETECTED, "deadlock: '%s' spins in %s on spin lock %p for more than %d s; '%s' holds it (and holds%s)",
           me->name, api, static_cast<void*>(lock), static_cast<int>(kSpinDeadlockNs / 1'000'000'000),
           holder ? holder->name : "?", also.c_str());
}

void AcquireRaw(PKSPIN_LOCK lock, const char* api) {
  Holder* me = &tls_holder;
  const auto word = reinterpret_cast<ULONG_PTR>(me);
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) == word)
    BugCheck(SPIN_LOCK_ALREADY_OWNED, "%s on spin lock %p, which this thread already holds", api,
             static_cast<void*>(lock));
  if (me->count == kMostHeld)
    BugCheck(SPIN_LOCK_ALREADY_OWNED, "%s on spin lock %p with %d spin locks held already", api,
             static_cast<void*>(lock), kMostHeld);
  if (me->count == 0) NameHolder(me);
  unsigned spins = 0;
  int64_t spinningSince = 0;
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, word, true, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
    if (++spins >= 64) {
      sched_yield();
      spins = 0;
      const int64_t now = MonotonicNs();
      if (spinningSince == 0) spinningSince = now;
      else if (now - spinningSince > kSpinDeadlockNs && expected != 0) ReportSpinDeadlock(lock, api, expected);
    }
  }
  me->held[me->count++] = lock;
}

void ReleaseRaw(PKSPIN_LOCK lock, const char* api) {
  ULONG_PTR holder = __atomic_load_n(lock, __ATOMIC_RELAXED);
  Holder* me = &tls_holder;
  if (holder == 0)
    BugCheck(SPIN_LOCK_NOT_OWNED, "%s on spin lock %p, which is not held", api, static_cast<void*>(lock));
  if (holder != reinterpret_cast<ULONG_PTR>(me))
    BugCheck(SPIN_LOCK_NOT_OWNED, "%s on spin lock %p, which another thread holds", api, static_cast<void*>(lock));
  for (int i = me->count; i-- > 0;) {
    if (me->held[i] != lock) continue;
    for (int k = i; k + 1 < me->count; ++k) me->held[k] = me->held[k + 1];
    --me->count;
    break;
  }
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

}  // namespace

PKSPIN_LOCK HeldSpinLock() {
  const Holder& me = tls_holder;
  return me.count ? me.held[me.count - 1] : nullptr;
}

}  // namespace kvz::kernel::detail

using namespace kvz::kernel;
using namespace kvz::kernel::detail;

extern "C" VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE); }

extern "C" KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeAcquireSpinLock at %s", IrqlName(irql));
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  AcquireRaw(SpinLock, "KeAcquireSpinLock");
  return old;
}

extern "C" KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) { return KeAcquireSpinLockRaiseToDpc(SpinLock); }

extern "C" VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  ReleaseRaw(SpinLock, "KeReleaseSpinLock");
  // Releasing the outer lock first hands the inner one's saved IRQL to the outer release.
  if (NewIrql < DISPATCH_LEVEL)
    if (PKSPIN_LOCK still = HeldSpinLock())
      BugCheck(IRQL_NOT_GREATER_OR_EQUAL,
               "KeReleaseSpinLock of %p lowers to %s while spin lock %p is still held (released out of order)",
               static_cast<void*>(SpinLock), IrqlName(NewIrql), static_cast<void*>(still));
  KfLowerIrql(NewIrql);
}

extern "C" VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) { KeReleaseSpinLock(SpinLock, NewIrql); }

extern "C" VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql < DISPATCH_LEVEL)
    BugCheck(IRQL_NOT_GREATER_OR_EQUAL, "KeAcquireSpinLockAtDpcLevel at %s", IrqlName(irql));
  AcquireRaw(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

extern "C" VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql < DISPATCH_LEVEL)
    BugCheck(IRQL_NOT_GREATER_OR_EQUAL, "KeReleaseSpinLockFromDpcLevel at %s", IrqlName(irql));
  ReleaseRaw(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

extern "C" BOOLEAN NTAPI KeTestSpinLock(PKSPIN_LOCK SpinLock) {
  return __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0 ? TRUE : FALSE;
}
