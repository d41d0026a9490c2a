#include "driver/pins/video_control_set.h"

#include <ksmedia.h>

#include "driver/pins/capture_filter.h"
#include "driver/controls/camera_device_controls.h"
#include "driver/controls/control_property_data.h"
#include "driver/pins/pin_constants.h"
#include "driver/pins/pin_device.h"
#include "primitives/kernel_delay.h"
#include "usb/usb_device.h"

namespace kvz {

namespace {

const KSPROPERTY_ITEM kVideoControlItems[] = {
    {KSPROPERTY_VIDEOCONTROL_CAPS, {VideoControlGetHandler}, sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S),
     sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S), {nullptr}, nullptr, 0, nullptr, nullptr, 0},
    {KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, {VideoControlGetHandler},
     sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S), sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S),
     {nullptr}, nullptr, 0, nullptr, nullptr, 0},
    {KSPROPERTY_VIDEOCONTROL_FRAME_RATES, {VideoControlGetHandler}, sizeof(KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S), 0,
     {nullptr}, nullptr, 0, nullptr, nullptr, 0},
    {KSPROPERTY_VIDEOCONTROL_MODE, {VideoControlGetHandler}, sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S),
     sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S), {VideoControlSetHandler}, nullptr, 0, nullptr, nullptr, 0},
};

// The stream type of the filter's pin factory index, by its category; 0 for none.
ULONG PinKindOf(PIRP irp, ULONG index) {
  PKSFILTER filter = KsGetFilterFromIrp(irp);
  const KSFILTER_DESCRIPTOR* descriptor = filter ? filter->Descriptor : nullptr;
  if (!descriptor || index >= descriptor->PinDescriptorsCount) return 0;
  const ULONG stride = descriptor->PinDescriptorSize ? descriptor->PinDescriptorSize : sizeof(KSPIN_DESCRIPTOR_EX);
  const auto* pin = reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(
      reinterpret_cast<const UCHAR*>(descriptor->PinDescriptors) + static_cast<SIZE_T>(index) * stride);
  const GUID* category = pin->PinDescriptor.Category;
  if (!category) return 0;
  if (IsEqualGUID(*category, PINNAME_VIDEO_STILL)) return kStreamStill;
  if (IsEqualGUID(*category, PINNAME_VIDEO_CAPTURE)) return kStreamCapture;
  return 0;
}

NTSTATUS ActualFrameRate(PIRP irp, PKSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S answer) {
  if (PinKindOf(irp, answer->StreamIndex) == kStreamStill) return STATUS_NOT_SUPPORTED;
  PKSFILTER filter = KsGetFilterFromIrp(irp);
  auto* capture = filter ? static_cast<CaptureFilter*>(filter->Context) : nullptr;
  if (!capture) return STATUS_INVALID_PARAMETER;
  CameraDeviceControls* camera = DeviceOf(KsGetFilterFromIrp(irp));
  PinDevice* device = camera ? camera->GetPinDevice() : nullptr;
  FrameEntry entry = {};
  if (!device || !device->GetPinDataRange(&entry, answer->RangeIndex, kStreamCapture)) return STATUS_INVALID_PARAMETER;
  answer->CurrentActualFrameRate = capture->GetFrameInterval(kStreamCapture);
  answer->CurrentMaxAvailableFrameRate = entry.IntervalCount > 0 ? entry.Intervals[0] : kDefaultFrameInterval;
  irp->IoStatus.Information = sizeof(*answer);
  return STATUS_SUCCESS;
}

