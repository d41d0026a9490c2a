#include "kvz/bugcheck.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kvz::kernel {

void BugCheck(ULONG code, const char* format, ...) {
  char message[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  std::fprintf(stderr, "bugcheck: %s [code 0x%08X]\n", message, static_cast<unsigned>(code));
  std::fflush(stderr);
  std::abort();
}

}  // namespace kvz::kernel

extern "C" VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  kvz::kernel::BugCheck(BugCheckCode, "KeBugCheckEx(0x%08X, %p, %p, %p, %p)", static_cast<unsigned>(BugCheckCode),
                        reinterpret_cast<void*>(P1), reinterpret_cast<void*>(P2), reinterpret_cast<void*>(P3),
                        reinterpret_cast<void*>(P4));
}

extern "C" VOID NTAPI KeBugCheck(ULONG BugCheckCode) { KeBugCheckEx(BugCheckCode, 0, 0, 0, 0); }

extern "C" VOID NTAPI ExRaiseStatus(NTSTATUS Status) {
  kvz::kernel::BugCheck(NO_EXCEPTION_HANDLING_SUPPORT, "ExRaiseStatus(0x%08X) with no handler",
                        static_cast<unsigned>(Status));
}

extern "C" VOID NTAPI KvzFatalListEntryError(const char* Routine, const LIST_ENTRY* Entry) {
  kvz::kernel::BugCheck(KERNEL_SECURITY_CHECK_FAILURE,
                        "%s: corrupt list entry %p (Flink %p, Blink %p do not point back: removed twice, freed while "
                        "listed or overwritten)",
                        Routine, static_cast<const void*>(Entry), static_cast<void*>(Entry->Flink),
                        static_cast<void*>(Entry->Blink));
}
