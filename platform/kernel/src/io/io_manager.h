// The I/O manager's own records: live IRPs, device object extensions, driver objects.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "wdm.h"

namespace kvz::kernel::io {
// A device as the PnP manager knows it (held by its physical device object).
struct DeviceNodeData {
  std::u16string instanceId;
  std::vector<std::u16string> hardwareIds;
  std::vector<std::u16string> compatibleIds;
  std::u16string driverKeyName;
  std::u16string description;
};

}  // namespace kvz::kernel::io

// What the I/O manager keeps about a device object (DEVICE_OBJECT.DeviceObjectExtension).
struct _DEVOBJ_EXTENSION {
  PDEVICE_OBJECT device = nullptr;
  PDEVICE_OBJECT attachedTo = nullptr;  // the device this one sits on
  bool deleted = false;
  std::u16string name;
  DEVICE_POWER_STATE devicePower = PowerDeviceD0;
  SYSTEM_POWER_STATE systemPower = PowerSystemWorking;
  kvz::kernel::io::DeviceNodeData* node = nullptr;  // physical device objects of the PnP manager
};

namespace kvz::kernel::io {

// I/O work items of the driver's device objects that are queued or still running their routine.
int IoWorkItemsInFlight(PDRIVER_OBJECT driver);

void AttachDeviceNode(PDEVICE_OBJECT pdo, const DeviceNodeData& data);
const DeviceNodeData* NodeOf(PDEVICE_OBJECT pdo);
void DetachDeviceNode(PDEVICE_OBJECT pdo);

// What the I/O manager does when it finishes a threaded IRP, besides filling the status block,
// setting the event and freeing it.
struct ThreadedIrpExtras {
  PVOID systemBuffer = nullptr;  // freed at completion
  PVOID copyBackTo = nullptr;    // METHOD_BUFFERED output, copied when the IRP succeeded
  ULONG copyBackLength = 0;
  bool freeMdls = false;
  std::function<void()> beforeFree;
};
void MarkThreaded(PIRP irp, ThreadedIrpExtras extras);
void SetBeforeFree(PIRP irp, std::function<void()> beforeFree);

// Keeps a live IRP's memory while the caller may still cancel it (false: it is gone already);
// ReleaseIrp frees it when it finished meanwhile.
bool HoldIrp(PIRP irp);
void ReleaseIrp(PIRP irp);

// Builds a threaded IRP for the top of `device`'s stack with one major function; the caller fills
// the next stack location and sends it.
PIRP BuildThreadedIrp(PDEVICE_OBJECT target, UCHAR majorFunction, PKEVENT event, PIO_STATUS_BLOCK iosb);
// Sends an IRP built by BuildThreadedIrp and waits for it: the status it ended with.
NTSTATUS SendAndWait(PDEVICE_OBJECT target, PIRP irp, PKEVENT event, PIO_STATUS_BLOCK iosb);

// The dispatch routine that every unset major function of a driver object gets.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);

// Driver objects made by the PnP manager.
PDRIVER_OBJECT CreateDriverObject(const std::u16string& name);
void MarkDriverUnloaded(PDRIVER_OBJECT driver);
void FreeDriverObject(PDRIVER_OBJECT driver);

// Forget device interfaces of a removed physical device object.
void RemoveDeviceInterfaces(PDEVICE_OBJECT pdo);
// The physical device object behind an enabled interface's symbolic link (optionally followed by
// more name), and the file name a create on it carries ("\" reference string, then the rest).
PDEVICE_OBJECT DeviceOfInterface(const std::u16string& link, std::u16string* fileName);

}  // namespace kvz::kernel::io
