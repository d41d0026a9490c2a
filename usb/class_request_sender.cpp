#include "usb/class_request_sender.h"

#include <usb.h>

#include "primitives/driver_memory.h"
#include "primitives/kernel_delay.h"
#include "usb/usb_device.h"
#include "usb/usb_limits.h"
#include "usb/usbd_status.h"

namespace kvz {

namespace {

// A class OUT request waiting for a work item.
struct DeferredControlRequest {
  PIO_WORKITEM item;
  UCHAR request;
  USHORT value;
  USHORT index;
  PUCHAR data;
  PULONG length;
  ULONG directionIn;
  ClassRequestCallback callback;
  PVOID context;
  USHORT function;
  ClassRequestSender* sender;
};

// The URB sits behind the data area, which is rounded up so the URB stays aligned.
constexpr ULONG kUrbAlignment = 8;

ULONG AlignedDataSize(ULONG length) { return (length + kUrbAlignment - 1) & ~(kUrbAlignment - 1); }

bool IsVendorOrClassFunction(USHORT function) {
  return function >= kFirstVendorClassFunction && function <= kLastVendorClassFunction &&
         function != kNotRequestFunctionA && function != kNotRequestFunctionB;
}

VOID FillControlUrb(PURB urb, UCHAR request, USHORT function, USHORT value, USHORT index, PVOID data, ULONG length,
                    BOOLEAN in) {
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r = urb->UrbControlVendorClassRequest;
  r.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  r.Hdr.Function = function;
  r.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : 0;
  r.TransferBufferLength = length;
  r.TransferBuffer = length ? data : nullptr;
  r.Request = request;
  r.Value = value;
  r.Index = index;
}

}  // namespace

ClassRequestSender::ClassRequestSender(PKSDEVICE device, UsbDevice* owner)
    : device_(device), owner_(owner), deferredReferences_(1) {
  KeInitializeEvent(&deferredDone_, NotificationEvent, FALSE);
}

ClassRequestSender::~ClassRequestSender() {
  ReleaseDeferred();
  KeWaitForSingleObject(&deferredDone_, Executive, KernelMode, FALSE, nullptr);
}

VOID ClassRequestSender::ReleaseDeferred() {
  if (InterlockedDecrement(&deferredReferences_) == 0) KeSetEvent(&deferredDone_, IO_NO_INCREMENT, FALSE);
}

NTSTATUS ClassRequestSender::UvcClassGetRequest(UCHAR request, USHORT value, USHORT index, PVOID buffer,
                                                ULONG length) {
  return SendClassRequest(request, URB_FUNCTION_CLASS_INTERFACE, value, index, buffer, &length, TRUE, nullptr,
                          nullptr);
}

NTSTATUS ClassRequestSender::UvcClassSetRequest(UCHAR request, USHORT value, USHORT index, PVOID buffer,
                                                ULONG length) {
  return SendClassRequest(request, URB_FUNCTION_CLASS_INTERFACE, value, index, buffer, &length, FALSE, nullptr,
                          nullptr);
}

NTSTATUS ClassRequestSender::SendClassRequest(UCHAR request, USHORT function, USHORT value, USHORT index,
                                              PVOID buffer, PULONG length, BOOLEAN in,
                                              ClassRequestCallback callback, PVOID context) {
  if (!IsVendorOrClassFunction(function)) return STATUS_INVALID_PARAMETER;
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    const NTSTATUS status = SubmitControlUrb(request, function, value, index, buffer, length, in);
    if (callback) callback(device_, context, status);
    return status;
  }
  if (in) return STATUS_UNSUCCESSFUL;
  return DeferOutRequest(request, function, value, index, buffer, length ? *length : 0, callback, context);
}

