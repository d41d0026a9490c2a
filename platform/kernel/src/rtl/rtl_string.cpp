// Counted strings and wide-character helpers of the run-time library.
#include "ke/irql_check.h"
#include <cstring>

#include "wdm.h"

namespace {

constexpr ULONG kStringTag = 'grtS';
constexpr USHORT kMaxUnicodeBytes = 0xFFFE;

size_t WideLength(const WCHAR* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

}  // namespace

extern "C" SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  const UCHAR* a = static_cast<const UCHAR*>(Source1);
  const UCHAR* b = static_cast<const UCHAR*>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}

extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (!SourceString) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
  if (bytes > kMaxUnicodeBytes - sizeof(WCHAR)) bytes = kMaxUnicodeBytes - sizeof(WCHAR);
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  DestinationString->Buffer = const_cast<PWCH>(SourceString);
}

extern "C" VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
  if (!SourceString) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  size_t bytes = std::strlen(SourceString);
  if (bytes > 0xFFFE) bytes = 0xFFFE;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

extern "C" VOID NTAPI RtlInitString(PSTRING DestinationString, PCSTR SourceString) {
  RtlInitAnsiString(DestinationString, SourceString);
}

extern "C" WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR c) {
  kvz::kernel::RequirePassive("RtlUpcaseUnicodeChar");
  if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - 0x20);
  if (c < 0xE0) return c;
  if (c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);  // Latin-1 lower case
  if (c == 0xFF) return 0x178;
  return c;
}

extern "C" LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                              BOOLEAN CaseInSensitive) {
  kvz::kernel::RequirePassive("RtlCompareUnicodeString");
  size_t n1 = String1->Length / sizeof(WCHAR);
  size_t n2 = String2->Length / sizeof(WCHAR);
  size_t n = n1 < n2 ? n1 : n2;
  for (size_t i = 0; i < n; ++i) {
    WCHAR a = String1->Buffer[i];
    WCHAR b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = RtlUpcaseUnicodeChar(a);
      b = RtlUpcaseUnicodeChar(b);
    }
    if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
  }
  return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

extern "C" BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                               BOOLEAN CaseInSensitive) {
  kvz::kernel::RequirePassive("RtlEqualUnicodeString");
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

extern "C" BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                                BOOLEAN CaseInSensitive) {
  kvz::kernel::RequirePassive("RtlPrefixUnicodeString");
  if (String1->Length > String2->Length) return FALSE;
  UNICODE_STRING head = *String2;
  head.Length = String1->Length;
  return RtlCompareUnicodeString(String1, &head, CaseInSensitive) == 0 ? TRUE : FALSE;
}

extern "C" NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                                       PCANSI_STRING SourceString,
                                                       BOOLEAN AllocateDestinationString) {
  kvz::kernel::RequirePassive("RtlAnsiStringToUnicodeString");
  ULONG bytes = static_cast<ULONG>(SourceString->Length) * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > kMaxUnicodeBytes) return STATUS_INVALID_PARAMETER_2;
  if (AllocateDestinationString) {
    auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kStringTag));
    if (!buffer) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  } else if (bytes > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (USHORT i = 0; i < SourceString->Length; ++i)
    DestinationString->Buffer[i] = static_cast<UCHAR>(SourceString->Buffer[i]);
  DestinationString->Length = static_cast<USHORT>(bytes);
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
    DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                       PCUNICODE_STRING SourceString,
                                                       BOOLEAN AllocateDestinationString) {
  kvz::kernel::RequirePassive("RtlUnicodeStringToAnsiString");
  ULONG chars = SourceString->Length / sizeof(WCHAR);
  if (chars + 1 > 0xFFFF) return STATUS_INVALID_PARAMETER_2;
  NTSTATUS status = STATUS_SUCCESS;
  if (AllocateDestinationString) {
    auto* buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, chars + 1, kStringTag));
    if (!buffer) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(chars + 1);
  } else if (chars >= DestinationString->MaximumLength) {
    if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
    // Like the kernel: as much as fits, terminated, and an overflow status.
    chars = DestinationString->MaximumLength - 1u;
    status = STATUS_BUFFER_OVERFLOW;
  }
  for (ULONG i = 0; i < chars; ++i) {
    WCHAR c = SourceString->Buffer[i];
    DestinationString->Buffer[i] = static_cast<CHAR>(c <= 0xFF ? c : '?');
  }
  DestinationString->Buffer[chars] = 0;
  DestinationString->Length = static_cast<USHORT>(chars);
  return status;
}

extern "C" VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = 0;
}

extern "C" VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
  if (AnsiString->Buffer) ExFreePool(AnsiString->Buffer);
  AnsiString->Buffer = nullptr;
  AnsiString->Length = 0;
  AnsiString->MaximumLength = 0;
}

