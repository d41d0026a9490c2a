#include "driver/pins/capture_filter.h"

#include <new>

#include "driver/controls/camera_device_controls.h"
#include "driver/pins/camera_pin_base.h"
#include "driver/pins/capture_pin.h"
#include "driver/pins/pin_constants.h"
#include "driver/pins/pin_device.h"
#include "postproc/processor/frame_processor_pins.h"
#include "driver/controls/region_control_handler.h"
#include "driver/pins/still_pin.h"
#include "primitives/driver_memory.h"
#include "primitives/kernel_delay.h"
#include "primitives/pool_object.h"

namespace kvz {

// {6C6D7A4B-6272-4964-6765-50696E000001}
const GUID PINNAME_KVZ_BRIDGE = {0x6C6D7A4B, 0x6272, 0x4964, {0x67, 0x65, 0x50, 0x69, 0x6E, 0x00, 0x00, 0x01}};

const KSALLOCATOR_FRAMING_EX kPinFramingTemplate = {
    1,          // CountItems
    0,          // PinFlags
    {1, 1, 0},  // OutputCompression
    0,          // PinWeight
    {{
        KSMEMORY_TYPE_KERNEL_NONPAGED,  // MemoryType
        GUID_NULL,                      // BusType
        0,                              // MemoryFlags
        0,                              // BusFlags
        kFramingFlags,                  // Flags
        kTemplateFrames,                // Frames
        {0},                            // FileAlignment
        0,                              // MemoryTypeWeight
        {0, 0xFFFFFFFF, 1},             // PhysicalRange
        {{kTemplateFrameSize, kTemplateFrameSize, 1}, 0, 0},  // FramingRange
    }},
};

namespace {

const KSFILTER_DISPATCH kFilterDispatch = {
    FilterCreate,  // Create: the CaptureFilter and the pin factories
    FilterClose,   // Close: idle timer and region events
    nullptr,       // Process: the pins process
    nullptr,       // Reset
};

const GUID kCameraCategories[] = {KSCATEGORY_VIDEO, PINNAME_VIDEO_STILL, KSCATEGORY_CAPTURE, KSCATEGORY_VIDEO_CAMERA};
const GUID kSensorCategories[] = {KSCATEGORY_VIDEO, KSCATEGORY_SENSOR_CAMERA};

template <typename T, ULONG N>
constexpr ULONG CountOf(const T (&)[N]) {
  return N;
}

// A pin descriptor of the filter's bag; freed with it.
NTSTATUS AddPinFactory(PKSFILTER filter, PinDevice* device, ULONG streamType, ULONG tag) {
  auto* descriptor = static_cast<PKSPIN_DESCRIPTOR_EX>(ExAllocatePoolWithTag(DriverPoolType, sizeof(KSPIN_DESCRIPTOR_EX), tag));
  if (!descriptor) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(descriptor, sizeof(*descriptor));
  if (!BuildPinDescriptor(device, descriptor, streamType)) {
    ExFreePoolWithTag(descriptor, tag);
    return STATUS_SUCCESS;
  }
  NTSTATUS status = KsAddItemToObjectBag(filter->Bag, descriptor, nullptr);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(descriptor, tag);
    return status;
  }
  ULONG pinId = 0;
  return KsFilterCreatePinFactory(filter, descriptor, &pinId);
}

}  // namespace

CaptureFilterDescriptor::CaptureFilterDescriptor() : descriptor_{}, automation_{}, nodes_{}, connections_(nullptr) {}

VOID CaptureFilterDescriptor::Release() {
  if (connections_) ExFreePoolWithTag(connections_, kTagConnections);
  connections_ = nullptr;
  descriptor_.Connections = nullptr;
  descriptor_.ConnectionsCount = 0;
}

