// The registry tree, its key objects and the test-side view of it.
#include <map>

#include "kvz/object_manager.h"
#include "cm/registry_tree.h"
#include "rtl/utf16.h"

namespace kvz::kernel::registry {
namespace {

std::shared_ptr<Key>& RootSlot() {
  static std::shared_ptr<Key> root;
  return root;
}

std::map<RegistryOperation, std::pair<NTSTATUS, unsigned>>& Faults() {
  static std::map<RegistryOperation, std::pair<NTSTATUS, unsigned>> faults;
  return faults;
}

LONGLONG Stamp() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now.QuadPart;
}

void BuildSkeleton() {
  auto root = std::make_shared<Key>();
  root->name = u"Registry";
  RootSlot() = root;
  static const char16_t* const kStandardKeys[] = {
      u"\\Registry\\Machine\\HARDWARE\\DESCRIPTION\\System",
      u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP",
      u"\\Registry\\Machine\\SOFTWARE",
      u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class",
      u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services",
      u"\\Registry\\User",
  };
  for (const char16_t* path : kStandardKeys) CreatePath(path);
}

void DestroyKeyObject(void* body) { DestroyBody<KeyObject>(body); }
_OBJECT_TYPE g_keyType{"Key", DestroyKeyObject};
POBJECT_TYPE g_keyTypePointer = &g_keyType;

}  // namespace

Key* Key::FindSubkey(std::u16string_view subkeyName) const {
  for (auto& k : subkeys)
    if (EqualNoCase(k->name, subkeyName)) return k.get();
  return nullptr;
}

Value* Key::FindValue(std::u16string_view valueName) {
  for (auto& v : values)
    if (EqualNoCase(v.name, valueName)) return &v;
  return nullptr;
}

std::u16string Key::Path() const {
  std::u16string path;
  for (const Key* k = this; k; k = k->parent) path = u"\\" + k->name + path;
  return path;
}

std::mutex& TreeLock() {
  static std::mutex lock;
  return lock;
}

std::shared_ptr<Key> Root() {
  if (!RootSlot()) BuildSkeleton();
  return RootSlot();
}

std::vector<std::u16string> SplitPath(std::u16string_view path) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::shared_ptr<Key> SharedOf(Key* key) {
  if (!key) return nullptr;
  if (!key->parent) return Root();
  for (auto& k : key->parent->subkeys)
    if (k.get() == key) return k;
  return nullptr;
}

std::shared_ptr<Key> FindFrom(const std::shared_ptr<Key>& from, std::u16string_view relativePath) {
  if (!from || from->deleted) return nullptr;
  Key* key = from.get();
  for (auto& part : SplitPath(relativePath)) {
    key = key->FindSubkey(part);
    if (!key) return nullptr;
  }
  return key == from.get() ? from : SharedOf(key);
}

std::shared_ptr<Key> Find(std::u16string_view absolutePath) {
  auto parts = SplitPath(absolutePath);
  if (parts.empty() || !EqualNoCase(parts[0], u"Registry")) return nullptr;
  Key* key = Root().get();
  for (size_t i = 1; i < parts.size(); ++i) {
    key = key->FindSubkey(parts[i]);
    if (!key) return nullptr;
  }
  return SharedOf(key);
}

std::shared_ptr<Key> CreateChild(Key& parent, std::u16string_view name, bool* created) {
  if (Key* existing = parent.FindSubkey(name)) {
    if (created) *created = false;
    return SharedOf(existing);
  }
  auto key = std::make_shared<Key>();
  key->name = std::u16string(name);
  key->parent = &parent;
  key->lastWrite = Stamp();
  parent.subkeys.push_back(key);
  if (created) *created = true;
  return key;
}

std::shared_ptr<Key> CreatePath(std::u16string_view absolutePath) {
  auto parts = SplitPath(absolutePath);
  if (parts.empty() || !EqualNoCase(parts[0], u"Registry")) return nullptr;
  std::shared_ptr<Key> key = RootSlot() ? RootSlot() : Root();
  for (size_t i = 1; i < parts.size(); ++i) key = CreateChild(*key, parts[i], nullptr);
  return key;
}

void SetValue(Key& key, std::u16string_view name, ULONG type, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  Value* value = key.FindValue(name);
  if (!value) {
    key.values.push_back(Value{std::u16string(name), type, {}});
    value = &key.values.back();
  }
  value->type = type;
  value->data.assign(bytes, bytes + size);
  key.lastWrite = Stamp();
}

void Detach(Key& key) {
  std::vector<Key*> stack{&key};
  while (!stack.empty()) {
    Key* k = stack.back();
    stack.pop_back();
    k->deleted = true;
    for (auto& child : k->subkeys) stack.push_back(child.get());
  }
  if (key.parent) {
    auto& siblings = key.parent->subkeys;
    for (auto it = siblings.begin(); it != siblings.end(); ++it) {
      if (it->get() == &key) {
        siblings.erase(it);
        break;
      }
    }
  }
}

NTSTATUS TakeFault(RegistryOperation op) {
  std::lock_guard<std::mutex> hold(TreeLock());
  auto it = Faults().find(op);
  if (it == Faults().end() || it->second.second == 0) return STATUS_SUCCESS;
  NTSTATUS status = it->second.first;
  if (--it->second.second == 0) Faults().erase(it);
  return status;
}

POBJECT_TYPE KeyType() { return g_keyTypePointer; }

HANDLE OpenHandle(const std::shared_ptr<Key>& key, ACCESS_MASK access) {
  auto* object = CreateObjectOf<KeyObject>(KeyType());
  object->key = key;
  object->access = access;
  HANDLE handle = CreateHandle(object);
  DereferenceObject(object);
  return handle;
}

