// Files opened by path for reading: the device core's configuration files and post-processing's
// overlay bitmaps and textures in the system root. PASSIVE_LEVEL only.
#pragma once
#include <wdm.h>

namespace kvz {

// Opens for synchronous reading; *handle is written on success only.
NTSTATUS OpenFileByPath(PCWSTR path, HANDLE* handle);
// One read at the current position; STATUS_END_OF_FILE at the end. On success *bytesRead (when
// given) is the bytes read, at most length.
NTSTATUS ReadFileBytes(HANDLE handle, PVOID buffer, ULONG length, ULONG* bytesRead = nullptr);
VOID CloseFileHandle(HANDLE handle);

}  // namespace kvz
