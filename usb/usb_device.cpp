#include "usb/usb_device.h"

#include <usbioctl.h>
#include <uvc.h>

#include "common/uvc_codes.h"
#include "primitives/driver_memory.h"
#include "primitives/pool_object.h"
#include "usb/class_request_sender.h"
#include "usb/usb_limits.h"

namespace kvz {

namespace {

NTSTATUS NTAPI SyncIoComplete(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

UsbDevice::UsbDevice(PKSDEVICE device)
    : device_(device), removed_(0), stillPinOpen_(0), sender_(nullptr), services_(this) {
  KeInitializeSemaphore(&ioSemaphore_, 1, 1);
  KeInitializeMutex(&registerLock_, 0);
  sender_ = PoolNew<ClassRequestSender>(kTagClassRequestSender, device, this);
}

UsbDevice::~UsbDevice() {
  PoolDelete(sender_, kTagClassRequestSender);
}

VOID UsbDevice::MarkRemoved() { InterlockedExchange(&removed_, 1); }

bool UsbDevice::IsRemoved() const {
  return InterlockedCompareExchange(const_cast<volatile LONG*>(&removed_), 0, 0) != 0;
}

VOID UsbDevice::SetStillPinOpen(LONG open) { InterlockedExchange(&stillPinOpen_, open); }

NTSTATUS UsbDevice::SubmitUrbSync(PURB urb) { return SendSync(IOCTL_INTERNAL_USB_SUBMIT_URB, urb); }

NTSTATUS UsbDevice::CyclePort() { return SendSync(IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr); }

// One synchronous internal request under the I/O semaphore. After the time-out the IRP is
// cancelled and its completion awaited; the caller learns of the time-out, not of the cancel
// status the I/O manager writes back when the IRP is finished.
NTSTATUS UsbDevice::SendSync(ULONG ioctl, PURB urb) {
  PAGED_CODE();
  if (IsRemoved()) return STATUS_NO_SUCH_DEVICE;

  KeWaitForSingleObject(&ioSemaphore_, Executive, KernelMode, FALSE, nullptr);

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus = {};
  bool timedOut = false;
  PDEVICE_OBJECT lower = device_->NextDeviceObject;
  PIRP irp = IoBuildDeviceIoControlRequest(ioctl, lower, nullptr, 0, nullptr, 0, TRUE, &event, &ioStatus);
  if (!irp) {
    ioStatus.Status = STATUS_UNSUCCESSFUL;
  } else {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, SyncIoComplete, &event, TRUE, TRUE, TRUE);
    const NTSTATUS called = IofCallDriver(lower, irp);
    if (called == STATUS_PENDING) {
      LARGE_INTEGER timeout;
      timeout.QuadPart = kSyncRequestTimeout;
      if (KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        timedOut = true;
        IoCancelIrp(irp);
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
      }
    } else {
      ioStatus.Status = called;
    }
    // Finishing the IRP copies its final status into ioStatus and signals the event again.
    KeClearEvent(&event);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    if (!NT_ERROR(called)) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    if (timedOut) ioStatus.Status = STATUS_IO_TIMEOUT;
  }

  KeReleaseSemaphore(&ioSemaphore_, kIoSemaphoreReleaseIncrement, 1, FALSE);
  return ioStatus.Status;
}

NTSTATUS UsbDevice::GetClassRequest(UCHAR request, USHORT value, USHORT index, PVOID buffer, ULONG length) {
  if (!sender_) return STATUS_INSUFFICIENT_RESOURCES;
  return sender_->UvcClassGetRequest(request, value, index, buffer, length);
}

NTSTATUS UsbDevice::SetClassRequest(UCHAR request, USHORT value, USHORT index, PVOID buffer, ULONG length) {
  if (!sender_) return STATUS_INSUFFICIENT_RESOURCES;
  return sender_->UvcClassSetRequest(request, value, index, buffer, length);
}

// Runs in the interrupt reader's completion (up to DISPATCH_LEVEL): a still-button press while a
// still pin is open triggers a still image, deferred to a work item at DISPATCH_LEVEL.
// Packets shorter than a streaming status packet are ignored.
NTSTATUS UsbDevice::OnStatusInterrupt(const UCHAR* packet, ULONG length) {
  if (!packet || length < kStatusPacketMinimum) return STATUS_SUCCESS;
  if (InterlockedCompareExchange(&stillPinOpen_, 0, 0) == 0) return STATUS_SUCCESS;
  const auto* status = reinterpret_cast<const UVC_VS_STATUS_PACKET*>(packet);
  if ((status->bStatusType & 0x0F) != 2 || status->bEvent != 0 || status->bValue != 1) return STATUS_SUCCESS;
  UCHAR transmit = kStillTriggerTransmit;
  return SetClassRequest(kRequestSetCur, kStillTriggerValue, StreamingIndex(), &transmit, sizeof(transmit));
}

CCHAR UsbDevice::GetLowerStackSize() const { return device_->NextDeviceObject->StackSize; }

PIO_WORKITEM UsbDevice::AllocateWorkItem() { return IoAllocateWorkItem(device_->NextDeviceObject); }

NTSTATUS UsbDevice::IoCallMyDriver(PIRP irp) { return IofCallDriver(device_->NextDeviceObject, irp); }

NTSTATUS UsbDevice::RequestPowerIrp(UCHAR minorFunction, POWER_STATE state, PREQUEST_POWER_COMPLETE completion,
                                    PVOID context) {
  return PoRequestPowerIrp(device_->NextDeviceObject, minorFunction, state, completion, context, nullptr);
}

NTSTATUS UsbCameraServices::GetClassRequest(UCHAR request, USHORT value, USHORT index, PVOID buffer, USHORT length) {
  return device_->GetClassRequest(request, value, index, buffer, length);
}

NTSTATUS UsbCameraServices::SetClassRequest(UCHAR request, USHORT value, USHORT index, PVOID buffer, USHORT length) {
  return device_->SetClassRequest(request, value, index, buffer, length);
}

USHORT UsbCameraServices::VendorUnitIndex() const { return device_->VendorUnitIndex(); }

USHORT UsbCameraServices::ProcessingUnitIndex() const { return device_->ProcessingUnitIndex(); }

VOID UsbCameraServices::AcquireRegisterAccess() { device_->AcquireRegisterAccess(); }

VOID UsbCameraServices::ReleaseRegisterAccess() { device_->ReleaseRegisterAccess(); }

VOID UsbDevice::AcquireRegisterAccess() {
  PAGED_CODE();
  KeWaitForSingleObject(&registerLock_, Executive, KernelMode, FALSE, nullptr);
}

VOID UsbDevice::ReleaseRegisterAccess() { KeReleaseMutex(&registerLock_, FALSE); }

}  // namespace kvz
