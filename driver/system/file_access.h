// Files opened by path for reading (the configuration files and overlay bitmaps in the system
// root). PASSIVE_LEVEL only.
#pragma once
#include <wdm.h>

namespace kvz {

// Opens for synchronous reading; *handle is written on success only.
NTSTATUS OpenFileByPath(PCWSTR path, HANDLE* handle);
// One read at the current position; STATUS_END_OF_FILE at the end.
NTSTATUS ReadFileBytes(HANDLE handle, PVOID buffer, ULONG length);
VOID CloseFileHandle(HANDLE handle);

}  // namespace kvz
