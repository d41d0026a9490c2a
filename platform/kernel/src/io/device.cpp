// Driver and device objects: creation and deletion, device stacks, driver object extensions,
// and the unload report of device objects a driver left behind.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

#include "io/io_manager.h"
#include "ke/irql_check.h"
#include "kvz/kernel_testing.h"
#include "kvz/object_manager.h"
#include "rtl/utf16.h"

namespace kvz::kernel::io {
namespace {

constexpr size_t kExtensionAlignment = 16;

struct DeviceBody {
  DEVICE_OBJECT device;
  _DEVOBJ_EXTENSION extension;
};

void DestroyDevice(void* body) {
  auto* device = static_cast<PDEVICE_OBJECT>(body);
  device->DeviceObjectExtension->~_DEVOBJ_EXTENSION();
}
_OBJECT_TYPE g_deviceType{"Device", DestroyDevice};
POBJECT_TYPE g_deviceTypePointer = &g_deviceType;

struct DriverRecord {
  PDRIVER_OBJECT driver = nullptr;
  std::u16string name;
  bool unloaded = false;
  std::map<PVOID, void*> extensions;  // by client identification address
};

struct Registry {
  std::mutex lock;
  std::map<PDRIVER_OBJECT, DriverRecord*> drivers;
  std::set<PDEVICE_OBJECT> devices;  // created and not deleted
};

void ReportDevices(std::vector<std::string>& findings);

Registry& R() {
  static Registry* registry = [] {
    auto* r = new Registry;
    AddUnloadHook("device objects", ReportDevices);
    return r;
  }();
  return *registry;
}

// Device objects still there whose driver has been unloaded.
void ReportDevices(std::vector<std::string>& findings) {
  Registry& r = R();
  std::lock_guard<std::mutex> hold(r.lock);
  for (auto it = r.devices.begin(); it != r.devices.end();) {
    PDEVICE_OBJECT device = *it;
    auto driver = r.drivers.find(device->DriverObject);
    if (driver == r.drivers.end() || !driver->second->unloaded) {
      ++it;
      continue;
    }
    char line[200];
    std::snprintf(line, sizeof(line), "device object %p of driver %s not deleted", static_cast<void*>(device),
                  ToUtf8(driver->second->name).c_str());
    findings.emplace_back(line);
    it = r.devices.erase(it);
  }
}

}  // namespace

PDRIVER_OBJECT CreateDriverObject(const std::u16string& name) {
  auto* driver = new DRIVER_OBJECT{};
  auto* extension = new DRIVER_EXTENSION{};
  driver->Type = IO_TYPE_DRIVER;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = extension;
  extension->DriverObject = driver;
  for (auto& entry : driver->MajorFunction) entry = InvalidDeviceRequest;
  auto* record = new DriverRecord;
  record->driver = driver;
  record->name = name;
  driver->DriverName.Buffer = record->name.data();
  driver->DriverName.Length = static_cast<USHORT>(record->name.size() * sizeof(char16_t));
  driver->DriverName.MaximumLength = driver->DriverName.Length;
  Registry& r = R();
  std::lock_guard<std::mutex> hold(r.lock);
  r.drivers[driver] = record;
  return driver;
}

void MarkDriverUnloaded(PDRIVER_OBJECT driver) {
  Registry& r = R();
  std::lock_guard<std::mutex> hold(r.lock);
  auto it = r.drivers.find(driver);
  if (it != r.drivers.end()) it->second->unloaded = true;
}

void FreeDriverObject(PDRIVER_OBJECT driver) {
  Registry& r = R();
  std::lock_guard<std::mutex> hold(r.lock);
  auto it = r.drivers.find(driver);
  if (it == r.drivers.end()) return;
  for (auto& ext : it->second->extensions) std::free(ext.second);
  it->second->unloaded = true;
  // The record and the object stay, so that devices the driver left behind are still named in
  // the report.
  it->second->extensions.clear();
  delete driver->DriverExtension;
  driver->DriverExtension = nullptr;
}

}  // namespace kvz::kernel::io