NTSTATUS FrameRates(PIRP irp, const KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S* request, PVOID data) {
  const ULONG kind = PinKindOf(irp, request->StreamIndex);
  CameraDeviceControls* camera = DeviceOf(KsGetFilterFromIrp(irp));
  PinDevice* device = camera ? camera->GetPinDevice() : nullptr;
  FrameEntry entry = {};
  if (!kind || !device || !device->GetPinDataRange(&entry, request->RangeIndex, kind)) return STATUS_INVALID_PARAMETER;
  const ULONG count = entry.IntervalCount > 0 ? static_cast<ULONG>(entry.IntervalCount) : 0;
  const ULONG size = sizeof(KSMULTIPLE_ITEM) + count * sizeof(LONGLONG);
  irp->IoStatus.Information = size;
  const ULONG room = data ? PropertyDataLength(irp) : 0;
  if (room == 0) return STATUS_BUFFER_OVERFLOW;
  if (room < size) {
    irp->IoStatus.Information = 0;
    return STATUS_BUFFER_TOO_SMALL;
  }
  auto* list = static_cast<PKSMULTIPLE_ITEM>(data);
  list->Size = size;
  list->Count = count;
  auto* intervals = reinterpret_cast<LONGLONG*>(list + 1);
  for (ULONG i = 0; i < count; ++i) intervals[i] = entry.Intervals[i];
  return STATUS_SUCCESS;
}

}  // namespace

ULONG GetVideoControlItems(const KSPROPERTY_ITEM** items) {
  *items = kVideoControlItems;
  return sizeof(kVideoControlItems) / sizeof(kVideoControlItems[0]);
}

NTSTATUS NTAPI VideoControlGetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  PAGED_CODE();
  NTSTATUS status = STATUS_SUCCESS;
  StartGetAnswer(irp, property, data);
  switch (property->Id) {
    case KSPROPERTY_VIDEOCONTROL_CAPS:
    case KSPROPERTY_VIDEOCONTROL_MODE: {
      // The answer is the driver's: the still pin triggers, the others have no capabilities.
      const auto* request = reinterpret_cast<const KSPROPERTY_VIDEOCONTROL_CAPS_S*>(property);
      auto* answer = static_cast<PKSPROPERTY_VIDEOCONTROL_CAPS_S>(data);
      if (answer) {
        answer->StreamIndex = request->StreamIndex;
        answer->VideoControlCaps = PinKindOf(irp, request->StreamIndex) == kStreamStill ? kStillVideoControlCaps : 0;
      }
      break;
    }
    case KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE: {
      const auto* request = reinterpret_cast<const KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S*>(property);
      auto* answer = static_cast<PKSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S>(data);
      if (answer) {
        answer->StreamIndex = request->StreamIndex;
        answer->RangeIndex = request->RangeIndex;
        answer->Dimensions = request->Dimensions;
        status = ActualFrameRate(irp, answer);
      } else {
        status = STATUS_BUFFER_OVERFLOW;
      }
      break;
    }
    case KSPROPERTY_VIDEOCONTROL_FRAME_RATES:
      status = FrameRates(irp, reinterpret_cast<const KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S*>(property), data);
      break;
    default:
      break;
  }
  irp->IoStatus.Status = status;
  return status;
}

NTSTATUS NTAPI VideoControlSetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  PAGED_CODE();
  NTSTATUS status = STATUS_SUCCESS;
  const auto* request = static_cast<const KSPROPERTY_VIDEOCONTROL_MODE_S*>(data);
  if (property->Id != KSPROPERTY_VIDEOCONTROL_MODE) {
    status = STATUS_NOT_SUPPORTED;
  } else if (request && (request->Mode & kStillVideoControlCaps)) {
    CameraDeviceControls* camera = DeviceOf(KsGetFilterFromIrp(irp));
    PinDevice* device = camera ? camera->GetPinDevice() : nullptr;
    UCHAR transmit = 1;
    status = device ? device->GetUsbDevice()->SetClassRequest(kRequestSetCur,
                                                              static_cast<USHORT>(kVsStillImageTriggerControl << 8),
                                                              device->GetUsbDevice()->StreamingIndex(), &transmit, sizeof(transmit))
                    : STATUS_NOT_SUPPORTED;
    DelayMilliseconds(kStillTriggerWait);
  }
  irp->IoStatus.Status = status;
  return status;
}

}  // namespace kvz
