// Formatted output of the kernel's run-time library (sprintf_s, _snprintf, swprintf_s,
// _snwprintf, RtlStringCb/CchPrintf). Windows conventions: 'l' is 32 bits (LONG), 'I64' and
// 'll' 64 bits, 'I' pointer-sized; %s follows the output's width and %S the other one.
#include "ke/irql_check.h"
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "ntstrsafe.h"
#include "kvz/rtl_format.h"
#include "wdm.h"

namespace kvz::kernel {
namespace {

template <typename Out>
class Sink {
 public:
  Sink(Out* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}
  void Put(unsigned c) {
    if (buffer_ && count_ < capacity_) buffer_[count_] = static_cast<Out>(c);
    ++count_;
  }
  size_t count() const { return count_; }

 private:
  Out* buffer_;
  size_t capacity_;
  size_t count_ = 0;
};

struct Conversion {
  bool left = false, plus = false, space = false, zero = false, alt = false;
  int width = 0;
  int precision = -1;
  int size = 0;  // 0 int, 1 short, 2 char, 3 64-bit, 4 pointer-sized
  bool wide = false, narrow = false;
};

template <typename Out>
void Pad(Sink<Out>& sink, int count, unsigned c) {
  for (int i = 0; i < count; ++i) sink.Put(c);
}

template <typename Out, typename Ch>
void PutString(Sink<Out>& sink, const Ch* s, const Conversion& conversion) {
  static const char kNull[] = "(null)";
  size_t n = 0;
  if (s) {
    while ((conversion.precision < 0 || n < static_cast<size_t>(conversion.precision)) && s[n]) ++n;
  } else {
    n = sizeof(kNull) - 1;
    if (conversion.precision >= 0 && n > static_cast<size_t>(conversion.precision)) n = conversion.precision;
  }
  int pad = conversion.width > static_cast<int>(n) ? conversion.width - static_cast<int>(n) : 0;
  if (!conversion.left) Pad(sink, pad, ' ');
  for (size_t i = 0; i < n; ++i) {
    unsigned c = s ? static_cast<unsigned>(static_cast<std::make_unsigned_t<Ch>>(s[i]))
                   : static_cast<unsigned>(kNull[i]);
    // Narrow output of a character beyond Latin-1 gets '?', like a code-page conversion.
    if (sizeof(Out) == 1 && c > 0xFF) c = '?';
    sink.Put(c);
  }
  if (conversion.left) Pad(sink, pad, ' ');
}

template <typename Out>
void PutNumber(Sink<Out>& sink, uint64_t magnitude, bool negative, unsigned base, bool upper,
               const Conversion& conversion) {
  char digits[24];
  int n = 0;
  if (magnitude || conversion.precision != 0) {
    do {
      unsigned d = static_cast<unsigned>(magnitude % base);
      digits[n++] = static_cast<char>(d < 10 ? '0' + d : (upper ? 'A' : 'a') + d - 10);
      magnitude /= base;
    } while (magnitude);
  }
  char sign = negative ? '-' : conversion.plus ? '+' : conversion.space ? ' ' : 0;
  const char* prefix = "";
  if (conversion.alt && base == 16 && n) prefix = upper ? "0X" : "0x";
  if (conversion.alt && base == 8) prefix = "0";
  int prefixLen = static_cast<int>(strlen(prefix));
  int zeros = conversion.precision > n ? conversion.precision - n : 0;
  int body = n + zeros + prefixLen + (sign ? 1 : 0);
  int pad = conversion.width > body ? conversion.width - body : 0;
  if (conversion.zero && !conversion.left && conversion.precision < 0) {
    zeros += pad;
    pad = 0;
  }
  if (!conversion.left) Pad(sink, pad, ' ');
  if (sign) sink.Put(static_cast<unsigned>(sign));
  for (int i = 0; i < prefixLen; ++i) sink.Put(static_cast<unsigned>(prefix[i]));
  Pad(sink, zeros, '0');
  while (n) sink.Put(static_cast<unsigned>(digits[--n]));
  if (conversion.left) Pad(sink, pad, ' ');
}

template <typename Out, typename Fmt>
size_t Format(Out* buffer, size_t capacity, const Fmt* format, va_list args) {
  Sink<Out> sink(buffer, capacity);
  constexpr bool kWideOutput = sizeof(Out) == 2;
  for (const Fmt* p = format; *p; ++p) {
    if (*p != '%') {
      sink.Put(static_cast<unsigned>(*p));
      continue;
    }
    ++p;
    Conversion conversion;
    for (;; ++p) {
      if (*p == '-') conversion.left = true;
      else if (*p == '+') conversion.plus = true;
      else if (*p == ' ') conversion.space = true;
      else if (*p == '0') conversion.zero = true;
      else if (*p == '#') conversion.alt = true;
      else break;
    }
    if (*p == '*') {
      conversion.width = va_arg(args, int);
      if (conversion.width < 0) {
        conversion.left = true;
        conversion.width = -conversion.width;
      }
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') conversion.width = conversion.width * 10 + (*p++ - '0');
    }
    if (*p == '.') {
      ++p;
      conversion.precision = 0;
      if (*p == '*') {
        conversion.precision = va_arg(args, int);
        ++p;
      } else {
        while (*p >= '0' && *p <= '9') conversion.precision = conversion.precision * 10 + (*p++ - '0');
      }
    }
    for (;; ++p) {
      if (*p == 'h') {
        conversion.size = conversion.size == 1 ? 2 : 1;
        conversion.narrow = true;
      } else if (*p == 'l') {
        if (conversion.wide) conversion.size = 3;  // ll
        conversion.wide = true;
      } else if (*p == 'w') {
        conversion.wide = true;
      } else if (*p == 'z') {
        conversion.size = 4;
      } else if (*p == 'I' && p[1] == '6' && p[2] == '4') {
        conversion.size = 3;
        p += 2;
      } else if (*p == 'I' && p[1] == '3' && p[2] == '2') {
        conversion.size = 0;
        p += 2;
      } else if (*p == 'I') {
        conversion.size = 4;
      } else {
        break;
      }
    }
    if (!*p) break;
    unsigned conv = static_cast<unsigned>(*p);
    switch (conv) {
      case 'd':
      case 'i': {
        int64_t v;
        if (conversion.size == 3) v = va_arg(args, long long);
        else if (conversion.size == 4) v = va_arg(args, intptr_t);
        else v = va_arg(args, int);
        if (conversion.size == 1) v = static_cast<short>(v);
        if (conversion.size == 2) v = static_cast<signed char>(v);
        uint64_t m = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        PutNumber(sink, m, v < 0, 10, false, conversion);
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        uint64_t v;
        if (conversion.size == 3) v = va_arg(args, unsigned long long);
        else if (conversion.size == 4) v = va_arg(args, uintptr_t);
        else v = va_arg(args, unsigned);
        if (conversion.size == 1) v = static_cast<unsigned short>(v);
        if (conversion.size == 2) v = static_cast<unsigned char>(v);
        unsigned base = conv == 'u' ? 10 : conv == 'o' ? 8 : 16;
        PutNumber(sink, v, false, base, conv == 'X', conversion);
        break;
      }
      case 'p': {
        Conversion ptr = conversion;
        ptr.zero = true;
        ptr.width = static_cast<int>(sizeof(void*) * 2);
        PutNumber(sink, reinterpret_cast<uintptr_t>(va_arg(args, void*)), false, 16, true, ptr);
        break;
      }
      case 'c':
      case 'C': {
        bool wideArg = conv == 'C' ? !kWideOutput : kWideOutput;
        if (conversion.wide) wideArg = true;
        if (conversion.narrow) wideArg = false;
        unsigned c = static_cast<unsigned>(va_arg(args, int));
        c = wideArg ? (c & 0xFFFF) : (c & 0xFF);
        int pad = conversion.width > 1 ? conversion.width - 1 : 0;
        if (!conversion.left) Pad(sink, pad, ' ');
        sink.Put(sizeof(Out) == 1 && c > 0xFF ? '?' : c);
        if (conversion.left) Pad(sink, pad, ' ');
        break;
      }
      case 's':
      case 'S':
      case 'Z': {
        bool wideArg = conv == 'S' ? !kWideOutput : kWideOutput;
        if (conversion.wide) wideArg = true;
        if (conversion.narrow) wideArg = false;
        if (conv == 'Z') {
          // A counted string: UNICODE_STRING with %wZ, ANSI_STRING with %Z.
          if (wideArg) {
            auto* us = va_arg(args, PCUNICODE_STRING);
            Conversion counted = conversion;
            if (us) counted.precision = us->Length / 2;
            PutString(sink, us ? static_cast<const WCHAR*>(us->Buffer) : nullptr, counted);
          } else {
            auto* as = va_arg(args, PCANSI_STRING);
            Conversion counted = conversion;
            if (as) counted.precision = as->Length;
            PutString(sink, as ? static_cast<const char*>(as->Buffer) : nullptr, counted);
          }
        } else if (wideArg) {
          PutString(sink, va_arg(args, const WCHAR*), conversion);
        } else {
          PutString(sink, va_arg(args, const char*), conversion);
        }
        break;
      }
      case '%':
        sink.Put('%');
        break;
      default:
        sink.Put('%');
        sink.Put(conv);
        break;
    }
  }
  return sink.count();
}

}  // namespace

size_t FormatNarrow(char* buffer, size_t capacity, const char* format, va_list args) {
  return Format<char, char>(buffer, capacity, format, args);
}

size_t FormatWide(WCHAR* buffer, size_t capacity, const WCHAR* format, va_list args) {
  return Format<WCHAR, WCHAR>(buffer, capacity, format, args);
}

}  // namespace kvz::kernel