NTSTATUS ClassRequestSender::DeferOutRequest(UCHAR request, USHORT function, USHORT value, USHORT index,
                                             PVOID buffer, ULONG length, ClassRequestCallback callback,
                                             PVOID context) {
  // An I/O work item: its device reference keeps the driver loaded until the routine has returned,
  // after the destructor's wait has already let the device go.
  PDEVICE_OBJECT fdo = device_ ? device_->FunctionalDeviceObject : nullptr;
  if (!fdo) return STATUS_INVALID_DEVICE_STATE;
  auto* record = static_cast<DeferredControlRequest*>(
      ExAllocatePoolWithTag(DriverPoolType, sizeof(DeferredControlRequest), kTagDeferredRequest));
  if (!record) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(record, sizeof(*record));
  record->item = IoAllocateWorkItem(fdo);
  // A zero-length request still gets a (one-byte) data block, so the record has one shape.
  record->data = static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverPoolType, length ? length : 1, kTagDeferredData));
  record->length = static_cast<PULONG>(ExAllocatePoolWithTag(DriverPoolType, sizeof(ULONG), kTagDeferredLength));
  if (!record->item || !record->data || !record->length) {
    if (record->item) IoFreeWorkItem(record->item);
    if (record->data) ExFreePoolWithTag(record->data, kTagDeferredData);
    if (record->length) ExFreePoolWithTag(record->length, kTagDeferredLength);
    ExFreePoolWithTag(record, kTagDeferredRequest);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (length && buffer) RtlCopyMemory(record->data, buffer, length);
  *record->length = length;
  record->request = request;
  record->value = value;
  record->index = index;
  record->callback = callback;
  record->context = context;
  record->function = function;
  record->sender = this;
  InterlockedIncrement(&deferredReferences_);
  IoQueueWorkItem(record->item, RunDeferredControlRequest, DelayedWorkQueue, record);
  return STATUS_PENDING;
}

VOID NTAPI ClassRequestSender::RunDeferredControlRequest(PDEVICE_OBJECT, PVOID parameter) {
  auto* record = static_cast<DeferredControlRequest*>(parameter);
  ClassRequestSender* sender = record->sender;
  const NTSTATUS status = sender->SubmitControlUrb(record->request, record->function, record->value, record->index,
                                                   record->data, record->length, FALSE);
  if (record->callback) record->callback(sender->device_, record->context, status);
  ExFreePoolWithTag(record->length, kTagDeferredLength);
  ExFreePoolWithTag(record->data, kTagDeferredData);
  IoFreeWorkItem(record->item);
  ExFreePoolWithTag(record, kTagDeferredRequest);
  sender->ReleaseDeferred();
}

// Retries while the bus reports a low-power state (22 submissions at most, 50 ms apart).
NTSTATUS ClassRequestSender::SubmitControlUrb(UCHAR request, USHORT function, USHORT value, USHORT index,
                                              PVOID buffer, PULONG length, BOOLEAN in) {
  const ULONG asked = length ? *length : 0;
  const ULONG dataSize = AlignedDataSize(asked);
  auto* block = static_cast<PUCHAR>(
      ExAllocatePoolWithTag(DriverPoolType, dataSize + sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                            kTagControlUrb));
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  PUCHAR data = block;
  auto urb = reinterpret_cast<PURB>(block + dataSize);
  RtlZeroMemory(data, dataSize);
  if (!in && asked && buffer) RtlCopyMemory(data, buffer, asked);

  NTSTATUS status = STATUS_UNSUCCESSFUL;
  for (ULONG submission = 1;; ++submission) {
    FillControlUrb(urb, request, function, value, index, data, asked, in);
    status = owner_->SubmitUrbSync(urb);
    // The camera's answer may fail in the request block while the IRP succeeds.
    if (NT_SUCCESS(status)) status = UsbdStatusToNtStatus(urb->UrbHeader.Status);
    if (status != STATUS_POWER_STATE_INVALID || submission >= kMaxPowerStateSubmissions) break;
    DelayMilliseconds(kPowerStateRetryDelay);
  }

  if (NT_SUCCESS(status) && length) {
    // The bus may report more than was asked for; never copy past the caller's buffer.
    ULONG transferred = urb->UrbControlVendorClassRequest.TransferBufferLength;
    if (transferred > asked) transferred = asked;
    *length = transferred;
    if (in && transferred && buffer) RtlCopyMemory(buffer, data, transferred);
  }
  ExFreePoolWithTag(block, kTagControlUrb);
  return status;
}

}  // namespace kvz