NTSTATUS KeyFromHandle(HANDLE handle, ACCESS_MASK need, std::shared_ptr<Key>* key) {
  void* body = nullptr;
  NTSTATUS status = ReferenceObjectByHandle(handle, KeyType(), &body);
  if (!NT_SUCCESS(status)) return status;
  auto* object = static_cast<KeyObject*>(body);
  ACCESS_MASK granted = object->access;
  if (granted & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= KEY_ALL_ACCESS;
  if (granted & GENERIC_READ) granted |= KEY_READ;
  if (granted & GENERIC_WRITE) granted |= KEY_WRITE;
  std::shared_ptr<Key> result = object->key;
  DereferenceObject(body);
  if (need && !(granted & need)) return STATUS_ACCESS_DENIED;
  *key = result;
  return STATUS_SUCCESS;
}

}  // namespace kvz::kernel::registry

extern "C" {
POBJECT_TYPE* CmKeyObjectType = &kvz::kernel::registry::g_keyTypePointer;
}

// ---------------------------------------------------------------------------------------------
// Test-side view.
namespace kvz::kernel {

using namespace registry;

uint32_t RegistryValue::Dword() const {
  if (data.size() != 4) return 0;
  return static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8) |
         (static_cast<uint32_t>(data[2]) << 16) | (static_cast<uint32_t>(data[3]) << 24);
}

std::u16string RegistryValue::String() const {
  std::u16string s;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (!c) break;
    s += c;
  }
  return s;
}

std::vector<std::u16string> RegistryValue::MultiString() const {
  std::vector<std::u16string> out;
  std::u16string current;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c) {
      current += c;
      continue;
    }
    if (current.empty()) break;
    out.push_back(current);
    current.clear();
  }
  if (!current.empty()) out.push_back(current);
  return out;
}

void ResetRegistry() {
  std::lock_guard<std::mutex> hold(TreeLock());
  if (RootSlot()) Detach(*RootSlot());
  RootSlot().reset();
  BuildSkeleton();
  Faults().clear();
  ResetRegistryQueryCallCounts();
}

void CreateRegistryKey(const std::u16string& path) {
  std::lock_guard<std::mutex> hold(TreeLock());
  CreatePath(path);
}

bool RegistryKeyExists(const std::u16string& path) {
  std::lock_guard<std::mutex> hold(TreeLock());
  return Find(path) != nullptr;
}

void DeleteRegistryKey(const std::u16string& path) {
  std::lock_guard<std::mutex> hold(TreeLock());
  auto key = Find(path);
  if (key && key->parent) Detach(*key);
}

void SetRegistryValue(const std::u16string& path, const std::u16string& name, uint32_t type,
                      const std::vector<uint8_t>& data) {
  std::lock_guard<std::mutex> hold(TreeLock());
  auto key = CreatePath(path);
  if (key) SetValue(*key, name, type, data.data(), data.size());
}

void SetRegistryDword(const std::u16string& path, const std::u16string& name, uint32_t value) {
  std::vector<uint8_t> data{static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  SetRegistryValue(path, name, REG_DWORD, data);
}

namespace {
void AppendWide(std::vector<uint8_t>& out, const std::u16string& text) {
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
}
}  // namespace

void SetRegistryString(const std::u16string& path, const std::u16string& name, const std::u16string& value,
                       uint32_t type) {
  std::vector<uint8_t> data;
  AppendWide(data, value);
  SetRegistryValue(path, name, type, data);
}

void SetRegistryMultiString(const std::u16string& path, const std::u16string& name,
                            const std::vector<std::u16string>& values) {
  std::vector<uint8_t> data;
  for (auto& v : values) AppendWide(data, v);
  data.push_back(0);
  data.push_back(0);
  SetRegistryValue(path, name, REG_MULTI_SZ, data);
}

void SetRegistryBinary(const std::u16string& path, const std::u16string& name, const std::vector<uint8_t>& data) {
  SetRegistryValue(path, name, REG_BINARY, data);
}

std::optional<RegistryValue> GetRegistryValue(const std::u16string& path, const std::u16string& name) {
  std::lock_guard<std::mutex> hold(TreeLock());
  auto key = Find(path);
  if (!key) return std::nullopt;
  Value* value = key->FindValue(name);
  if (!value) return std::nullopt;
  return RegistryValue{value->type, value->data};
}

void DeleteRegistryValue(const std::u16string& path, const std::u16string& name) {
  std::lock_guard<std::mutex> hold(TreeLock());
  auto key = Find(path);
  if (!key) return;
  for (auto it = key->values.begin(); it != key->values.end(); ++it) {
    if (EqualNoCase(it->name, name)) {
      key->values.erase(it);
      return;
    }
  }
}

std::vector<std::u16string> RegistryValueNames(const std::u16string& path) {
  std::lock_guard<std::mutex> hold(TreeLock());
  std::vector<std::u16string> names;
  if (auto key = Find(path))
    for (auto& v : key->values) names.push_back(v.name);
  return names;
}

std::vector<std::u16string> RegistrySubkeyNames(const std::u16string& path) {
  std::lock_guard<std::mutex> hold(TreeLock());
  std::vector<std::u16string> names;
  if (auto key = Find(path))
    for (auto& k : key->subkeys) names.push_back(k->name);
  return names;
}

void FailRegistryOperation(RegistryOperation op, NTSTATUS status, unsigned count) {
  std::lock_guard<std::mutex> hold(TreeLock());
  Faults()[op] = {status, count};
}

void ClearRegistryFaults() {
  std::lock_guard<std::mutex> hold(TreeLock());
  Faults().clear();
}

}  // namespace kvz::kernel
