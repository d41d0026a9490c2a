// Registry access through the run-time library: RtlQueryRegistryValues(Ex) with query tables,
// RtlWriteRegistryValue, RtlCreateRegistryKey, RtlCheckRegistryKey.
#include <atomic>
#include <cstring>

#include "ke/irql_check.h"
#include "cm/registry_tree.h"
#include "rtl/utf16.h"

using namespace kvz::kernel;
using namespace kvz::kernel::registry;

namespace {

constexpr ULONG kRtlStringTag = 'grtS';

std::atomic<uint64_t> g_plainCalls{0};
std::atomic<uint64_t> g_exCalls{0};

// Key paths the relative-to codes name, indexed by the code without its flag bits.
const char16_t* const kBases[] = {
    u"",
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\",
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\",
    u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\",
    u"\\Registry\\Machine\\Hardware\\DeviceMap\\",
    u"\\Registry\\User\\.Default\\",
};

bool IsStringType(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// The key a relative-to code and path name (RTL_REGISTRY_HANDLE: path is a key handle).
NTSTATUS ResolveBase(ULONG relativeTo, PCWSTR path, std::shared_ptr<Key>* key, ACCESS_MASK need, bool* optional) {
  *optional = (relativeTo & RTL_REGISTRY_OPTIONAL) != 0;
  if (relativeTo & RTL_REGISTRY_HANDLE)
    return KeyFromHandle(reinterpret_cast<HANDLE>(const_cast<PWSTR>(path)), need, key);
  NTSTATUS fault = TakeFault(RegistryOperation::OpenKey);
  if (!NT_SUCCESS(fault)) return fault;
  ULONG base = relativeTo & ~(RTL_REGISTRY_OPTIONAL | RTL_REGISTRY_HANDLE);
  if (base >= RTL_REGISTRY_MAXIMUM) return STATUS_INVALID_PARAMETER;
  std::u16string full = std::u16string(kBases[base]) + (path ? std::u16string(path) : std::u16string());
  if (base == RTL_REGISTRY_ABSOLUTE && (full.empty() || full[0] != u'\\')) return STATUS_OBJECT_NAME_INVALID;
  std::lock_guard<std::mutex> hold(TreeLock());
  *key = Find(full);
  return *key ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

// Stores value data the way a DIRECT table entry asks for.
NTSTATUS StoreDirect(ULONG type, const void* data, ULONG length, PVOID entryContext, POOL_TYPE poolType, ULONG tag) {
  if (IsStringType(type)) {
    auto* target = static_cast<PUNICODE_STRING>(entryContext);
    if (length > 0xFFFE) return STATUS_BUFFER_TOO_SMALL;
    if (!target->Buffer) {
      auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(poolType, length ? length : sizeof(WCHAR), tag));
      if (!buffer) return STATUS_NO_MEMORY;
      target->Buffer = buffer;
      target->MaximumLength = static_cast<USHORT>(length ? length : sizeof(WCHAR));
    } else if (length > target->MaximumLength) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    if (length) std::memcpy(target->Buffer, data, length);
    ULONG chars = length / sizeof(WCHAR);
    // Length excludes the terminator the data carries.
    if (chars && target->Buffer[chars - 1] == 0) --chars;
    else if ((chars + 1) * sizeof(WCHAR) <= target->MaximumLength) target->Buffer[chars] = 0;
    target->Length = static_cast<USHORT>(chars * sizeof(WCHAR));
    return STATUS_SUCCESS;
  }
  if (length <= sizeof(ULONG)) {
    if (length) std::memcpy(entryContext, data, length);
    return STATUS_SUCCESS;
  }
  auto* header = static_cast<LONG*>(entryContext);
  if (*header < 0) {
    if (length > static_cast<ULONG>(-static_cast<LONGLONG>(*header))) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(entryContext, data, length);
    return STATUS_SUCCESS;
  }
  if (static_cast<ULONGLONG>(length) + 2 * sizeof(ULONG) > static_cast<ULONG>(*header)) return STATUS_BUFFER_TOO_SMALL;
  auto* words = static_cast<ULONG*>(entryContext);
  words[0] = length;
  words[1] = type;
  std::memcpy(words + 2, data, length);
  return STATUS_SUCCESS;
}

// Expands %SystemRoot% and %windir%, the variables a system key can hold.
std::vector<uint8_t> ExpandString(const std::vector<uint8_t>& data) {
  std::u16string text(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2);
  while (!text.empty() && text.back() == 0) text.pop_back();
  for (const char16_t* variable : {u"%SystemRoot%", u"%windir%"}) {
    std::u16string upperVariable = UpperCase(variable);
    for (size_t at = UpperCase(text).find(upperVariable); at != std::u16string::npos;
         at = UpperCase(text).find(upperVariable))
      text.replace(at, upperVariable.size(), u"C:\\Windows");
  }
  std::vector<uint8_t> out(reinterpret_cast<const uint8_t*>(text.data()),
                           reinterpret_cast<const uint8_t*>(text.data()) + text.size() * 2);
  out.push_back(0);
  out.push_back(0);
  return out;
}

NTSTATUS Deliver(PRTL_QUERY_REGISTRY_TABLE entry, PWSTR name, ULONG type, std::vector<uint8_t> data, PVOID context,
                 POOL_TYPE poolType, ULONG tag) {
  if (type == REG_EXPAND_SZ && !(entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
    data = ExpandString(data);
    type = REG_SZ;
  }
  const ULONG length = static_cast<ULONG>(data.size());
  if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) return StoreDirect(type, data.data(), length, entry->EntryContext, poolType, tag);
  if (type == REG_MULTI_SZ && !(entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
    // One call per string, each as REG_SZ.
    const auto* text = reinterpret_cast<const char16_t*>(data.data());
    size_t count = data.size() / 2;
    for (size_t i = 0; i < count && text[i];) {
      size_t end = i;
      while (end < count && text[end]) ++end;
      std::vector<uint8_t> one(data.begin() + static_cast<long>(i * 2), data.begin() + static_cast<long>(end * 2));
      one.push_back(0);
      one.push_back(0);
      NTSTATUS status = entry->QueryRoutine(name, REG_SZ, one.data(), static_cast<ULONG>(one.size()), context,
                                            entry->EntryContext);
      if (!NT_SUCCESS(status)) return status;
      i = end + 1;
    }
    return STATUS_SUCCESS;
  }
  return entry->QueryRoutine(name, type, length ? data.data() : nullptr, length, context, entry->EntryContext);
}

NTSTATUS QueryTable(ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table, PVOID context, POOL_TYPE poolType,
                    ULONG tag) {
  RequirePassive("RtlQueryRegistryValues");
  if (!table) return STATUS_INVALID_PARAMETER;
  std::shared_ptr<Key> base;
  bool optional = false;
  NTSTATUS status = ResolveBase(relativeTo, path, &base, KEY_QUERY_VALUE, &optional);
  if (!NT_SUCCESS(status)) return optional && status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_SUCCESS : status;
  std::shared_ptr<Key> current = base;

  for (PRTL_QUERY_REGISTRY_TABLE entry = table;
       entry->QueryRoutine || (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT)); ++entry) {
    if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) current = base;
    if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
      if (!entry->Name) return STATUS_INVALID_PARAMETER;
      std::shared_ptr<Key> sub;
      {
        std::lock_guard<std::mutex> hold(TreeLock());
        sub = FindFrom(base, std::u16string(entry->Name));
      }
      if (!sub) return STATUS_OBJECT_NAME_NOT_FOUND;
      current = sub;
      if (!entry->QueryRoutine) continue;
      if (entry->Flags & RTL_QUERY_REGISTRY_NOVALUE) {
        status = entry->QueryRoutine(entry->Name, REG_NONE, nullptr, 0, context, entry->EntryContext);
        if (!NT_SUCCESS(status)) return status;
        continue;
      }
    }
    if ((entry->Flags & RTL_QUERY_REGISTRY_DIRECT) && (!entry->Name || !entry->EntryContext))
      return STATUS_INVALID_PARAMETER;

    if (!entry->Name || (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY)) {
      // Every value of the current key, in order.
      std::vector<Value> values;
      {
        std::lock_guard<std::mutex> hold(TreeLock());
        values = current->values;
      }
      for (auto& v : values) {
        std::u16string name = v.name;
        name.push_back(0);
        status = Deliver(entry, name.data(), v.type, v.data, context, poolType, tag);
        if (!NT_SUCCESS(status)) return status;
      }
      continue;
    }

    status = TakeFault(RegistryOperation::QueryValue);
    if (!NT_SUCCESS(status)) return status;
    std::vector<uint8_t> data;
    ULONG type = REG_NONE;
    bool found = false;
    {
      std::lock_guard<std::mutex> hold(TreeLock());
      if (Value* v = current->FindValue(entry->Name)) {
        found = true;
        type = v->type;
        data = v->data;
        if (entry->Flags & RTL_QUERY_REGISTRY_DELETE) {
          for (auto it = current->values.begin(); it != current->values.end(); ++it)
            if (&*it == v) {
              current->values.erase(it);
              break;
            }
        }
      }
    }
    if (!found) {
      if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
      const ULONG defaultType = entry->DefaultType & ~RTL_QUERY_REGISTRY_TYPECHECK_MASK;
      if (defaultType == REG_NONE) continue;  // nothing is written: the caller's preset stays
      ULONG defaultLength = entry->DefaultLength;
      if (!defaultLength && IsStringType(defaultType) && entry->DefaultData) {
        const auto* text = static_cast<const char16_t*>(entry->DefaultData);
        size_t n = 0;
        if (defaultType == REG_MULTI_SZ) {
          while (text[n] || text[n + 1]) ++n;
          n += 2;
        } else {
          while (text[n]) ++n;
          n += 1;
        }
        defaultLength = static_cast<ULONG>(n * sizeof(char16_t));
      }
      type = defaultType;
      const auto* bytes = static_cast<const uint8_t*>(entry->DefaultData);
      data.assign(bytes, bytes + (bytes ? defaultLength : 0));
    }
    if (entry->Flags & RTL_QUERY_REGISTRY_TYPECHECK) {
      ULONG expected = static_cast<ULONG>(entry->DefaultType) >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
      if (type != expected) return STATUS_OBJECT_TYPE_MISMATCH;
    }
    status = Deliver(entry, entry->Name, type, std::move(data), context, poolType, tag);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                 PVOID Context, PVOID) {
  ++g_plainCalls;
  return ::QueryTable(RelativeTo, Path, QueryTable, Context, PagedPool, kRtlStringTag);
}

extern "C" NTSTATUS NTAPI RtlQueryRegistryValuesEx(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                   PVOID Context, PVOID) {
  ++g_exCalls;
  return ::QueryTable(RelativeTo, Path, QueryTable, Context, PagedPool, kRtlStringTag);
}

extern "C" NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                                PVOID ValueData, ULONG ValueLength) {
  RequirePassive("RtlWriteRegistryValue");
  std::shared_ptr<Key> key;
  bool optional = false;
  NTSTATUS status = ResolveBase(RelativeTo, Path, &key, KEY_SET_VALUE, &optional);
  if (!NT_SUCCESS(status)) return status;
  status = TakeFault(RegistryOperation::SetValue);
  if (!NT_SUCCESS(status)) return status;
  if (ValueLength && !ValueData) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> hold(TreeLock());
  if (key->deleted) return STATUS_OBJECT_NAME_NOT_FOUND;
  SetValue(*key, ValueName ? std::u16string(ValueName) : std::u16string(), ValueType, ValueData, ValueLength);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
  RequirePassive("RtlCreateRegistryKey");
  if (RelativeTo & RTL_REGISTRY_HANDLE) {
    std::shared_ptr<Key> key;
    return KeyFromHandle(reinterpret_cast<HANDLE>(Path), 0, &key);
  }
  ULONG base = RelativeTo & ~RTL_REGISTRY_OPTIONAL;
  if (base >= RTL_REGISTRY_MAXIMUM || !Path) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> hold(TreeLock());
  return CreatePath(std::u16string(kBases[base]) + Path) ? STATUS_SUCCESS : STATUS_OBJECT_PATH_NOT_FOUND;
}

extern "C" NTSTATUS NTAPI RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
  RequirePassive("RtlCheckRegistryKey");
  std::shared_ptr<Key> key;
  bool optional = false;
  return ResolveBase(RelativeTo, Path, &key, 0, &optional);
}

namespace kvz::kernel {

RegistryQueryCalls RegistryQueryCallCounts() { return {g_plainCalls.load(), g_exCalls.load()}; }

void ResetRegistryQueryCallCounts() {
  g_plainCalls = 0;
  g_exCalls = 0;
}

}  // namespace kvz::kernel
