// Stopping on a broken kernel rule: prints "bugcheck: <message>" on stderr and aborts, so that
// death tests can match the message. For the other parts of the stand-in (I/O manager, ...).
#pragma once
#include "../wdm.h"

namespace kvz::kernel {

[[noreturn]] void BugCheck(ULONG code, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace kvz::kernel