using namespace kvz::kernel;
using namespace kvz::kernel::io;

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive, PDEVICE_OBJECT* DeviceObject) {
  RequirePassive("IoCreateDevice");
  if (!DriverObject || !DeviceObject) return STATUS_INVALID_PARAMETER;
  const size_t extensionOffset = ALIGN_UP_BY(sizeof(DeviceBody), kExtensionAlignment);
  void* memory = CreateObject(g_deviceTypePointer, extensionOffset + DeviceExtensionSize);
  auto* body = static_cast<DeviceBody*>(memory);
  PDEVICE_OBJECT device = &body->device;
  auto* extension = new (&body->extension) _DEVOBJ_EXTENSION;
  extension->device = device;
  extension->name = FromCounted(DeviceName);
  device->Type = IO_TYPE_DEVICE;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->ReferenceCount = 0;
  device->DriverObject = DriverObject;
  device->DeviceExtension = DeviceExtensionSize ? static_cast<UCHAR*>(memory) + extensionOffset : nullptr;
  device->DeviceType = DeviceType;
  device->Characteristics = DeviceCharacteristics;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  device->StackSize = 1;
  device->AlignmentRequirement = 0;
  device->DeviceObjectExtension = extension;
  InitializeListHead(&device->Queue.ListEntry);
  Registry& r = R();
  {
    std::lock_guard<std::mutex> hold(r.lock);
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    r.devices.insert(device);
  }
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  RequirePassive("IoDeleteDevice");
  _DEVOBJ_EXTENSION* extension = DeviceObject->DeviceObjectExtension;
  if (extension->deleted)
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IoDeleteDevice twice on device object %p",
             static_cast<void*>(DeviceObject));
  if (extension->attachedTo)
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "IoDeleteDevice on device object %p that is still attached to %p (IoDetachDevice first)",
             static_cast<void*>(DeviceObject), static_cast<void*>(extension->attachedTo));
  if (DeviceObject->Flags & DO_SHUTDOWN_REGISTERED) IoUnregisterShutdownNotification(DeviceObject);
  RemoveDeviceInterfaces(DeviceObject);
  Registry& r = R();
  {
    std::lock_guard<std::mutex> hold(r.lock);
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
      if (*link == DeviceObject) {
        *link = DeviceObject->NextDevice;
        break;
      }
    }
    r.devices.erase(DeviceObject);
    extension->deleted = true;
    if (DeviceObject->AttachedDevice)
      DeviceObject->AttachedDevice->DeviceObjectExtension->attachedTo = nullptr;
  }
  DetachDeviceNode(DeviceObject);
  DereferenceObject(DeviceObject);
}

extern "C" PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  Registry& r = R();
  std::lock_guard<std::mutex> hold(r.lock);
  PDEVICE_OBJECT top = DeviceObject;
  while (top->AttachedDevice) top = top->AttachedDevice;
  return top;
}

extern "C" PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
  ReferenceObject(top);
  return top;
}

extern "C" PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  RequirePassive("IoAttachDeviceToDeviceStack");
  Registry& r = R();
  std::lock_guard<std::mutex> hold(r.lock);
  if (TargetDevice->DeviceObjectExtension->deleted) return nullptr;
  PDEVICE_OBJECT top = TargetDevice;
  while (top->AttachedDevice) top = top->AttachedDevice;
  top->AttachedDevice = SourceDevice;
  SourceDevice->DeviceObjectExtension->attachedTo = top;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  return top;
}

extern "C" VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  RequirePassive("IoDetachDevice");
  Registry& r = R();
  std::lock_guard<std::mutex> hold(r.lock);
  PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
  if (!above)
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IoDetachDevice on device object %p with nothing attached",
             static_cast<void*>(TargetDevice));
  above->DeviceObjectExtension->attachedTo = nullptr;
  TargetDevice->AttachedDevice = nullptr;
}

extern "C" NTSTATUS NTAPI IoAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress,
                                                          ULONG DriverObjectExtensionSize, PVOID* DriverObjectExtension) {
  Registry& r = R();
  std::lock_guard<std::mutex> hold(r.lock);
  *DriverObjectExtension = nullptr;
  auto it = r.drivers.find(DriverObject);
  if (it == r.drivers.end()) return STATUS_INVALID_PARAMETER;
  if (it->second->extensions.count(ClientIdentificationAddress)) return STATUS_OBJECT_NAME_COLLISION;
  void* block = std::calloc(1, DriverObjectExtensionSize ? DriverObjectExtensionSize : 1);
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  it->second->extensions[ClientIdentificationAddress] = block;
  *DriverObjectExtension = block;
  return STATUS_SUCCESS;
}

extern "C" PVOID NTAPI IoGetDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress) {
  Registry& r = R();
  std::lock_guard<std::mutex> hold(r.lock);
  auto it = r.drivers.find(DriverObject);
  if (it == r.drivers.end()) return nullptr;
  auto ext = it->second->extensions.find(ClientIdentificationAddress);
  return ext == it->second->extensions.end() ? nullptr : ext->second;
}