NTSTATUS CaptureFilterDescriptor::BuildFilterDescriptor(PinDevice* device, ULONG nodeCount, bool sensorCategories) {
  PAGED_CODE();
  Release();
  const PKSDATARANGE* ranges = nullptr;
  const bool capture = device->GetDataRanges(&ranges, kStreamCapture) != 0;
  const bool still = device->GetDataRanges(&ranges, kStreamStill) != 0;
  // Pin factories are created capture, bridge, still; an absent one takes no identifier.
  const ULONG captureId = 0;
  const ULONG bridgeId = capture ? 1 : 0;
  const ULONG stillId = bridgeId + 1;

  const ULONG count = nodeCount ? nodeCount + (capture ? 1 : 0) + (still ? 1 : 0) : 0;
  if (count) {
    connections_ = static_cast<PKSTOPOLOGY_CONNECTION>(
        ExAllocatePoolWithTag(DriverPoolType, count * sizeof(KSTOPOLOGY_CONNECTION), kTagConnections));
    if (!connections_) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG n = 0;
    connections_[n++] = {KSFILTER_NODE, bridgeId, 0, 1};
    for (ULONG i = 1; i < nodeCount; ++i) connections_[n++] = {i - 1, 0, i, 1};
    if (capture) connections_[n++] = {nodeCount - 1, 0, KSFILTER_NODE, captureId};
    if (still) connections_[n++] = {nodeCount - 1, 0, KSFILTER_NODE, stillId};
  }

  descriptor_.Dispatch = &kFilterDispatch;
  descriptor_.AutomationTable = &automation_;
  descriptor_.Version = KSFILTER_DESCRIPTOR_VERSION;
  descriptor_.Flags = 0;
  descriptor_.ReferenceGuid = &KSNAME_Filter;
  descriptor_.PinDescriptorsCount = 0;
  descriptor_.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
  descriptor_.PinDescriptors = nullptr;
  descriptor_.CategoriesCount = sensorCategories ? CountOf(kSensorCategories) : CountOf(kCameraCategories);
  descriptor_.Categories = sensorCategories ? kSensorCategories : kCameraCategories;
  descriptor_.NodeDescriptorsCount = nodeCount;
  descriptor_.NodeDescriptorSize = sizeof(KSNODE_DESCRIPTOR);
  descriptor_.NodeDescriptors = nodes_;
  descriptor_.ConnectionsCount = count;
  descriptor_.Connections = connections_;
  descriptor_.ComponentId = nullptr;
  return STATUS_SUCCESS;
}

bool BuildPinDescriptor(PinDevice* device, PKSPIN_DESCRIPTOR_EX descriptor, ULONG streamType) {
  PAGED_CODE();
  RtlZeroMemory(descriptor, sizeof(*descriptor));
  if (streamType == kStreamCapture || streamType == kStreamStill) {
    const PKSDATARANGE* ranges = nullptr;
    const ULONG count = device->GetDataRanges(&ranges, streamType);
    if (!count) return false;
    const bool capture = streamType == kStreamCapture;
    descriptor->Dispatch = capture ? &kCapturePinDispatch : &kStillPinDispatch;
    descriptor->AutomationTable = capture ? &kCapturePinAutomation : nullptr;
    descriptor->PinDescriptor.DataRangesCount = count;
    descriptor->PinDescriptor.DataRanges = ranges;
    descriptor->PinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
    descriptor->PinDescriptor.Communication = KSPIN_COMMUNICATION_BOTH;
    descriptor->PinDescriptor.Category = capture ? &PINNAME_VIDEO_CAPTURE : &PINNAME_VIDEO_STILL;
    descriptor->PinDescriptor.Name = descriptor->PinDescriptor.Category;
    descriptor->Flags = capture ? kCapturePinFlags : kStillPinFlags;
    descriptor->InstancesPossible = 1;
    descriptor->InstancesNecessary = 0;
    descriptor->AllocatorFraming = &kPinFramingTemplate;
    descriptor->IntersectHandler = PinIntersectHandler;
    return true;
  }
  descriptor->PinDescriptor.DataFlow = KSPIN_DATAFLOW_IN;
  descriptor->PinDescriptor.Communication = KSPIN_COMMUNICATION_BRIDGE;
  descriptor->PinDescriptor.Category = &PINNAME_KVZ_BRIDGE;
  descriptor->Flags = KSPIN_FLAG_DENY_USERMODE_ACCESS;
  return true;
}

CaptureFilter::CaptureFilter(PinDevice* device) : largestPayload_(0), device_(device) {
  KeInitializeSpinLock(&intervalLock_);
  for (ULONG i = 0; i < 3; ++i) {
    frameIntervals_[i] = kDefaultFrameInterval;
    frameSizes_[i] = 0;
  }
}

VOID NTAPI CaptureFilter::Free(PVOID object) {
  auto* filter = static_cast<CaptureFilter*>(object);
  PoolDelete(filter, kTagCaptureFilter);
}

LONG CaptureFilter::SlotOf(ULONG streamType) {
  switch (streamType) {
    case kStreamCapture:
      return 0;
    case kStreamStill:
      return 1;
    case kStreamThird:
      return 2;
    default:
      return -1;
  }
}

LONGLONG CaptureFilter::GetFrameInterval(ULONG streamType) const {
  const LONG slot = SlotOf(streamType);
  if (slot < 0) return kDefaultFrameInterval;
  KIRQL irql;
  KeAcquireSpinLock(&intervalLock_, &irql);
  const LONGLONG interval = frameIntervals_[slot];
  KeReleaseSpinLock(&intervalLock_, irql);
  return interval;
}

ULONG CaptureFilter::GetFrameSize(ULONG streamType) const {
  const LONG slot = SlotOf(streamType);
  return slot < 0 ? 0 : static_cast<ULONG>(__atomic_load_n(&frameSizes_[slot], __ATOMIC_ACQUIRE));
}