using kvz::kernel::FormatNarrow;
using kvz::kernel::FormatWide;

extern "C" int sprintf_s(char* buffer, size_t sizeOfBuffer, const char* format, ...) {
  if (!buffer || !sizeOfBuffer || !format) return -1;
  va_list args;
  va_start(args, format);
  size_t n = FormatNarrow(buffer, sizeOfBuffer, format, args);
  va_end(args);
  if (n >= sizeOfBuffer) {
    buffer[0] = 0;
    return -1;
  }
  buffer[n] = 0;
  return static_cast<int>(n);
}

extern "C" int _snprintf(char* buffer, size_t count, const char* format, ...) {
  va_list args;
  va_start(args, format);
  size_t n = FormatNarrow(buffer, count, format, args);
  va_end(args);
  if (n > count) return -1;
  if (n < count) buffer[n] = 0;
  return static_cast<int>(n);
}

int swprintf_s(WCHAR* buffer, size_t sizeInWords, const WCHAR* format, ...) {
  if (!buffer || !sizeInWords || !format) return -1;
  va_list args;
  va_start(args, format);
  size_t n = FormatWide(buffer, sizeInWords, format, args);
  va_end(args);
  if (n >= sizeInWords) {
    buffer[0] = 0;
    return -1;
  }
  buffer[n] = 0;
  return static_cast<int>(n);
}

