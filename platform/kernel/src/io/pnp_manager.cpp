// The PnP manager's core: driver load and unload, device add, and the plug-and-play and power
// IRPs of a device; a plain bus for devices whose test brings no bus driver.
#include <mutex>

#include "io/io_manager.h"
#include "ke/irql_check.h"
#include "kvz/pnp_manager.h"
#include "kvz/registry_testing.h"
#include "rtl/utf16.h"

namespace kvz::kernel {
namespace {

constexpr int kUnloadWorkItemWaitMs = 60'000;

struct StandInPdo {
  DEVICE_CAPABILITIES capabilities;
};

NTSTATUS NTAPI StandInPnp(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES out = stack->Parameters.DeviceCapabilities.Capabilities;
      const DEVICE_CAPABILITIES& in = static_cast<StandInPdo*>(device->DeviceExtension)->capabilities;
      const USHORT size = out->Size;
      const USHORT version = out->Version;
      *out = in;
      out->Size = size;
      out->Version = version;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
      status = STATUS_SUCCESS;
      break;
    default:
      break;  // a bus driver leaves IRPs it does not handle as they are
  }
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI StandInPower(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
    if (stack->MinorFunction == IRP_MN_SET_POWER)
      PoSetPowerState(device, stack->Parameters.Power.Type, stack->Parameters.Power.State);
    status = STATUS_SUCCESS;
  }
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

PDRIVER_OBJECT StandInBus() {
  static PDRIVER_OBJECT bus = [] {
    PDRIVER_OBJECT driver = io::CreateDriverObject(u"\\Driver\\KvzPnpBus");
    driver->MajorFunction[IRP_MJ_PNP] = StandInPnp;
    driver->MajorFunction[IRP_MJ_POWER] = StandInPower;
    return driver;
  }();
  return bus;
}

// Sends one request of the given major and minor function to the top of the pdo's stack and
// waits for it; setup fills in the request's own parameters.
NTSTATUS SendToStack(PDEVICE_OBJECT pdo, const char* caller, UCHAR major, UCHAR minor,
                     const std::function<void(PIO_STACK_LOCATION)>& setup, ULONG_PTR* information) {
  RequirePassive(caller);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = io::BuildThreadedIrp(top, major, &event, &iosb);
  if (!irp) {
    ObfDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MinorFunction = minor;
  if (setup) setup(next);
  NTSTATUS status = io::SendAndWait(top, irp, &event, &iosb);
  if (information) *information = NT_ERROR(status) ? 0 : iosb.Information;
  ObfDereferenceObject(top);
  return status;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

NTSTATUS LoadedDriver::Load(PDRIVER_INITIALIZE entry, const std::u16string& serviceName,
                            std::unique_ptr<LoadedDriver>* driver) {
  RequirePassive("LoadedDriver::Load");
  std::unique_ptr<LoadedDriver> loaded(new LoadedDriver);
  loaded->driver_ = io::CreateDriverObject(u"\\Driver\\" + serviceName);
  std::u16string keyPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + serviceName;
  CreateRegistryKey(keyPath);
  UNICODE_STRING registryPath;
  registryPath.Buffer = keyPath.data();
  registryPath.Length = static_cast<USHORT>(keyPath.size() * sizeof(char16_t));
  registryPath.MaximumLength = registryPath.Length;
  PDRIVER_OBJECT object = loaded->driver_;
  object->DriverInit = entry;
  NTSTATUS status = entry(object, &registryPath);
  if (!NT_SUCCESS(status)) {
    io::MarkDriverUnloaded(object);
    io::FreeDriverObject(object);
    loaded->driver_ = nullptr;
    return status;
  }
  loaded->loaded_ = true;
  *driver = std::move(loaded);
  return status;
}

LoadedDriver::~LoadedDriver() {
  if (loaded_) Unload();
}

void LoadedDriver::Unload() {
  RequirePassive("LoadedDriver::Unload");
  if (!loaded_) return;
  // A device object referenced by an I/O work item keeps its driver's image loaded until the
  // routine has returned; a routine that never returns is left to the unload check.
  LARGE_INTEGER tick;
  tick.QuadPart = -10'000;  // 1 ms, relative
  for (int waited = 0; io::IoWorkItemsInFlight(driver_) > 0 && waited < kUnloadWorkItemWaitMs; ++waited)
    KeDelayExecutionThread(KernelMode, FALSE, &tick);
  if (driver_->DriverUnload) driver_->DriverUnload(driver_);
  io::MarkDriverUnloaded(driver_);
  io::FreeDriverObject(driver_);
  loaded_ = false;
}

DEVICE_CAPABILITIES DeviceDescription::DefaultCapabilities() {
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof(DEVICE_CAPABILITIES);
  caps.Version = 1;
  caps.Removable = 1;
  caps.UniqueID = 0;
  caps.Address = 0xFFFFFFFF;
  caps.UINumber = 0xFFFFFFFF;
  caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps.DeviceState[s] = PowerDeviceD3;
  caps.SystemWake = PowerSystemUnspecified;
  caps.DeviceWake = PowerDeviceUnspecified;
  return caps;
}

// The device's driver key under the image class: the one its instance was given when it was first
// installed (the "Driver" value of its Enum key, kept in the registry), else the first free
// instance number, as the PnP manager gives each new device its own.
static std::u16string AssignDriverKey(const std::u16string& instanceId) {
  const std::u16string classes = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\";
  const std::u16string enumKey = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\" + instanceId;
  if (const auto known = GetRegistryValue(enumKey, u"Driver"); known && known->type == REG_SZ && !known->String().empty())
    return known->String();
  std::u16string key;
  for (unsigned n = 0; n <= 9999; ++n) {
    std::u16string number(4, u'0');
    for (unsigned i = 4, v = n; i-- > 0; v /= 10) number[i] = static_cast<char16_t>(u'0' + v % 10);
    key = u"{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\" + number;
    if (!RegistryKeyExists(classes + key)) break;
  }
  CreateRegistryKey(enumKey);
  SetRegistryString(enumKey, u"Driver", key);
  return key;
}

NTSTATUS PnpDevice::Add(LoadedDriver& driver, const DeviceDescription& given, PDEVICE_OBJECT pdo,
                        std::unique_ptr<PnpDevice>* device) {
  DeviceDescription description = given;
  if (description.driverKeyName.empty()) description.driverKeyName = AssignDriverKey(description.instanceId);
  RequirePassive("PnpDevice::Add");
  std::unique_ptr<PnpDevice> added(new PnpDevice);
  added->removed_ = true;  // until AddDevice has put a device on the PDO, there is nothing to remove
  if (!pdo) {
    NTSTATUS status = IoCreateDevice(StandInBus(), sizeof(StandInPdo), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) return status;
    static_cast<StandInPdo*>(pdo->DeviceExtension)->capabilities = description.capabilities;
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    added->ownPdo_ = true;
  }
  added->pdo_ = pdo;
  added->driverKeyName_ = description.driverKeyName;
  ObfReferenceObject(pdo);
  io::AttachDeviceNode(pdo, {description.instanceId, description.hardwareIds, description.compatibleIds,
                             description.driverKeyName, description.description});
  CreateRegistryKey(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + description.driverKeyName);

  PDRIVER_ADD_DEVICE addDevice = driver.Object()->DriverExtension->AddDevice;
  if (!addDevice) return STATUS_INVALID_DEVICE_REQUEST;  // the destructor releases the PDO
  NTSTATUS status = addDevice(driver.Object(), pdo);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
  if (top == pdo) return STATUS_INVALID_DEVICE_REQUEST;
  if (top->Flags & DO_DEVICE_INITIALIZING)
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "AddDevice left DO_DEVICE_INITIALIZING set on device object %p", static_cast<void*>(top));
  added->removed_ = false;
  *device = std::move(added);
  return status;
}

PnpDevice::~PnpDevice() {
  if (!removed_ && pdo_) Remove();
  if (pdo_) {
    if (ownPdo_ && !pdo_->DeviceObjectExtension->deleted) IoDeleteDevice(pdo_);
    else if (!ownPdo_) {
      io::RemoveDeviceInterfaces(pdo_);
      io::DetachDeviceNode(pdo_);
    }
    ObfDereferenceObject(pdo_);
  }
}

PDEVICE_OBJECT PnpDevice::Top() const { return IoGetAttachedDevice(pdo_); }

NTSTATUS PnpDevice::SendPnp(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup,
                            ULONG_PTR* information) {
  return SendToStack(pdo_, "PnpDevice::SendPnp", IRP_MJ_PNP, minor, setup, information);
}

NTSTATUS PnpDevice::SendPower(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
  POWER_ACTION action = PowerActionNone;
  if (type == SystemPowerState) {
    if (state.SystemState >= PowerSystemSleeping1 && state.SystemState <= PowerSystemSleeping3)
      action = PowerActionSleep;
    else if (state.SystemState == PowerSystemHibernate)
      action = PowerActionHibernate;
    else if (state.SystemState == PowerSystemShutdown)
      action = PowerActionShutdown;
  }
  return SendToStack(pdo_, "PnpDevice::SendPower", IRP_MJ_POWER, minor,
                     [&](PIO_STACK_LOCATION next) {
                       next->Parameters.Power.Type = type;
                       next->Parameters.Power.State = state;
                       next->Parameters.Power.ShutdownType = action;
                     },
                     nullptr);
}

NTSTATUS PnpDevice::Start() { return SendPnp(IRP_MN_START_DEVICE); }

NTSTATUS PnpDevice::QueryCapabilities(DEVICE_CAPABILITIES* capabilities) {
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof(DEVICE_CAPABILITIES);
  caps.Version = 1;
  caps.Address = 0xFFFFFFFF;
  caps.UINumber = 0xFFFFFFFF;
  NTSTATUS status = SendPnp(IRP_MN_QUERY_CAPABILITIES, [&caps](PIO_STACK_LOCATION stack) {
    stack->Parameters.DeviceCapabilities.Capabilities = &caps;
  });
  if (capabilities) *capabilities = caps;
  return status;
}

NTSTATUS PnpDevice::QueryStop() { return SendPnp(IRP_MN_QUERY_STOP_DEVICE); }
NTSTATUS PnpDevice::CancelStop() { return SendPnp(IRP_MN_CANCEL_STOP_DEVICE); }
NTSTATUS PnpDevice::Stop() { return SendPnp(IRP_MN_STOP_DEVICE); }
NTSTATUS PnpDevice::QueryRemove() { return SendPnp(IRP_MN_QUERY_REMOVE_DEVICE); }
NTSTATUS PnpDevice::CancelRemove() { return SendPnp(IRP_MN_CANCEL_REMOVE_DEVICE); }
NTSTATUS PnpDevice::SurpriseRemove() { return SendPnp(IRP_MN_SURPRISE_REMOVAL); }

NTSTATUS PnpDevice::Remove() {
  if (removed_) return STATUS_SUCCESS;
  NTSTATUS status = SendPnp(IRP_MN_REMOVE_DEVICE);
  removed_ = true;
  // The device is gone: its interfaces with it, and a PDO of ours.
  io::RemoveDeviceInterfaces(pdo_);
  if (ownPdo_ && !pdo_->DeviceObjectExtension->deleted) {
    if (pdo_->AttachedDevice)
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
               "IRP_MN_REMOVE_DEVICE left device object %p attached to the physical device object",
               static_cast<void*>(pdo_->AttachedDevice));
    IoDeleteDevice(pdo_);
  }
  return status;
}

NTSTATUS PnpDevice::SetDevicePower(DEVICE_POWER_STATE state) {
  POWER_STATE s;
  s.DeviceState = state;
  return SendPower(IRP_MN_SET_POWER, DevicePowerState, s);
}

NTSTATUS PnpDevice::SetSystemPower(SYSTEM_POWER_STATE state) {
  POWER_STATE s;
  s.SystemState = state;
  return SendPower(IRP_MN_SET_POWER, SystemPowerState, s);
}

PDRIVER_OBJECT CreateDriverObject(const std::u16string& name) { return io::CreateDriverObject(name); }

void NotifySystemStateLock(bool backInWorkingState) {
  static char16_t name[] = u"\\Callback\\PowerState";
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, name);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  PCALLBACK_OBJECT object = nullptr;
  if (!NT_SUCCESS(ExCreateCallback(&object, &attributes, FALSE, TRUE))) return;
  ExNotifyCallback(object, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(PO_CB_SYSTEM_STATE_LOCK)),
                   reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(backInWorkingState ? 1 : 0)));
  ObfDereferenceObject(object);
}

}  // namespace kvz::kernel