extern "C" VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                           PCUNICODE_STRING SourceString) {
  if (!SourceString) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length;
  if (bytes > DestinationString->MaximumLength) bytes = DestinationString->MaximumLength & ~1u;
  std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
    DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

extern "C" NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                         PCUNICODE_STRING Source) {
  if (!Source->Length) return STATUS_SUCCESS;
  ULONG total = static_cast<ULONG>(Destination->Length) + Source->Length;
  if (total > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memmove(reinterpret_cast<UCHAR*>(Destination->Buffer) + Destination->Length, Source->Buffer,
               Source->Length);
  Destination->Length = static_cast<USHORT>(total);
  if (total + sizeof(WCHAR) <= Destination->MaximumLength) Destination->Buffer[total / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (!Source) return STATUS_SUCCESS;
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, Source);
  return RtlAppendUnicodeStringToString(Destination, &s);
}

extern "C" NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
  size_t n = String->Length / sizeof(WCHAR);
  size_t i = 0;
  while (i < n && (String->Buffer[i] == u' ' || String->Buffer[i] == u'\t')) ++i;
  bool negative = false;
  if (i < n && (String->Buffer[i] == u'-' || String->Buffer[i] == u'+')) negative = String->Buffer[i++] == u'-';
  if (Base == 0) {
    Base = 10;
    if (i + 1 < n && String->Buffer[i] == u'0') {
      WCHAR p = RtlUpcaseUnicodeChar(String->Buffer[i + 1]);
      if (p == u'X') Base = 16;
      else if (p == u'O') Base = 8;
      else if (p == u'B') Base = 2;
      if (Base != 10) i += 2;
    }
  } else if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG result = 0;
  for (; i < n; ++i) {
    WCHAR c = RtlUpcaseUnicodeChar(String->Buffer[i]);
    ULONG digit;
    if (c >= u'0' && c <= u'9') digit = c - u'0';
    else if (c >= u'A' && c <= u'F') digit = c - u'A' + 10;
    else break;
    if (digit >= Base) break;
    result = result * Base + digit;
  }
  *Value = negative ? 0u - result : result;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  WCHAR digits[33];
  int n = 0;
  do {
    ULONG d = Value % Base;
    digits[n++] = static_cast<WCHAR>(d < 10 ? u'0' + d : u'A' + d - 10);
    Value /= Base;
  } while (Value);
  ULONG bytes = static_cast<ULONG>(n) * sizeof(WCHAR);
  if (bytes > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (int i = 0; i < n; ++i) String->Buffer[i] = digits[n - 1 - i];
  String->Length = static_cast<USHORT>(bytes);
  if (bytes + sizeof(WCHAR) <= String->MaximumLength) String->Buffer[n] = 0;
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------

size_t wcslen(const WCHAR* s) { return WideLength(s); }

size_t wcsnlen(const WCHAR* s, size_t maxCount) {
  size_t n = 0;
  while (n < maxCount && s[n]) ++n;
  return n;
}

int wcsncmp(const WCHAR* a, const WCHAR* b, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    if (!a[i]) break;
  }
  return 0;
}

int wcscmp(const WCHAR* a, const WCHAR* b) { return wcsncmp(a, b, static_cast<size_t>(-1)); }

int _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    WCHAR x = RtlUpcaseUnicodeChar(a[i]);
    WCHAR y = RtlUpcaseUnicodeChar(b[i]);
    if (x != y) return x < y ? -1 : 1;
    if (!x) break;
  }
  return 0;
}

int _wcsicmp(const WCHAR* a, const WCHAR* b) { return _wcsnicmp(a, b, static_cast<size_t>(-1)); }

const WCHAR* wcsrchr(const WCHAR* s, WCHAR c) {
  const WCHAR* last = nullptr;
  for (;; ++s) {
    if (*s == c) last = s;
    if (!*s) return last;
  }
}
WCHAR* wcsrchr(WCHAR* s, WCHAR c) { return const_cast<WCHAR*>(wcsrchr(static_cast<const WCHAR*>(s), c)); }

const WCHAR* wcschr(const WCHAR* s, WCHAR c) {
  for (;; ++s) {
    if (*s == c) return s;
    if (!*s) return nullptr;
  }
}
WCHAR* wcschr(WCHAR* s, WCHAR c) { return const_cast<WCHAR*>(wcschr(static_cast<const WCHAR*>(s), c)); }

const WCHAR* wcsstr(const WCHAR* s, const WCHAR* find) {
  size_t n = WideLength(find);
  if (!n) return s;
  for (; *s; ++s)
    if (wcsncmp(s, find, n) == 0) return s;
  return nullptr;
}
WCHAR* wcsstr(WCHAR* s, const WCHAR* find) {
  return const_cast<WCHAR*>(wcsstr(static_cast<const WCHAR*>(s), find));
}
