// Device nodes of physical device objects, their device interfaces (registration, enabling,
// enumeration) and their properties (IoGetDeviceProperty).
#include <cstdio>
#include <mutex>
#include <vector>

#include "io/io_manager.h"
#include "ke/irql_check.h"
#include "kvz/io_testing.h"
#include "rtl/utf16.h"

namespace kvz::kernel::io {
namespace {

constexpr ULONG kLinkTag = 'knLI';

struct InterfaceRecord {
  PDEVICE_OBJECT pdo;
  GUID classGuid;
  std::u16string reference;
  std::u16string link;
  bool enabled = false;
};

std::mutex g_lock;
std::vector<InterfaceRecord>& Interfaces() {
  static auto* list = new std::vector<InterfaceRecord>;
  return *list;
}

std::u16string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return FromUtf8(text);
}

// The property data: wide string(s) with their terminators.
std::u16string PropertyText(const DeviceNodeData& node, DEVICE_REGISTRY_PROPERTY property, ULONG* type, bool* known) {
  *known = true;
  *type = REG_SZ;
  auto multi = [&](const std::vector<std::u16string>& list) {
    *type = REG_MULTI_SZ;
    std::u16string out;
    for (auto& s : list) out += s + u'\0';
    return out + u'\0';
  };
  switch (property) {
    case DevicePropertyDriverKeyName: return node.driverKeyName + u'\0';
    case DevicePropertyHardwareID: return multi(node.hardwareIds);
    case DevicePropertyCompatibleIDs: return multi(node.compatibleIds);
    case DevicePropertyDeviceDescription:
    case DevicePropertyFriendlyName: return node.description + u'\0';
    case DevicePropertyEnumeratorName: return node.instanceId.substr(0, node.instanceId.find(u'\\')) + u'\0';
    default: *known = false; return {};
  }
}

}  // namespace

void AttachDeviceNode(PDEVICE_OBJECT pdo, const DeviceNodeData& data) {
  std::lock_guard<std::mutex> hold(g_lock);
  _DEVOBJ_EXTENSION* extension = pdo->DeviceObjectExtension;
  delete extension->node;
  extension->node = new DeviceNodeData(data);
}

const DeviceNodeData* NodeOf(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> hold(g_lock);
  return pdo && pdo->DeviceObjectExtension ? pdo->DeviceObjectExtension->node : nullptr;
}

void DetachDeviceNode(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> hold(g_lock);
  delete pdo->DeviceObjectExtension->node;
  pdo->DeviceObjectExtension->node = nullptr;
}

void RemoveDeviceInterfaces(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> hold(g_lock);
  auto& list = Interfaces();
  for (auto it = list.begin(); it != list.end();) it = it->pdo == pdo ? list.erase(it) : it + 1;
}

std::vector<std::u16string> EnabledDeviceInterfaces(const GUID& interfaceClass) {
  std::lock_guard<std::mutex> hold(g_lock);
  std::vector<std::u16string> links;
  for (auto& record : Interfaces())
    if (record.enabled && record.classGuid == interfaceClass) links.push_back(record.link);
  return links;
}

PDEVICE_OBJECT DeviceOfInterface(const std::u16string& link, std::u16string* remainder) {
  std::lock_guard<std::mutex> hold(g_lock);
  // The link name itself or the link followed by a further name; without case.
  for (auto& record : Interfaces()) {
    if (!record.enabled || !StartsWithNoCase(link, record.link)) continue;
    std::u16string rest = link.substr(record.link.size());
    if (!rest.empty() && rest[0] != u'\\') continue;
    if (remainder) *remainder = record.reference.empty() ? rest : u"\\" + record.reference + rest;
    return record.pdo;
  }
  return nullptr;
}

}  // namespace kvz::kernel::io

namespace kvz::kernel {
std::vector<std::u16string> EnabledDeviceInterfaces(const GUID& interfaceClass) {
  return io::EnabledDeviceInterfaces(interfaceClass);
}
}  // namespace kvz::kernel

using namespace kvz::kernel;
using namespace kvz::kernel::io;

extern "C" NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                                    PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  RequirePassive("IoRegisterDeviceInterface");
  const DeviceNodeData* node = NodeOf(PhysicalDeviceObject);
  if (!node || !InterfaceClassGuid || !SymbolicLinkName) return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string reference = FromCounted(ReferenceString);
  if (reference.find(u'\\') != std::u16string::npos) return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string instance = node->instanceId;
  for (auto& c : instance)
    if (c == u'\\') c = u'#';
  std::u16string link = u"\\??\\" + instance + u"#" + GuidText(*InterfaceClassGuid);
  if (!reference.empty()) link += u"\\" + reference;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    bool known = false;
    for (auto& record : Interfaces())
      if (record.pdo == PhysicalDeviceObject && EqualNoCase(record.link, link)) known = true;
    if (!known) Interfaces().push_back({PhysicalDeviceObject, *InterfaceClassGuid, reference, link, false});
  }
  const size_t bytes = (link.size() + 1) * sizeof(char16_t);
  auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, bytes, kLinkTag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(buffer, link.c_str(), bytes);
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = static_cast<USHORT>(bytes - sizeof(char16_t));
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  RequirePassive("IoSetDeviceInterfaceState");
  std::u16string link = FromCounted(SymbolicLinkName);
  std::lock_guard<std::mutex> hold(g_lock);
  for (auto& record : Interfaces()) {
    if (!EqualNoCase(record.link, link)) continue;
    if (Enable && record.enabled) return STATUS_OBJECT_NAME_EXISTS;
    if (!Enable && !record.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    record.enabled = Enable != FALSE;
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

extern "C" NTSTATUS NTAPI IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                              ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
  RequirePassive("IoGetDeviceProperty");
  const DeviceNodeData* node = NodeOf(DeviceObject);
  if (!node) return STATUS_INVALID_DEVICE_REQUEST;
  if (!ResultLength) return STATUS_INVALID_PARAMETER;
  ULONG type = REG_NONE;
  bool known = false;
  std::u16string text;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    text = PropertyText(*node, DeviceProperty, &type, &known);
  }
  if (!known) return STATUS_INVALID_PARAMETER_2;
  const ULONG bytes = static_cast<ULONG>(text.size() * sizeof(char16_t));
  *ResultLength = bytes;
  if (BufferLength < bytes || !PropertyBuffer) return STATUS_BUFFER_TOO_SMALL;
  memcpy(PropertyBuffer, text.data(), bytes);
  return STATUS_SUCCESS;
}
