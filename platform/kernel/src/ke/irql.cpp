// IRQL, tracked per thread.
#include "kvz/bugcheck.h"
#include "ke/scheduler.h"

namespace kvz::kernel::detail {
namespace {
thread_local KIRQL tls_irql = PASSIVE_LEVEL;
}

const char* IrqlName(KIRQL irql) {
  switch (irql) {
    case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
    case APC_LEVEL: return "APC_LEVEL";
    case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
    case HIGH_LEVEL: return "HIGH_LEVEL";
    default: return "a device IRQL";
  }
}

}  // namespace kvz::kernel::detail

using namespace kvz::kernel;
using kvz::kernel::detail::IrqlName;
using kvz::kernel::detail::tls_irql;

extern "C" KIRQL NTAPI KeGetCurrentIrql(void) { return tls_irql; }

extern "C" KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql) {
  KIRQL old = tls_irql;
  if (NewIrql < old)
    BugCheck(IRQL_NOT_GREATER_OR_EQUAL, "KeRaiseIrql from %s to the lower %s", IrqlName(old), IrqlName(NewIrql));
  tls_irql = NewIrql;
  return old;
}

extern "C" VOID NTAPI KfLowerIrql(KIRQL NewIrql) {
  KIRQL old = tls_irql;
  if (NewIrql > old)
    BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeLowerIrql from %s to the higher %s", IrqlName(old), IrqlName(NewIrql));
  if (NewIrql < DISPATCH_LEVEL)
    if (PKSPIN_LOCK held = kvz::kernel::detail::HeldSpinLock())
      BugCheck(IRQL_NOT_GREATER_OR_EQUAL, "KeLowerIrql to %s while spin lock %p is held", IrqlName(NewIrql),
               static_cast<void*>(held));
  tls_irql = NewIrql;
}

extern "C" VOID NTAPI KeLowerIrql(KIRQL NewIrql) { KfLowerIrql(NewIrql); }

extern "C" KIRQL NTAPI KeRaiseIrqlToDpcLevel(void) { return KfRaiseIrql(DISPATCH_LEVEL); }

extern "C" VOID NTAPI KvzPagedCodeCheck(const char* Function) {
  KIRQL irql = tls_irql;
  if (irql > APC_LEVEL) BugCheck(IRQL_NOT_LESS_OR_EQUAL, "PAGED_CODE in %s at %s", Function, IrqlName(irql));
}

extern "C" ULONG NTAPI KeGetCurrentProcessorNumber(void) { return 0; }
