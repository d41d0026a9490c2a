// The run-time library's formatter, for stand-in code that prints like the kernel does
// (debug output, the safe string functions). Windows conventions: 'l' is 32 bits, 'll' and
// 'I64' 64 bits, 'I' pointer-sized; %s follows the output's width, %S / %ws / %hs choose one;
// %wZ a UNICODE_STRING, %Z an ANSI_STRING.
#pragma once
#include <cstdarg>
#include <cstddef>

#include "ntdef.h"

namespace kvz::kernel {

// Writes at most capacity characters (no terminator) and returns how many the whole result has.
size_t FormatNarrow(char* buffer, size_t capacity, const char* format, va_list args);
size_t FormatWide(WCHAR* buffer, size_t capacity, const WCHAR* format, va_list args);

}  // namespace kvz::kernel
