#include "driver/device/driver_entry.h"

#include <ks.h>

#include "common/system_version.h"
#include "driver/device/camera_device.h"
#include "primitives/driver_memory.h"

namespace kvz {

namespace {

// The class driver's handlers, saved once at driver entry.
PDRIVER_DISPATCH g_classCreate = nullptr;
PDRIVER_DISPATCH g_classClose = nullptr;
PDRIVER_DISPATCH g_classDeviceControl = nullptr;

constexpr USHORT kPrivateNameBytes = 10;  // "\ZEMT"

// A request of the private channel: a file opened under "\ZEMT" (letter case aside).
bool IsPrivateChannel(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (!stack || !stack->FileObject) return false;
  PUNICODE_STRING name = &stack->FileObject->FileName;
  if (name->Length != kPrivateNameBytes || !name->Buffer) return false;
  WCHAR text[] = u"\\ZEMT";
  UNICODE_STRING channel;
  channel.Buffer = text;
  channel.Length = kPrivateNameBytes;
  channel.MaximumLength = sizeof(text);
  return RtlCompareUnicodeString(name, &channel, TRUE) == 0;
}

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// The private test request; the first check that fails decides.
NTSTATUS RunPrivateRequest(CameraDevice* camera, PIRP irp, ULONG_PTR* information) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  *information = 0;
  if (!camera->HasPrivateUnit()) return STATUS_NOT_SUPPORTED;
  if (stack->Parameters.DeviceIoControl.IoControlCode != kIoctlPrivateTest) return STATUS_NOT_SUPPORTED;
  if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  PULONG result = static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
  if (!result) return STATUS_INVALID_USER_BUFFER;
  if (camera->IsSystemSuspended()) return STATUS_POWER_STATE_INVALID;
  // Busy, or the device is being released (its test reader may already be gone).
  NTSTATUS status = camera->MarkTestBusy();
  if (!NT_SUCCESS(status)) return status;
  status = camera->RunTestStream(result);
  camera->ClearTestBusy();
  *information = sizeof(ULONG);
  return status;
}

}  // namespace

NTSTATUS NTAPI CreateHook(PDEVICE_OBJECT device, PIRP irp) {
  if (IsPrivateChannel(irp)) return CompleteRequest(irp, STATUS_SUCCESS, 0);
  return g_classCreate(device, irp);
}

NTSTATUS NTAPI CloseHook(PDEVICE_OBJECT device, PIRP irp) {
  if (IsPrivateChannel(irp)) return CompleteRequest(irp, STATUS_SUCCESS, 0);
  return g_classClose(device, irp);
}

NTSTATUS NTAPI DeviceControlHook(PDEVICE_OBJECT device, PIRP irp) {
  if (!IsPrivateChannel(irp)) return g_classDeviceControl(device, irp);
  CameraDevice* camera = CameraOf(KsGetDeviceForDeviceObject(device));
  if (!camera) return CompleteRequest(irp, STATUS_NO_SUCH_DEVICE, 0);
  ULONG_PTR information = 0;
  const NTSTATUS status = RunPrivateRequest(camera, irp, &information);
  return CompleteRequest(irp, status, information);
}

NTSTATUS NTAPI CleanupDispatch(PDEVICE_OBJECT, PIRP irp) { return CompleteRequest(irp, STATUS_SUCCESS, 0); }

// A shutdown request has no file, so the device is found through the device object itself.
NTSTATUS NTAPI ShutdownDispatch(PDEVICE_OBJECT device, PIRP irp) {
  CameraDevice* camera = CameraOf(KsGetDeviceForDeviceObject(device));
  const NTSTATUS status = camera ? camera->Shutdown() : STATUS_UNSUCCESSFUL;
  if (KeGetCurrentIrql() == PASSIVE_LEVEL) IoUnregisterShutdownNotification(device);
  return CompleteRequest(irp, status, 0);
}

NTSTATUS NTAPI InitializeDriver(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  if (driver) {
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControlHook;
    driver->MajorFunction[IRP_MJ_SHUTDOWN] = ShutdownDispatch;
    driver->MajorFunction[IRP_MJ_CLEANUP] = CleanupDispatch;
    driver->MajorFunction[IRP_MJ_CREATE] = CreateHook;
    driver->MajorFunction[IRP_MJ_CLOSE] = CloseHook;
  }
  DriverPoolType = IsWindows8OrLater() ? NonPagedPoolNx : NonPagedPool;
  const NTSTATUS status = KsInitializeDriver(driver, registryPath, &CameraDeviceDescriptor);
  if (driver) {
    g_classDeviceControl = driver->MajorFunction[IRP_MJ_DEVICE_CONTROL];
    g_classClose = driver->MajorFunction[IRP_MJ_CLOSE];
    g_classCreate = driver->MajorFunction[IRP_MJ_CREATE];
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControlHook;
    driver->MajorFunction[IRP_MJ_CREATE] = CreateHook;
    driver->MajorFunction[IRP_MJ_CLOSE] = CloseHook;
  }
  return status;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  return InitializeDriver(driver, registryPath);
}

}  // namespace kvz
