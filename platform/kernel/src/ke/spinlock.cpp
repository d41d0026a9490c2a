// Spin locks: real locks between threads that raise the holder to DISPATCH_LEVEL. The lock word
// holds the owner's identity so that a release by a non-holder is caught.
#include <sched.h>

#include "kvz/bugcheck.h"
#include "ke/scheduler.h"

#undef KeReleaseSpinLock

namespace kvz::kernel::detail {
namespace {

thread_local char tls_identity;

ULONG_PTR Me() { return reinterpret_cast<ULONG_PTR>(&tls_identity); }

void AcquireRaw(PKSPIN_LOCK lock, const char* api) {
  ULONG_PTR me = Me();
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me)
    BugCheck(SPIN_LOCK_ALREADY_OWNED, "%s on spin lock %p, which this thread already holds", api,
             static_cast<void*>(lock));
  unsigned spins = 0;
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, me, true, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) return;
    if (++spins >= 64) {
      sched_yield();
      spins = 0;
    }
  }
}

void ReleaseRaw(PKSPIN_LOCK lock, const char* api) {
  ULONG_PTR holder = __atomic_load_n(lock, __ATOMIC_RELAXED);
  if (holder == 0)
    BugCheck(SPIN_LOCK_NOT_OWNED, "%s on spin lock %p, which is not held", api, static_cast<void*>(lock));
  if (holder != Me())
    BugCheck(SPIN_LOCK_NOT_OWNED, "%s on spin lock %p, which another thread holds", api, static_cast<void*>(lock));
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

}  // namespace
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
