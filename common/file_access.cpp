#include "common/file_access.h"

namespace kvz {

NTSTATUS OpenFileByPath(PCWSTR path, HANDLE* handle) {
  PAGED_CODE();
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK iosb;
  HANDLE file = nullptr;
  NTSTATUS status = ZwCreateFile(&file, GENERIC_READ, &attributes, &iosb, nullptr, 0, FILE_SHARE_READ, FILE_OPEN,
                                 FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (NT_SUCCESS(status)) *handle = file;
  return status;
}

NTSTATUS ReadFileBytes(HANDLE handle, PVOID buffer, ULONG length, ULONG* bytesRead) {
  PAGED_CODE();
  IO_STATUS_BLOCK iosb;
  iosb.Status = STATUS_UNSUCCESSFUL;
  iosb.Information = 0;
  NTSTATUS status = ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, length, nullptr, nullptr);
  // A call refused before any I/O (a bad handle) leaves the status block unwritten.
  if (NT_ERROR(status) && iosb.Status == STATUS_UNSUCCESSFUL) return status;
  if (NT_SUCCESS(iosb.Status) && bytesRead)
    *bytesRead = iosb.Information < length ? static_cast<ULONG>(iosb.Information) : length;
  return iosb.Status;
}

VOID CloseFileHandle(HANDLE handle) { ZwClose(handle); }

}  // namespace kvz