NTSTATUS CaptureFilter::ConfigureStream(const KS_VIDEOINFOHEADER* format, ULONG payloadSize, ULONG streamType) {
  PAGED_CODE();
  const KS_BITMAPINFOHEADER& bitmap = format->bmiHeader;
  const ULONG subtype = bitmap.biCompression ? bitmap.biCompression : kSubtypeRgb24;
  FrameEntry entry = {};
  device_->SetStreamFormat(&entry, subtype, static_cast<ULONG>(bitmap.biWidth), static_cast<ULONG>(bitmap.biHeight),
                           streamType == kStreamStill ? kStreamStill : kStreamCapture);
  // Raised by compare-exchange: a still configured during the resume must not lose the larger payload.
  for (LONG seen = static_cast<LONG>(LargestPayload()); payloadSize > static_cast<ULONG>(seen);) {
    const LONG was = InterlockedCompareExchange(&largestPayload_, static_cast<LONG>(payloadSize), seen);
    if (was == seen) break;
    seen = was;
  }
  const LONG slot = SlotOf(streamType);
  if (slot >= 0) {
    KIRQL irql;
    KeAcquireSpinLock(&intervalLock_, &irql);
    frameIntervals_[slot] = format->AvgTimePerFrame;
    KeReleaseSpinLock(&intervalLock_, irql);
    InterlockedExchange(&frameSizes_[slot], static_cast<LONG>(static_cast<ULONG>(entry.Width) * entry.Height * 2));
  }
  // A still configured while capture runs leaves the capture stream's effect formats alone.
  const bool captureRuns = streamType == kStreamStill && device_->GetCaptureRunning();
  if (!captureRuns)
    device_->Processing()->SetFormats(subtype, entry.SourceWidth, entry.SourceHeight, entry.Width, entry.Height);
  return device_->Streams()->SelectStreamingAltSetting(LargestPayload());
}

NTSTATUS CaptureFilter::StartStream(PKSPIN pin, ULONG streamType) {
  PAGED_CODE();
  // The payload stays after a start: the transport keeps the last committed size per stream, and
  // a pin started again after a pause has not configured anew. A payload the transport refused
  // goes (a camera's hostile answer would otherwise outvote every later one).
  const NTSTATUS status = device_->Streams()->StartStream(LargestPayload(), GetFrameSize(streamType), pin, streamType);
  if (!NT_SUCCESS(status)) InterlockedExchange(&largestPayload_, 0);
  return status;
}

CaptureFilter* CaptureFilterFromPin(PKSPIN pin) {
  PKSFILTER filter = KsPinGetParentFilter(pin);
  return filter ? static_cast<CaptureFilter*>(filter->Context) : nullptr;
}

NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP irp) {
  PAGED_CODE();
  CameraDeviceControls* camera = DeviceOf(KsGetFilterFromIrp(irp));
  PinDevice* device = camera ? camera->GetPinDevice() : nullptr;
  if (!device) return STATUS_UNSUCCESSFUL;
  NTSTATUS status = device->OpenFilterInstance();
  if (!NT_SUCCESS(status)) return status;
  auto* object = PoolNew<CaptureFilter>(kTagCaptureFilter, device);

  device->CancelIdleTimer();
  if (device->GetPowerState() != PowerDeviceD0) {
    DelayMilliseconds(kFilterPowerUpWait);
  }

  status = STATUS_INSUFFICIENT_RESOURCES;
  if (object) {
    status = KsAddItemToObjectBag(filter->Bag, object, CaptureFilter::Free);
    if (!NT_SUCCESS(status)) CaptureFilter::Free(object);
  }
  if (NT_SUCCESS(status)) {
    filter->Context = object;
    status = AddPinFactory(filter, device, kStreamCapture, kTagPinDescriptor);
  }
  if (NT_SUCCESS(status)) status = AddPinFactory(filter, device, kStreamBridge, kTagBridgeDescriptor);
  if (NT_SUCCESS(status)) status = AddPinFactory(filter, device, kStreamStill, kTagPinDescriptor);
  // A failed create is never closed: the busy mark and the instance it took must go now.
  if (!NT_SUCCESS(status)) {
    device->RestartIdleTimer();
    device->CloseFilterInstance();
  }
  return status;
}

NTSTATUS NTAPI FilterClose(PKSFILTER filter, PIRP) {
  PAGED_CODE();
  // The filter, not the request: the class driver closes a filter left open at removal without one.
  CameraDeviceControls* controls = DeviceOf(filter);
  if (controls) {
    if (RegionControlHandler* region = controls->GetRegionControlHandler()) region->OnFilterClose(filter);
    if (PinDevice* device = controls->GetPinDevice()) {
      device->RestartIdleTimer();
      device->CloseFilterInstance();
    }
  }
  return STATUS_SUCCESS;
}

}  // namespace kvz
