// Registry keys and values through handles: ZwOpenKey, ZwCreateKey, ZwQueryValueKey,
// ZwSetValueKey, ZwDeleteValueKey, ZwDeleteKey, ZwFlushKey, ZwEnumerateKey, ZwEnumerateValueKey.
#include <cstring>

#include "ke/irql_check.h"
#include "cm/registry_tree.h"
#include "rtl/utf16.h"

using namespace kvz::kernel;
using namespace kvz::kernel::registry;

namespace {

constexpr NTSTATUS kStatusKeyDeleted = static_cast<NTSTATUS>(0xC000017CL);
constexpr NTSTATUS kStatusCannotDelete = static_cast<NTSTATUS>(0xC0000121L);

// Resolves the key that ObjectAttributes names; parentOnly leaves the last component in *leaf.
NTSTATUS ResolveName(POBJECT_ATTRIBUTES attributes, bool parentOnly, std::shared_ptr<Key>* key,
                     std::u16string* leaf) {
  if (!attributes || attributes->Length != sizeof(OBJECT_ATTRIBUTES)) return STATUS_INVALID_PARAMETER;
  std::u16string name = FromCounted(attributes->ObjectName);
  std::shared_ptr<Key> base;
  if (attributes->RootDirectory) {
    NTSTATUS status = KeyFromHandle(attributes->RootDirectory, 0, &base);
    if (!NT_SUCCESS(status)) return status;
  } else {
    if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    auto parts = SplitPath(name);
    if (parts.empty() || !EqualNoCase(parts[0], u"Registry")) return STATUS_OBJECT_PATH_NOT_FOUND;
    name = name.substr(name.find(u'\\', 1) == std::u16string::npos ? name.size() : name.find(u'\\', 1));
  }
  std::lock_guard<std::mutex> hold(TreeLock());
  if (!base) base = Root();
  if (base->deleted) return kStatusKeyDeleted;
  auto parts = SplitPath(name);
  if (parentOnly) {
    if (parts.empty()) return STATUS_OBJECT_NAME_INVALID;
    *leaf = parts.back();
    parts.pop_back();
  }
  std::shared_ptr<Key> k = base;
  for (auto& part : parts) {
    k = SharedOf(k->FindSubkey(part));
    if (!k) return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  *key = k;
  return STATUS_SUCCESS;
}

void PutWide(UCHAR* at, const std::u16string& text) {
  std::memcpy(at, text.data(), text.size() * sizeof(char16_t));
}

// Fills one value record of the class asked; returns the status by the buffer-size rules.
NTSTATUS FillValueRecord(const Value& value, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                         PULONG resultLength) {
  const ULONG nameBytes = static_cast<ULONG>(value.name.size() * sizeof(char16_t));
  const ULONG dataBytes = static_cast<ULONG>(value.data.size());
  auto* out = static_cast<UCHAR*>(buffer);
  switch (infoClass) {
    case KeyValueBasicInformation: {
      const ULONG fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
      const ULONG total = fixed + nameBytes;
      *resultLength = total;
      if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* record = static_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer);
      record->TitleIndex = 0;
      record->Type = value.type;
      record->NameLength = nameBytes;
      if (length < total) return STATUS_BUFFER_OVERFLOW;
      PutWide(out + fixed, value.name);
      return STATUS_SUCCESS;
    }
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
      const ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
      const ULONG align = infoClass == KeyValueFullInformationAlign64 ? 8 : sizeof(ULONG);
      const ULONG dataOffset = static_cast<ULONG>(ALIGN_UP_BY(fixed + nameBytes, align));
      const ULONG total = dataOffset + dataBytes;
      *resultLength = total;
      if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* record = static_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
      record->TitleIndex = 0;
      record->Type = value.type;
      record->DataOffset = dataOffset;
      record->DataLength = dataBytes;
      record->NameLength = nameBytes;
      if (length < total) return STATUS_BUFFER_OVERFLOW;
      PutWide(out + fixed, value.name);
      if (dataBytes) std::memcpy(out + dataOffset, value.data.data(), dataBytes);
      return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation: {
      const ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
      const ULONG total = fixed + dataBytes;
      *resultLength = total;
      if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* record = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
      record->TitleIndex = 0;
      record->Type = value.type;
      record->DataLength = dataBytes;
      if (length < total) return STATUS_BUFFER_OVERFLOW;
      if (dataBytes) std::memcpy(record->Data, value.data.data(), dataBytes);
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

}  // namespace

extern "C" NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
  RequirePassive("ZwOpenKey");
  NTSTATUS status = TakeFault(RegistryOperation::OpenKey);
  if (!NT_SUCCESS(status)) return status;
  std::shared_ptr<Key> key;
  status = ResolveName(ObjectAttributes, false, &key, nullptr);
  if (!NT_SUCCESS(status)) return status;
  *KeyHandle = OpenHandle(key, DesiredAccess);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                      POBJECT_ATTRIBUTES ObjectAttributes, ULONG, PUNICODE_STRING, ULONG,
                                      PULONG Disposition) {
  RequirePassive("ZwCreateKey");
  NTSTATUS status = TakeFault(RegistryOperation::CreateKey);
  if (!NT_SUCCESS(status)) return status;
  std::shared_ptr<Key> parent;
  std::u16string leaf;
  status = ResolveName(ObjectAttributes, true, &parent, &leaf);
  if (!NT_SUCCESS(status)) return status;
  std::shared_ptr<Key> key;
  bool created = false;
  {
    std::lock_guard<std::mutex> hold(TreeLock());
    if (parent->deleted) return kStatusKeyDeleted;
    key = CreateChild(*parent, leaf, &created);
  }
  if (Disposition) *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *KeyHandle = OpenHandle(key, DesiredAccess);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                          PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  RequirePassive("ZwQueryValueKey");
  std::shared_ptr<Key> key;
  NTSTATUS status = KeyFromHandle(KeyHandle, KEY_QUERY_VALUE, &key);
  if (!NT_SUCCESS(status)) return status;
  status = TakeFault(RegistryOperation::QueryValue);
  if (!NT_SUCCESS(status)) return status;
  if (!ResultLength) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> hold(TreeLock());
  if (key->deleted) return kStatusKeyDeleted;
  Value* value = key->FindValue(FromCounted(ValueName));
  if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
  return FillValueRecord(*value, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

extern "C" NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type, PVOID Data,
                                        ULONG DataSize) {
  RequirePassive("ZwSetValueKey");
  std::shared_ptr<Key> key;
  NTSTATUS status = KeyFromHandle(KeyHandle, KEY_SET_VALUE, &key);
  if (!NT_SUCCESS(status)) return status;
  status = TakeFault(RegistryOperation::SetValue);
  if (!NT_SUCCESS(status)) return status;
  if (DataSize && !Data) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> hold(TreeLock());
  if (key->deleted) return kStatusKeyDeleted;
  SetValue(*key, FromCounted(ValueName), Type, Data, DataSize);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
  RequirePassive("ZwDeleteValueKey");
  std::shared_ptr<Key> key;
  NTSTATUS status = KeyFromHandle(KeyHandle, KEY_SET_VALUE, &key);
  if (!NT_SUCCESS(status)) return status;
  status = TakeFault(RegistryOperation::DeleteValue);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard<std::mutex> hold(TreeLock());
  if (key->deleted) return kStatusKeyDeleted;
  std::u16string name = FromCounted(ValueName);
  for (auto it = key->values.begin(); it != key->values.end(); ++it) {
    if (EqualNoCase(it->name, name)) {
      key->values.erase(it);
      return STATUS_SUCCESS;
    }
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

extern "C" NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle) {
  RequirePassive("ZwDeleteKey");
  std::shared_ptr<Key> key;
  NTSTATUS status = KeyFromHandle(KeyHandle, DELETE, &key);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard<std::mutex> hold(TreeLock());
  if (key->deleted) return kStatusKeyDeleted;
  if (!key->subkeys.empty() || !key->parent) return kStatusCannotDelete;
  Detach(*key);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwFlushKey(HANDLE KeyHandle) {
  RequirePassive("ZwFlushKey");
  std::shared_ptr<Key> key;
  NTSTATUS status = KeyFromHandle(KeyHandle, 0, &key);
  if (!NT_SUCCESS(status)) return status;
  return TakeFault(RegistryOperation::Flush);
}

extern "C" NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                         PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
  RequirePassive("ZwEnumerateKey");
  std::shared_ptr<Key> key;
  NTSTATUS status = KeyFromHandle(KeyHandle, KEY_ENUMERATE_SUB_KEYS, &key);
  if (!NT_SUCCESS(status)) return status;
  if (KeyInformationClass != KeyBasicInformation) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> hold(TreeLock());
  if (key->deleted) return kStatusKeyDeleted;
  if (Index >= key->subkeys.size()) return STATUS_NO_MORE_ENTRIES;
  const Key& sub = *key->subkeys[Index];
  const ULONG nameBytes = static_cast<ULONG>(sub.name.size() * sizeof(char16_t));
  const ULONG fixed = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
  *ResultLength = fixed + nameBytes;
  if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
  auto* record = static_cast<PKEY_BASIC_INFORMATION>(KeyInformation);
  record->LastWriteTime.QuadPart = sub.lastWrite;
  record->TitleIndex = 0;
  record->NameLength = nameBytes;
  if (Length < fixed + nameBytes) return STATUS_BUFFER_OVERFLOW;
  PutWide(static_cast<UCHAR*>(KeyInformation) + fixed, sub.name);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                              KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                              PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  RequirePassive("ZwEnumerateValueKey");
  std::shared_ptr<Key> key;
  NTSTATUS status = KeyFromHandle(KeyHandle, KEY_QUERY_VALUE, &key);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard<std::mutex> hold(TreeLock());
  if (key->deleted) return kStatusKeyDeleted;
  if (Index >= key->values.size()) return STATUS_NO_MORE_ENTRIES;
  return FillValueRecord(key->values[Index], KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}
