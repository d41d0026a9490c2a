// Debug output: kept for tests, echoed to stderr with KVZ_DBGPRINT=1.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "ke/fork_safety.h"
#include "kvz/bugcheck.h"
#include "kvz/kernel_testing.h"
#include "kvz/rtl_format.h"

namespace kvz::kernel {
namespace {

struct Output {
  std::mutex lock;
  std::string text;
  bool echo = false;
};

Output& TheOutput() {
  static Output* output = [] {
    detail::RegisterForkHandlers();
    auto* o = new Output;
    const char* env = std::getenv("KVZ_DBGPRINT");
    o->echo = env && std::strcmp(env, "1") == 0;
    return o;
  }();
  return *output;
}

// The kernel truncates one message at 512 bytes.
constexpr size_t kMessageLimit = 512;

ULONG Print(const char* format, va_list args) {
  char message[kMessageLimit + 1];
  size_t length = FormatNarrow(message, kMessageLimit, format, args);
  if (length > kMessageLimit) length = kMessageLimit;
  message[length] = '\0';
  Output& out = TheOutput();
  std::lock_guard<std::mutex> held(out.lock);
  out.text.append(message, length);
  if (out.echo) {
    std::fwrite(message, 1, length, stderr);
    std::fflush(stderr);
  }
  return STATUS_SUCCESS;
}

}  // namespace

std::string DebugOutput() {
  Output& out = TheOutput();
  std::lock_guard<std::mutex> held(out.lock);
  return out.text;
}

void ClearDebugOutput() {
  Output& out = TheOutput();
  std::lock_guard<std::mutex> held(out.lock);
  out.text.clear();
}

namespace detail {
void DebugForkPrepare() { TheOutput().lock.lock(); }
void DebugForkParent() { TheOutput().lock.unlock(); }
}  // namespace detail

}  // namespace kvz::kernel

namespace {

// %S, %C, %ws, %wc, %wZ, %ls, %lc convert wide text through pageable code.
bool HasWideSpecifier(const char* format) {
  for (const char* p = format; *p; ++p) {
    if (*p != '%') continue;
    ++p;
    if (*p == '%') continue;
    while (*p && std::strchr("-+ #0123456789.*", *p)) ++p;
    if (*p == 'S' || *p == 'C') return true;
    if ((p[0] == 'w' || p[0] == 'l') && p[1] && std::strchr("scZ", p[1])) return true;
    if (!*p) break;
  }
  return false;
}

void CheckWideAtPassive(const char* format) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL && HasWideSpecifier(format))
    kvz::kernel::BugCheck(IRQL_NOT_LESS_OR_EQUAL, "DbgPrint with a wide-string conversion in \"%s\" at IRQL %u",
                          format, KeGetCurrentIrql());
}

}  // namespace

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
  CheckWideAtPassive(Format);
  va_list args;
  va_start(args, Format);
  ULONG status = kvz::kernel::Print(Format, args);
  va_end(args);
  return status;
}

extern "C" ULONG vDbgPrintEx(ULONG, ULONG, PCSTR Format, va_list ArgList) {
  CheckWideAtPassive(Format);
  return kvz::kernel::Print(Format, ArgList);
}

extern "C" ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  ULONG status = vDbgPrintEx(ComponentId, Level, Format, args);
  va_end(args);
  return status;
}

extern "C" VOID NTAPI DbgBreakPoint(void) {
  kvz::kernel::BugCheck(MANUALLY_INITIATED_CRASH, "DbgBreakPoint");
}

extern "C" VOID NTAPI KvzAssertFailed(PCSTR Expression, PCSTR File, ULONG Line) {
  kvz::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "assertion failed: %s (%s:%u)", Expression, File,
                        static_cast<unsigned>(Line));
}
