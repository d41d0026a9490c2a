// Floating-point state saved around driver code that uses the FPU: the caller's environment
// (rounding, exception masks, MXCSR) is kept per save and put back by the matching restore.
// Saves nest; each restore must be the innermost outstanding save of the same thread at the
// IRQL it was saved at.
#include <cfenv>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "ke/scheduler.h"
#include "kvz/bugcheck.h"

namespace kvz::kernel::detail {
namespace {

struct Saved {
  PKFLOATING_SAVE save;
  std::fenv_t environment;
  KIRQL irql;
};

thread_local std::vector<Saved> tls_saved;

// Every outstanding save with the thread that made it, for the unload check.
struct Outstanding {
  std::mutex lock;
  std::unordered_map<PKFLOATING_SAVE, std::string> saves;
};

Outstanding& TheOutstanding() {
  static auto* outstanding = new Outstanding;
  return *outstanding;
}

std::string ThreadName() {
  ThreadRecord* t = CurrentRecordIfAny();
  return t ? t->name : "a thread outside the kernel";
}

}  // namespace

std::vector<std::string> TakeFloatingPointFindings() {
  std::vector<std::string> lines;
  Outstanding& o = TheOutstanding();
  std::lock_guard<std::mutex> held(o.lock);
  for (auto& [save, thread] : o.saves) {
    char line[160];
    std::snprintf(line, sizeof line, "floating-point state %p saved by '%s' and not restored",
                  static_cast<void*>(save), thread.c_str());
    lines.push_back(line);
  }
  o.saves.clear();
  return lines;
}

}  // namespace kvz::kernel::detail

using namespace kvz::kernel;
using namespace kvz::kernel::detail;

extern "C" NTSTATUS NTAPI KeSaveFloatingPointState(PKFLOATING_SAVE FloatSave) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeSaveFloatingPointState at %s", IrqlName(irql));
  for (const Saved& s : tls_saved)
    if (s.save == FloatSave)
      BugCheck(INVALID_DATA_ACCESS_TRAP, "KeSaveFloatingPointState into %p, which holds a state not yet restored",
               static_cast<void*>(FloatSave));
  Saved saved{FloatSave, {}, irql};
  std::fegetenv(&saved.environment);
  tls_saved.push_back(saved);
  {
    Outstanding& o = TheOutstanding();
    std::lock_guard<std::mutex> held(o.lock);
    o.saves[FloatSave] = ThreadName();
  }
  // The driver's code starts from the default environment, whatever the caller had set.
  std::fesetenv(FE_DFL_ENV);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI KeRestoreFloatingPointState(PKFLOATING_SAVE FloatSave) {
  if (tls_saved.empty() || tls_saved.back().save != FloatSave) {
    for (const Saved& s : tls_saved)
      if (s.save == FloatSave)
        BugCheck(INVALID_DATA_ACCESS_TRAP,
                 "KeRestoreFloatingPointState of %p out of order: the later save %p is not restored yet",
                 static_cast<void*>(FloatSave), static_cast<void*>(tls_saved.back().save));
    BugCheck(INVALID_DATA_ACCESS_TRAP, "KeRestoreFloatingPointState of %p, which this thread has not saved",
             static_cast<void*>(FloatSave));
  }
  const Saved saved = tls_saved.back();
  KIRQL irql = KeGetCurrentIrql();
  if (irql != saved.irql)
    BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeRestoreFloatingPointState at %s of a state saved at %s", IrqlName(irql),
             IrqlName(saved.irql));
  tls_saved.pop_back();
  {
    Outstanding& o = TheOutstanding();
    std::lock_guard<std::mutex> held(o.lock);
    o.saves.erase(FloatSave);
  }
  std::fesetenv(&saved.environment);
  return STATUS_SUCCESS;
}
