// The class driver's entry points in the driver object: AddDevice, create, close and
// device-control dispatch (PnP and power are in pnp_power.cpp).
#include <cstring>
#include <map>
#include <mutex>

#include "ks_objects.h"

namespace kvz::ks {
namespace {

std::mutex g_driversLock;
std::map<PDRIVER_OBJECT, const KSDEVICE_DESCRIPTOR*>& Drivers() {
  static auto* drivers = new std::map<PDRIVER_OBJECT, const KSDEVICE_DESCRIPTOR*>();
  return *drivers;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  if (NT_ERROR(status)) irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

std::u16string StripSeparator(std::u16string name) {
  if (!name.empty() && name[0] == u'\\') name.erase(0, 1);
  return name;
}

void DestroyDevice(Device* d) {
  KSDEVICE* pub = d->Public();
  d->bag.FreeAll();
  RetireShell(d);
  PDEVICE_OBJECT fdo = pub->FunctionalDeviceObject;
  if (pub->NextDeviceObject) IoDetachDevice(pub->NextDeviceObject);
  *static_cast<Device**>(fdo->DeviceExtension) = nullptr;
  delete d;
  IoDeleteDevice(fdo);
}

}  // namespace

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  const KSDEVICE_DESCRIPTOR* descriptor = nullptr;
  {
    std::lock_guard<std::mutex> hold(g_driversLock);
    auto it = Drivers().find(driver);
    if (it != Drivers().end()) descriptor = it->second;
  }
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Device*), nullptr, FILE_DEVICE_KS, FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;

  auto* d = new Device();
  AdoptShell(d, ObjectKind::Device);
  *static_cast<Device**>(fdo->DeviceExtension) = d;
  d->driver = driver;
  KeInitializeMutex(&d->mutex, 0);
  KeInitializeMutex(&d->listLock, 0);
  d->bag.SetGuard(&d->mutex, "KS device", kDeviceMutexName);

  KSDEVICE* pub = d->Public();
  pub->Descriptor = descriptor;
  pub->Bag = d->bag.Handle();
  pub->FunctionalDeviceObject = fdo;
  pub->PhysicalDeviceObject = pdo;
  pub->NextDeviceObject = IoAttachDeviceToDeviceStack(fdo, pdo);
  pub->Started = FALSE;
  pub->SystemPowerState = PowerSystemWorking;
  pub->DevicePowerState = PowerDeviceD0;
  if (pub->NextDeviceObject) fdo->StackSize = static_cast<CCHAR>(pub->NextDeviceObject->StackSize + 1);
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;

  if (descriptor && descriptor->Dispatch && descriptor->Dispatch->Add) {
    status = descriptor->Dispatch->Add(pub);
    if (!NT_SUCCESS(status)) {
      // The device goes away at once; what the minidriver put in the bag goes with it.
      DestroyDevice(d);
      return status;
    }
  }
  return STATUS_SUCCESS;
}

void FileClosed(Device* d) { --d->openFiles; }

