// Single registry values: DWORD and string queries by path, the per-application rotation
// opt-out, key handles and typed value reads, DWORD writes. PASSIVE_LEVEL only.
#pragma once
#include <wdm.h>

namespace kvz {

// DWORD under an absolute key path. A value that does not exist is no error: success, and *out
// keeps what the caller put there. A value of another type or size is STATUS_OBJECT_TYPE_MISMATCH.
// On any error *out becomes 0.
NTSTATUS QueryRegistryDword(PUNICODE_STRING keyPath, const char* valueName, ULONG* out);
// Any value through a direct query table entry; strings go to a UNICODE_STRING destination.
// Nothing is zeroed on failure.
NTSTATUS QueryRegistryValue(PCWSTR keyPath, const char* valueName, PVOID destination);
// True when keyPath has a non-zero DWORD named after the executable in imagePath (the text after
// its last backslash); a path without a backslash is never listed.
bool QueryRegistryParameters(PUNICODE_STRING imagePath, PUNICODE_STRING keyPath);

// Opens a key for reading; *key is written on success only.
NTSTATUS OpenRegistryKey(PCWSTR keyPath, HANDLE* key);
// Reads a value of the expected type into destination (*length bytes of room); *length becomes
// the size the value has. STATUS_OBJECT_TYPE_MISMATCH for another type; the buffer-size errors
// of ZwQueryValueKey are passed on.
NTSTATUS QueryRegistryKeyValue(HANDLE key, PCWSTR valueName, ULONG expectedType, PVOID destination, ULONG* length);
bool ReadRegistryDword(HANDLE key, PCWSTR valueName, ULONG* out);

// Writes a DWORD into an existing key (a missing key is not created) and flushes it; the status
// of the write, or of the flush when the write succeeded.
NTSTATUS WriteRegistryDword(PUNICODE_STRING keyPath, const char* valueName, ULONG value);

}  // namespace kvz