int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  size_t n = FormatWide(buffer, count, format, args);
  va_end(args);
  if (n > count) return -1;
  if (n < count) buffer[n] = 0;
  return static_cast<int>(n);
}

// ---------------------------------------------------------------------------------------------
// Safe string functions: always terminated; STATUS_BUFFER_OVERFLOW when the result was cut.

namespace {

// One body for the wide and narrow forms; format is FormatWide or FormatNarrow.
template <typename Char>
NTSTATUS SafePrintf(Char* dest, size_t cch, const Char* pattern, va_list args,
                    size_t (*format)(Char*, size_t, const Char*, va_list)) {
  if (cch == 0 || cch > NTSTRSAFE_MAX_CCH) {
    if (dest && cch) dest[0] = 0;
    return STATUS_INVALID_PARAMETER;
  }
  size_t n = format(dest, cch, pattern, args);
  if (n >= cch) {
    dest[cch - 1] = 0;
    return STATUS_BUFFER_OVERFLOW;
  }
  dest[n] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS CopyW(PWSTR dest, size_t cch, PCWSTR src) {
  if (cch == 0 || cch > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  size_t i = 0;
  for (; i + 1 < cch && src[i]; ++i) dest[i] = src[i];
  dest[i] = 0;
  return src[i] ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // namespace

NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...) {
  kvz::kernel::RequirePassive("RtlStringCchPrintfW");
  va_list args;
  va_start(args, pszFormat);
  NTSTATUS status = SafePrintf(pszDest, cchDest, pszFormat, args, FormatWide);
  va_end(args);
  return status;
}

NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...) {
  kvz::kernel::RequirePassive("RtlStringCbPrintfW");
  va_list args;
  va_start(args, pszFormat);
  NTSTATUS status = SafePrintf(pszDest, cbDest / sizeof(WCHAR), pszFormat, args, FormatWide);
  va_end(args);
  return status;
}

NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  NTSTATUS status = SafePrintf(pszDest, cchDest, pszFormat, args, FormatNarrow);
  va_end(args);
  return status;
}

NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  NTSTATUS status = SafePrintf(pszDest, cbDest, pszFormat, args, FormatNarrow);
  va_end(args);
  return status;
}

NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc) {
  return CopyW(pszDest, cchDest, pszSrc);
}

NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc) {
  return CopyW(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc) {
  if (cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  size_t used = wcsnlen(pszDest, cchDest);
  if (used == cchDest) return STATUS_INVALID_PARAMETER;
  return CopyW(pszDest + used, cchDest - used, pszSrc);
}

NTSTATUS RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc) {
  return RtlStringCchCatW(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength) {
  if (!psz || cchMax > NTSTRSAFE_MAX_CCH) {
    if (pcchLength) *pcchLength = 0;
    return STATUS_INVALID_PARAMETER;
  }
  size_t n = wcsnlen(psz, cchMax);
  if (pcchLength) *pcchLength = n == cchMax ? 0 : n;
  return n == cchMax ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength) {
  size_t cch = 0;
  NTSTATUS status = RtlStringCchLengthW(psz, cbMax / sizeof(WCHAR), &cch);
  if (pcbLength) *pcbLength = cch * sizeof(WCHAR);
  return status;
}
