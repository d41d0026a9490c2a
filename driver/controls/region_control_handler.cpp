#include "driver/controls/region_control_handler.h"

#include "driver/controls/control_property_data.h"
#include "driver/settings/device_settings.h"
#include "primitives/driver_memory.h"
#include "primitives/kernel_delay.h"
#include "usb/usb_device.h"

namespace kvz {
namespace {

constexpr ULONG kBusyPoll = 100;  // ms
constexpr LONG kWideFrame = 1280;
constexpr LONGLONG kNarrowLimitWide = 150;
constexpr LONGLONG kNarrowLimit = 80;
constexpr ULONG kZeroFieldsOffset = 16;
constexpr ULONG kZeroFieldsSize = 12;
constexpr ULONG kTagOffset = 28;


// The region handler of the IRP's device, or an answer for the size and buffer checks.
NTSTATUS CheckRegionRequest(PIRP irp, PVOID data, RegionControlHandler** handler) {
  CameraDeviceControls* device = DeviceOf(KsGetFilterFromIrp(irp));
  *handler = device ? device->GetRegionControlHandler() : nullptr;
  if (!*handler) return STATUS_NOT_SUPPORTED;
  const ULONG length = PropertyDataLength(irp);
  if (length == 0) {
    irp->IoStatus.Information = kRegionDataSize;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (length < kRegionDataSize) return STATUS_BUFFER_TOO_SMALL;
  if (!data) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

}  // namespace

RegionControlHandler::RegionControlHandler(CameraDeviceControls* camera)
    : camera_(camera), device_(camera ? camera->GetUsbDevice() : nullptr) {
  RtlZeroMemory(items_, sizeof(items_));
  RtlZeroMemory(events_, sizeof(events_));
  KeInitializeMutex(&lock_, 0);
  KeInitializeEvent(&workItemIdle_, NotificationEvent, TRUE);
}

RegionControlHandler::~RegionControlHandler() {
  DrainWorkItem();
  FreePropertyItems(items_, &propertyItemCount_);
}

VOID RegionControlHandler::AcquireLock() { KeWaitForSingleObject(&lock_, Executive, KernelMode, FALSE, nullptr); }

VOID RegionControlHandler::ReleaseLock() { KeReleaseMutex(&lock_, FALSE); }

NTSTATUS RegionControlHandler::BuildPropertySet() {
  PAGED_CODE();
  StartPropertyItems(items_);
  if (NT_SUCCESS(BuildRangedPropertyItem(this, 0, nullptr, RegionControlGetHandler, RegionControlSetHandler, &items_[0],
                                         kValuesAsRead))) {
    items_[0].MinData = 0;
    propertyItemCount_ = 1;
  }
  return STATUS_SUCCESS;
}

NTSTATUS RegionControlHandler::InitEventItems() {
  events_[0].EventId = 0;
  events_[0].DataInput = sizeof(KSEVENTDATA);
  events_[0].ExtraEntryData = 0;
  eventItems_ = events_;
  eventItemCount_ = 1;
  return STATUS_SUCCESS;
}

VOID RegionControlHandler::SetEventFilter(PKSFILTER filter) {
  AcquireLock();
  filter_ = filter;
  ReleaseLock();
}

VOID RegionControlHandler::OnFilterClose(PKSFILTER filter) {
  PAGED_CODE();
  AcquireLock();
  if (filter_ == filter) filter_ = nullptr;
  ReleaseLock();
  DrainWorkItem();
}

// The lock round trip lets a work item that signalled the event leave the lock first.
VOID RegionControlHandler::DrainWorkItem() {
  KeWaitForSingleObject(&workItemIdle_, Executive, KernelMode, FALSE, nullptr);
  AcquireLock();
  ReleaseLock();
}

NTSTATUS RegionControlHandler::Get(PKSPROPERTY, PVOID data, ULONG dataLength) {
  PAGED_CODE();
  CameraDeviceControls* camera = camera_;
  if (!camera) return STATUS_SUCCESS;
  if (LoadSetting(camera->GetSettings()->regionWord) == 0) return STATUS_NOT_SUPPORTED;
  if (!data || dataLength < kRegionDataSize) return STATUS_BUFFER_TOO_SMALL;
  auto* bytes = static_cast<PUCHAR>(data);
  AcquireLock();
  RtlCopyMemory(bytes, &rect_, sizeof(rect_));
  ReleaseLock();
  RtlZeroMemory(bytes + kZeroFieldsOffset, kZeroFieldsSize);
  const ULONG tag = kRegionDataTag;
  RtlCopyMemory(bytes + kTagOffset, &tag, sizeof(tag));
  camera->ClearFaceWorkFlags(kFaceWorkDetect);
  return STATUS_SUCCESS;
}

NTSTATUS RegionControlHandler::Set(PKSPROPERTY, PVOID data, ULONG dataLength) {
  PAGED_CODE();
  CameraDeviceControls* camera = camera_;
  if (!camera) return STATUS_SUCCESS;
  if (LoadSetting(camera->GetSettings()->regionWord) == 0) return STATUS_NOT_SUPPORTED;
  if (!data || dataLength < kRegionDataSize) return STATUS_BUFFER_TOO_SMALL;

  // One event pending per device: a newer set silences the pending one and waits for it.
  RegionRect rect;
  RtlCopyMemory(&rect, data, sizeof(rect));
  for (;;) {
    AcquireLock();
    if (!eventBusy_) break;
    eventSuppress_ = 1;
    ReleaseLock();
    DelayMilliseconds(kBusyPoll);
  }
  eventBusy_ = 1;
  eventSuppress_ = 0;
  KeClearEvent(&workItemIdle_);
  rect_ = rect;
  ReleaseLock();

  LONG width = 0;
  LONG height = 0;
  camera->GetFrameSize(&width, &height);
  const LONGLONG sum = static_cast<LONGLONG>(rect.left) + rect.top + rect.right + rect.bottom;
  if (sum != 0) {
    DbgPrint("Res = %d, %d\n", width, height);
    const LONGLONG span = static_cast<LONGLONG>(rect.right) - rect.left;
    if (span <= (width == kWideFrame ? kNarrowLimitWide : kNarrowLimit)) rect = RegionRect{};
  }
  camera->SetFaceRectangle(rect, width, height);
  camera->SetFaceWorkFlags(kFaceWorkExposure);

  // An I/O work item: its device reference keeps the driver loaded until the routine has returned,
  // which an executive work item cannot promise once the event below lets the filter close.
  PIO_WORKITEM work = IoAllocateWorkItem(device_->KsDevice()->FunctionalDeviceObject);
  if (!work) {
    AcquireLock();
    eventBusy_ = 0;
    KeSetEvent(&workItemIdle_, IO_NO_INCREMENT, FALSE);
    ReleaseLock();
    return STATUS_SUCCESS;
  }
  workItem_ = work;
  IoQueueWorkItem(work, RegionEventWorkItem, DelayedWorkQueue, this);
  return STATUS_SUCCESS;
}

// Under the lock, so a closing filter is either still the target or already forgotten.
VOID RegionControlHandler::RaiseEvent() {
  CameraDeviceControls* camera = camera_;
  AcquireLock();
  const bool silent = eventSuppress_ != 0;
  eventSuppress_ = 0;
  if (!silent && camera && camera->GetIdleState() != 0 && filter_) {
    KsGenerateEvents(filter_, &EVENTSETID_KVZ_REGION, 0, 0, nullptr, nullptr, nullptr);
  }
  // Freed here, in its own routine, before the event lets a waiter queue the next one.
  IoFreeWorkItem(workItem_);
  workItem_ = nullptr;
  eventBusy_ = 0;
  KeSetEvent(&workItemIdle_, IO_NO_INCREMENT, FALSE);
  ReleaseLock();
}

VOID NTAPI RegionControlHandler::RegionEventWorkItem(PDEVICE_OBJECT, PVOID context) {
  PAGED_CODE();
  auto* handler = static_cast<RegionControlHandler*>(context);
  handler->RaiseEvent();
}

NTSTATUS NTAPI RegionControlGetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  RegionControlHandler* handler = nullptr;
  NTSTATUS status = CheckRegionRequest(irp, data, &handler);
  if (status == STATUS_SUCCESS) {
    irp->IoStatus.Information = kRegionDataSize;
    status = handler->Get(property, data, PropertyDataLength(irp));
  }
  irp->IoStatus.Status = status;
  return status;
}

NTSTATUS NTAPI RegionControlSetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  CameraDeviceControls* device = DeviceOf(KsGetFilterFromIrp(irp));
  RegionControlHandler* target = device ? device->GetRegionControlHandler() : nullptr;
  if (target) target->SetEventFilter(KsGetFilterFromIrp(irp));
  RegionControlHandler* handler = nullptr;
  NTSTATUS status = CheckRegionRequest(irp, data, &handler);
  if (status == STATUS_SUCCESS) {
    status = handler->Set(property, data, PropertyDataLength(irp));
    irp->IoStatus.Information = kRegionDataSize;
  }
  irp->IoStatus.Status = status;
  return status;
}

}  // namespace kvz
