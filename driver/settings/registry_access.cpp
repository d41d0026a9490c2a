#include "driver/settings/registry_access.h"

namespace kvz {
namespace {

constexpr ULONG kValueBufferTag = 'K0hG';
constexpr ULONG kNameTag = 'K0hN';
constexpr ULONG kStackValueBuffer = 100;

typedef NTSTATUS(NTAPI* QueryRegistryValuesRoutine)(ULONG, PCWSTR, PRTL_QUERY_REGISTRY_TABLE, PVOID, PVOID);

// RtlQueryRegistryValuesEx where the system has it, else RtlQueryRegistryValues; looked up on
// every call.
NTSTATUS RunQueryTable(PCWSTR keyPath, PRTL_QUERY_REGISTRY_TABLE table) {
  UNICODE_STRING routineName;
  RtlInitUnicodeString(&routineName, u"RtlQueryRegistryValuesEx");
  auto routine = reinterpret_cast<QueryRegistryValuesRoutine>(MmGetSystemRoutineAddress(&routineName));
  if (!routine) routine = RtlQueryRegistryValues;
  return routine(RTL_REGISTRY_ABSOLUTE, keyPath, table, nullptr, nullptr);
}

// Takes a value only when it really is a DWORD: a direct query would copy any value's data over
// the caller's single word.
NTSTATUS NTAPI StoreDword(PWSTR, ULONG valueType, PVOID valueData, ULONG valueLength, PVOID, PVOID entryContext) {
  if (valueType != REG_DWORD || valueLength != sizeof(ULONG)) return STATUS_OBJECT_TYPE_MISMATCH;
  RtlCopyMemory(entryContext, valueData, sizeof(ULONG));
  return STATUS_SUCCESS;
}

NTSTATUS QueryCheckedDword(PCWSTR keyPath, PWSTR valueName, ULONG flags, ULONG* out) {
  RTL_QUERY_REGISTRY_TABLE table[2];
  RtlZeroMemory(table, sizeof(table));
  table[0].QueryRoutine = StoreDword;
  table[0].Flags = flags;
  table[0].Name = valueName;
  table[0].EntryContext = out;
  table[0].DefaultType = REG_NONE;
  return RunQueryTable(keyPath, table);
}

NTSTATUS WideName(const char* valueName, PUNICODE_STRING name) {
  ANSI_STRING ansi;
  RtlInitAnsiString(&ansi, valueName);
  return RtlAnsiStringToUnicodeString(name, &ansi, TRUE);
}

}  // namespace

NTSTATUS QueryRegistryDword(PUNICODE_STRING keyPath, const char* valueName, ULONG* out) {
  PAGED_CODE();
  UNICODE_STRING name;
  NTSTATUS status = WideName(valueName, &name);
  if (NT_SUCCESS(status)) {
    status = QueryCheckedDword(keyPath->Buffer, name.Buffer, 0, out);
    RtlFreeUnicodeString(&name);
  }
  if (!NT_SUCCESS(status)) *out = 0;
  return status;
}

NTSTATUS QueryRegistryValue(PCWSTR keyPath, const char* valueName, PVOID destination) {
  PAGED_CODE();
  UNICODE_STRING name;
  NTSTATUS status = WideName(valueName, &name);
  if (!NT_SUCCESS(status)) return status;
  RTL_QUERY_REGISTRY_TABLE table[2];
  RtlZeroMemory(table, sizeof(table));
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[0].Name = name.Buffer;
  table[0].EntryContext = destination;
  table[0].DefaultType = REG_NONE;
  status = RunQueryTable(keyPath, table);
  RtlFreeUnicodeString(&name);
  return status;
}

bool QueryRegistryParameters(PUNICODE_STRING imagePath, PUNICODE_STRING keyPath) {
  PAGED_CODE();
  if (!imagePath || !imagePath->Buffer) return false;
  USHORT count = imagePath->Length / sizeof(WCHAR);
  USHORT slash = count;
  while (slash > 0) {
    if (imagePath->Buffer[slash - 1] == u'\\') break;
    --slash;
  }
  if (slash == 0 || slash == count) return false;
  USHORT nameLength = count - slash;
  // The file name, terminated, for the query table.
  auto* name = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, (nameLength + 1) * sizeof(WCHAR), kNameTag));
  if (!name) return false;
  RtlCopyMemory(name, imagePath->Buffer + slash, nameLength * sizeof(WCHAR));
  name[nameLength] = 0;
  ULONG optOut = 0;
  NTSTATUS status = QueryCheckedDword(keyPath->Buffer, name, RTL_QUERY_REGISTRY_REQUIRED, &optOut);
  ExFreePoolWithTag(name, kNameTag);
  return NT_SUCCESS(status) && optOut != 0;
}

NTSTATUS OpenRegistryKey(PCWSTR keyPath, HANDLE* key) {
  PAGED_CODE();
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, keyPath);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle = nullptr;
  NTSTATUS status = ZwOpenKey(&handle, KEY_READ, &attributes);
  if (NT_SUCCESS(status)) *key = handle;
  return status;
}

NTSTATUS QueryRegistryKeyValue(HANDLE key, PCWSTR valueName, ULONG expectedType, PVOID destination, ULONG* length) {
  PAGED_CODE();
  const ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
  const ULONG size = *length + header;
  alignas(8) UCHAR stackBuffer[kStackValueBuffer];
  PKEY_VALUE_PARTIAL_INFORMATION info;
  bool pooled = size > kStackValueBuffer;
  if (pooled) {
    info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, size, kValueBufferTag));
    if (!info) return STATUS_INSUFFICIENT_RESOURCES;
  } else {
    info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(stackBuffer);
  }
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  ULONG reported = 0;
  NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, size, &reported);
  if (NT_SUCCESS(status)) {
    if (info->Type == expectedType) RtlCopyMemory(destination, info->Data, info->DataLength);
    else status = STATUS_OBJECT_TYPE_MISMATCH;
  }
  // A failure that reports no size (a missing value) leaves nothing to subtract from.
  *length = reported > header ? reported - header : 0;
  if (pooled) ExFreePoolWithTag(info, kValueBufferTag);
  return status;
}

bool ReadRegistryDword(HANDLE key, PCWSTR valueName, ULONG* out) {
  ULONG length = sizeof(ULONG);
  return NT_SUCCESS(QueryRegistryKeyValue(key, valueName, REG_DWORD, out, &length));
}

NTSTATUS WriteRegistryDword(PUNICODE_STRING keyPath, const char* valueName, ULONG value) {
  PAGED_CODE();
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, keyPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  NTSTATUS status = ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING name;
  status = WideName(valueName, &name);
  if (NT_SUCCESS(status)) {
    status = RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), name.Buffer, REG_DWORD, &value,
                                   sizeof(value));
    RtlFreeUnicodeString(&name);
    // A failed write is the answer; otherwise whether it reached the disk.
    NTSTATUS flushed = ZwFlushKey(key);
    if (NT_SUCCESS(status)) status = flushed;
  }
  ZwClose(key);
  return status;
}

}  // namespace kvz
