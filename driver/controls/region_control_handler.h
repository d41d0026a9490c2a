// The driver's region-of-interest set: a client's rectangle steers the camera's face-exposure
// window, and each set raises an event to the filter's clients from a work item.
#pragma once
#include <wdm.h>
#include <ks.h>

#include "driver/controls/camera_device_controls.h"
#include "driver/controls/control_handler.h"

namespace kvz {

class UsbDevice;

// {6C8E1A53-3D0F-4F61-9B27-5A0C4E7D9310}
KVZ_KS_GUID(PROPSETID_KVZ_REGION, 0x6C8E1A53, 0x3D0F, 0x4F61, 0x9B, 0x27, 0x5A, 0x0C, 0x4E, 0x7D, 0x93, 0x10);
// {6C8E1A54-3D0F-4F61-9B27-5A0C4E7D9310}
KVZ_KS_GUID(EVENTSETID_KVZ_REGION, 0x6C8E1A54, 0x3D0F, 0x4F61, 0x9B, 0x27, 0x5A, 0x0C, 0x4E, 0x7D, 0x93, 0x10);

constexpr ULONG kRegionDataSize = 32;
constexpr ULONG kRegionDataTag = 0x80000603;

class RegionControlHandler final : public ControlHandler {
 public:
  // camera: the device whose face exposure the rectangle steers; its USB device queues the
  // event work items.
  explicit RegionControlHandler(CameraDeviceControls* camera);
  // Drains a pending event work item first.
  ~RegionControlHandler();

  NTSTATUS BuildPropertySet() override;
  NTSTATUS InitEventItems();
  NTSTATUS Get(PKSPROPERTY property, PVOID data, ULONG dataLength) override;
  NTSTATUS Set(PKSPROPERTY property, PVOID data, ULONG dataLength) override;

  // The filter that the last set came through (the event's target).
  VOID SetEventFilter(PKSFILTER filter);
  // A filter closes: it is no longer an event target, and an event work item that is pending
  // finishes before this returns.
  VOID OnFilterClose(PKSFILTER filter);

 private:
  static VOID NTAPI RegionEventWorkItem(PDEVICE_OBJECT device, PVOID context);
  VOID RaiseEvent();
  VOID DrainWorkItem();
  VOID AcquireLock();
  VOID ReleaseLock();

  CameraDeviceControls* camera_;
  UsbDevice* device_;
  KSPROPERTY_ITEM items_[1];
  KSEVENT_ITEM events_[1];
  // Guards everything below and the event raised on the filter.
  KMUTEX lock_;
  PKSFILTER filter_ = nullptr;
  RegionRect rect_ = {};
  LONG eventBusy_ = 0;      // an event work item is pending
  LONG eventSuppress_ = 0;  // a newer set waits: the pending item stays silent
  KEVENT workItemIdle_;     // signalled while no work item is pending
  PIO_WORKITEM workItem_ = nullptr;  // the pending event's item
};

NTSTATUS NTAPI RegionControlGetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data);
NTSTATUS NTAPI RegionControlSetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data);

}  // namespace kvz
