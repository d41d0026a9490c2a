// Test-side view of the registry stand-in: read and write the tree directly, keep it in a text
// file between runs, and make registry operations fail on demand. Paths are absolute
// ("\Registry\Machine\..."), names compare without case. Never included by driver code.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../wdm.h"

namespace kvz::kernel {

struct RegistryValue {
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;

  uint32_t Dword() const;               // 0 unless 4 bytes of data
  std::u16string String() const;        // up to the first terminator
  std::vector<std::u16string> MultiString() const;
};

// Back to a machine with the standard keys and nothing else (under \Registry\Machine:
// HARDWARE\DESCRIPTION\System, HARDWARE\DEVICEMAP, SOFTWARE, SYSTEM\CurrentControlSet\Control\Class
// and SYSTEM\CurrentControlSet\Services; and \Registry\User). Open handles keep the keys they name (now detached).
void ResetRegistry();

void CreateRegistryKey(const std::u16string& path);  // with every missing parent
bool RegistryKeyExists(const std::u16string& path);
void DeleteRegistryKey(const std::u16string& path);  // with its subkeys
// The Set functions create the key when it is missing.
void SetRegistryValue(const std::u16string& path, const std::u16string& name, uint32_t type,
                      const std::vector<uint8_t>& data);
void SetRegistryDword(const std::u16string& path, const std::u16string& name, uint32_t value);
void SetRegistryString(const std::u16string& path, const std::u16string& name, const std::u16string& value,
                       uint32_t type = REG_SZ);
void SetRegistryMultiString(const std::u16string& path, const std::u16string& name,
                            const std::vector<std::u16string>& values);
void SetRegistryBinary(const std::u16string& path, const std::u16string& name, const std::vector<uint8_t>& data);
std::optional<RegistryValue> GetRegistryValue(const std::u16string& path, const std::u16string& name);
void DeleteRegistryValue(const std::u16string& path, const std::u16string& name);
std::vector<std::u16string> RegistryValueNames(const std::u16string& path);
std::vector<std::u16string> RegistrySubkeyNames(const std::u16string& path);

// The whole tree as text (one "[key path]" line per key, then its values as "name"=type:data)
// and back. Loading replaces the tree; on a malformed text it returns false, leaves the tree
// as it was and describes the first fault in *error.
std::string RegistryToText();
bool RegistryFromText(const std::string& text, std::string* error = nullptr);
// On a failure of the file itself *error is the system's reason ("No space left on device").
bool SaveRegistry(const std::string& file, std::string* error = nullptr);
bool LoadRegistry(const std::string& file, std::string* error = nullptr);

// Makes the next `count` calls of one operation fail with `status` (ZwOpenKey, ZwCreateKey,
// ZwQueryValueKey, ZwSetValueKey and RtlWriteRegistryValue, ZwDeleteValueKey, ZwFlushKey; the
// RTL query counts as opening its key and reading its values).
// How often each RTL query entry point was called since the last reset (ResetRegistry too).
struct RegistryQueryCalls {
  uint64_t plain = 0;  // RtlQueryRegistryValues
  uint64_t ex = 0;     // RtlQueryRegistryValuesEx
};
RegistryQueryCalls RegistryQueryCallCounts();
void ResetRegistryQueryCallCounts();

enum class RegistryOperation { OpenKey, CreateKey, QueryValue, SetValue, DeleteValue, Flush };
void FailRegistryOperation(RegistryOperation op, NTSTATUS status, unsigned count = 1);
void ClearRegistryFaults();

}  // namespace kvz::kernel