// REMOVE_DEVICE comes after the client closed its files (after a surprise removal the PnP
// manager waits for that); whatever is still open is closed here, then the device goes.
void DeviceRemoved(Device* d) {
  d->deleted = true;
  for (;;) {
    KeWaitForSingleObject(&d->listLock, Executive, KernelMode, FALSE, nullptr);
    Filter* f = d->filters.empty() ? nullptr : d->filters.back();
    KeReleaseMutex(&d->listLock, FALSE);
    if (!f) break;
    PFILE_OBJECT file = f->file;
    CloseFilter(f, nullptr);
    file->FsContext = nullptr;
    --d->openFiles;
  }
  DestroyDevice(d);
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp) {
  Device* d = DeviceOfDeviceObject(deviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PFILE_OBJECT file = stack->FileObject;
  if (!d || !file) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  if (d->removed || d->deleted) return Complete(irp, STATUS_DEVICE_REMOVED);

  NTSTATUS status;
  if (file->RelatedFileObject) {
    ShellHeader* parent = HeaderFromContext(file->RelatedFileObject->FsContext);
    if (!parent || parent->kind != ObjectKind::Filter) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    // "{pin type GUID}\" followed by the binary KSPIN_CONNECT and data format.
    const auto* name = reinterpret_cast<const uint8_t*>(file->FileName.Buffer);
    size_t length = file->FileName.Length;
    std::u16string pinType(KSSTRING_Pin);
    size_t prefix = 0;
    if (length >= 2 && name[0] == '\\' && name[1] == 0) prefix = 2;
    size_t typeBytes = pinType.size() * sizeof(char16_t);
    if (length < prefix + typeBytes + 2) return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
    std::u16string type(pinType.size(), u'\0');
    memcpy(&type[0], name + prefix, typeBytes);
    char16_t separator;
    memcpy(&separator, name + prefix + typeBytes, sizeof(separator));
    if (!EqualNoCase(type, pinType) || separator != u'\\') return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
    size_t offset = prefix + typeBytes + 2;
    auto* filter = static_cast<Filter*>(parent->record);
    KsFilterAcquireControl(filter->Public());
    status = CreatePin(filter, irp, name + offset, length - offset);
    KsFilterReleaseControl(filter->Public());
  } else {
    std::u16string reference = StripSeparator(ToU16(file->FileName));
    FilterFactory* factory = nullptr;
    for (FilterFactory* f : d->factories) {
      if (EqualNoCase(f->referenceString, reference)) factory = f;
    }
    if (!factory) return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
    status = CreateFilter(d, factory, irp);
  }
  if (NT_SUCCESS(status)) ++d->openFiles;
  irp->IoStatus.Information = 0;
  return Complete(irp, status);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp) {
  Device* d = DeviceOfDeviceObject(deviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ShellHeader* h = stack->FileObject ? HeaderFromContext(stack->FileObject->FsContext) : nullptr;
  if (!d || !h) return Complete(irp, STATUS_SUCCESS);
  if (h->kind == ObjectKind::Filter)
    CloseFilter(static_cast<Filter*>(h->record), irp);
  else if (h->kind == ObjectKind::Pin) {
    auto* pin = static_cast<Pin*>(h->record);
    KSFILTER* filter = pin->filter->Public();
    KsFilterAcquireControl(filter);
    ClosePin(pin, irp);
    KsFilterReleaseControl(filter);
  }
  stack->FileObject->FsContext = nullptr;
  irp->IoStatus.Information = 0;
  Complete(irp, STATUS_SUCCESS);
  FileClosed(d);
  return STATUS_SUCCESS;
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
  Device* d = DeviceOfDeviceObject(deviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ShellHeader* h = stack->FileObject ? HeaderFromContext(stack->FileObject->FsContext) : nullptr;
  if (!d || !h || (h->kind != ObjectKind::Filter && h->kind != ObjectKind::Pin))
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  Pin* pin = h->kind == ObjectKind::Pin ? static_cast<Pin*>(h->record) : nullptr;
  Filter* filter = pin ? pin->filter : static_cast<Filter*>(h->record);

  NTSTATUS status;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KS_READ_STREAM:
      if (!pin) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
      if (d->removed) return Complete(irp, STATUS_DEVICE_REMOVED);
      status = QueueReadStream(pin, irp);
      if (status == STATUS_PENDING) return status;
      return Complete(irp, status);
    case IOCTL_KS_PROPERTY:
      KsFilterAcquireControl(filter->Public());
      status = HandleProperty(irp, filter, pin);
      KsFilterReleaseControl(filter->Public());
      return Complete(irp, status);
    case IOCTL_KS_ENABLE_EVENT:
      status = HandleEnableEvent(irp, filter, pin);
      return Complete(irp, status);
    case IOCTL_KS_DISABLE_EVENT:
      status = HandleDisableEvent(irp, filter, pin);
      return Complete(irp, status);
    case IOCTL_KS_RESET_STATE:
      if (!pin) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
      KsFilterAcquireControl(filter->Public());
      status = ResetPin(pin, irp);
      KsFilterReleaseControl(filter->Public());
      return Complete(irp, status);
    case IOCTL_KS_METHOD:
      return Complete(irp, STATUS_PROPSET_NOT_FOUND);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

}  // namespace kvz::ks

using namespace kvz::ks;

extern "C" NTSTATUS NTAPI KsInitializeDriver(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath,
                                             const KSDEVICE_DESCRIPTOR* descriptor) {
  UNREFERENCED_PARAMETER(registryPath);
  if (!driver) return STATUS_INVALID_PARAMETER;
  {
    std::lock_guard<std::mutex> hold(g_driversLock);
    Drivers()[driver] = descriptor;
  }
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  if (driver->DriverExtension) driver->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}
