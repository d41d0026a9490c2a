// The registry stand-in's tree, shared by the Zw functions, the RTL query and write functions,
// the text form and the test-side view.
#pragma once
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "kvz/registry_testing.h"
#include "wdm.h"

namespace kvz::kernel::registry {

struct Value {
  std::u16string name;
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};

struct Key {
  std::u16string name;
  Key* parent = nullptr;
  std::vector<std::shared_ptr<Key>> subkeys;  // in creation order
  std::vector<Value> values;                  // in creation order
  bool deleted = false;
  LONGLONG lastWrite = 0;

  Key* FindSubkey(std::u16string_view subkeyName) const;
  Value* FindValue(std::u16string_view valueName);
  std::u16string Path() const;  // "\Registry\..."
};

// Guards the whole tree. Never held while driver code runs.
std::mutex& TreeLock();
// The "\Registry" key.
std::shared_ptr<Key> Root();

// Splits a path on backslashes (empty components dropped).
std::vector<std::u16string> SplitPath(std::u16string_view path);
// Resolves an absolute "\Registry\..." path, or a path relative to `from`; null when missing.
// Call with TreeLock held.
std::shared_ptr<Key> Find(std::u16string_view absolutePath);
std::shared_ptr<Key> FindFrom(const std::shared_ptr<Key>& from, std::u16string_view relativePath);
// Creates what is missing; null for a path outside "\Registry". TreeLock held.
std::shared_ptr<Key> CreatePath(std::u16string_view absolutePath);
std::shared_ptr<Key> CreateChild(Key& parent, std::u16string_view name, bool* created);
std::shared_ptr<Key> SharedOf(Key* key);
void SetValue(Key& key, std::u16string_view name, ULONG type, const void* data, size_t size);
// Removes a key and its subkeys from the tree (they stay alive while handles name them).
void Detach(Key& key);

// Returns the injected failure of the next call of op, or STATUS_SUCCESS.
NTSTATUS TakeFault(RegistryOperation op);

// An open key behind a handle.
struct KeyObject {
  std::shared_ptr<Key> key;
  ACCESS_MASK access = 0;
};
POBJECT_TYPE KeyType();
// Creates a handle for the key with the given access.
HANDLE OpenHandle(const std::shared_ptr<Key>& key, ACCESS_MASK access);
// The key behind a handle, checking that one of the rights in `need` was granted.
NTSTATUS KeyFromHandle(HANDLE handle, ACCESS_MASK need, std::shared_ptr<Key>* key);

}  // namespace kvz::kernel::registry
