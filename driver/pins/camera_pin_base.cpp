#include "driver/pins/camera_pin_base.h"

#include "driver/controls/camera_device_controls.h"
#include "driver/pins/capture_filter.h"
#include "driver/pins/pin_constants.h"
#include "driver/pins/pin_device.h"
#include "primitives/driver_memory.h"
#include "usb/usb_device.h"

namespace kvz {

namespace {

bool IsVideoInfo(const KSDATAFORMAT* format) {
  return IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO);
}

bool IsVideoInfo2(const KSDATAFORMAT* format) {
  return IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO2);
}

// biSize of a format: at least the 40-byte header and within what follows the prefix.
bool BitmapSizeFits(ULONG biSize, ULONG formatSize, ULONG prefix) {
  return biSize >= kBitmapHeaderSize && formatSize >= prefix && biSize <= formatSize - prefix;
}

// The size checks of a format's bitmap header against the range it was matched with.
NTSTATUS CheckBitmap(const KS_BITMAPINFOHEADER& bitmap, const KS_BITMAPINFOHEADER& range, bool hasCopy) {
  if (!hasCopy && (bitmap.biWidth != range.biWidth || bitmap.biHeight != range.biHeight ||
                   bitmap.biCompression != range.biCompression))
    return STATUS_NO_MATCH;
  if (bitmap.biBitCount != range.biBitCount) return STATUS_NO_MATCH;
  if (bitmap.biWidth <= 0 || bitmap.biHeight == 0) return STATUS_INVALID_PARAMETER;
  const LONGLONG height = bitmap.biHeight < 0 ? -static_cast<LONGLONG>(bitmap.biHeight) : bitmap.biHeight;
  const ULONGLONG image = static_cast<ULONGLONG>(bitmap.biWidth) * height * (bitmap.biBitCount / 8);
  if (image > kMaxImageBytes || bitmap.biSizeImage < image) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

bool IsStillPin(const KSPIN_DESCRIPTOR_EX* pin) {
  return pin->PinDescriptor.Category && IsEqualGUID(*pin->PinDescriptor.Category, PINNAME_VIDEO_STILL);
}

}  // namespace

const KS_BITMAPINFOHEADER* RangeBitmapHeader(const KSDATARANGE* range) {
  if (IsVideoInfo(range)) return &reinterpret_cast<const KS_DATARANGE_VIDEO*>(range)->VideoInfoHeader.bmiHeader;
  return &reinterpret_cast<const KS_DATARANGE_VIDEO2*>(range)->VideoInfoHeader.bmiHeader;
}

CameraPinBase::CameraPinBase(PKSPIN pin)
    : RequestedWidth(0),
      Filter(nullptr),
      PayloadSize(0),
      Device(DeviceOf(pin) ? DeviceOf(pin)->GetPinDevice() : nullptr),
      Processing(Device ? Device->Processing() : nullptr),
      Pin(pin),
      ConnectionFormat(nullptr),
      StreamState(kPinStopped) {}

VOID NTAPI CameraPinBase::FreePoolItem(PVOID block) {
  if (block) static_cast<CameraPinBase*>(block)->Destroy();
}

bool CameraPinBase::ClaimStream(ULONG streamType) { return Device->GetStreamOwnership()->Claim(streamType, Pin); }

bool CameraPinBase::OwnsStream(ULONG streamType) const {
  return Device->GetStreamOwnership()->Owns(streamType, Pin);
}

VOID CameraPinBase::ReleaseStream(ULONG streamType) { Device->GetStreamOwnership()->Release(streamType, Pin); }

NTSTATUS CameraPinBase::CreateCommon(PIRP) {
  PAGED_CODE();
  NTSTATUS status = KsAddItemToObjectBag(Pin->Bag, this, FreePoolItem);
  if (!NT_SUCCESS(status)) {
    // Nothing else owns the object yet.
    Close();
    Destroy();
    return status;
  }
  Pin->Context = this;

  if (!CopyConnectionFormat()) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    status = _KsEdit(Pin->Bag, reinterpret_cast<PVOID*>(const_cast<PKSPIN_DESCRIPTOR_EX*>(&Pin->Descriptor)),
                     sizeof(KSPIN_DESCRIPTOR_EX), sizeof(KSPIN_DESCRIPTOR_EX), kTagPinEdit);
    auto* descriptor = const_cast<PKSPIN_DESCRIPTOR_EX>(Pin->Descriptor);
    if (NT_SUCCESS(status))
      status = _KsEdit(Pin->Bag, reinterpret_cast<PVOID*>(const_cast<PKSALLOCATOR_FRAMING_EX*>(&descriptor->AllocatorFraming)),
                       sizeof(KSALLOCATOR_FRAMING_EX), sizeof(KSALLOCATOR_FRAMING_EX), kTagPinEdit);
    if (NT_SUCCESS(status)) {
      auto* framing = const_cast<PKSALLOCATOR_FRAMING_EX>(descriptor->AllocatorFraming);
      const ULONG size = ConnectionFormat->bmiHeader.biSizeImage;
      *framing = kPinFramingTemplate;
      framing->FramingItem[0].Frames = kPinFrames;
      framing->FramingItem[0].PhysicalRange = {size, size, 0};
      framing->FramingItem[0].FramingRange = {{size, size, 0}, 0, 0};
    }
  }

  Pin->StreamHeaderSize = kStreamHeaderSize;
  Filter = CaptureFilterFromPin(Pin);
  if (Device && Device->GetPowerState() != PowerDeviceD0) Device->PowerUpAndWait();
  return status;
}

PKS_VIDEOINFOHEADER CameraPinBase::CopyConnectionFormat() {
  PAGED_CODE();
  const KSDATAFORMAT* format = Pin->ConnectionFormat;
  const bool videoInfo = IsVideoInfo(format);
  const KS_BITMAPINFOHEADER* bitmap =
      videoInfo ? &reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format)->VideoInfoHeader.bmiHeader
                : &reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER2*>(format)->VideoInfoHeader2.bmiHeader;
  // The data-format check bounded biSize by the format; the copy never reads past it.
  ULONG bitmapBytes = kBitmapHeaderSize;
  if (videoInfo && format->FormatSize > kVideoInfoPrefix && bitmap->biSize > kBitmapHeaderSize) {
    bitmapBytes = format->FormatSize - kVideoInfoPrefix;
    if (bitmap->biSize < bitmapBytes) bitmapBytes = bitmap->biSize;
  }
  const ULONG size = FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader) + bitmapBytes;
  auto* copy = static_cast<PKS_VIDEOINFOHEADER>(ExAllocatePoolWithTag(DriverPoolType, size, kTagConnectionFormat));
  if (!copy) return nullptr;
  if (videoInfo) {
    RtlCopyMemory(copy, &reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format)->VideoInfoHeader, size);
  } else {
    const KS_VIDEOINFOHEADER2& info = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER2*>(format)->VideoInfoHeader2;
    copy->rcSource = info.rcSource;
    copy->rcTarget = info.rcTarget;
    copy->dwBitRate = info.dwBitRate;
    copy->dwBitErrorRate = info.dwBitErrorRate;
    copy->AvgTimePerFrame = info.AvgTimePerFrame;
    RtlCopyMemory(&copy->bmiHeader, &info.bmiHeader, kBitmapHeaderSize);
  }
  if (!NT_SUCCESS(KsAddItemToObjectBag(Pin->Bag, copy, nullptr))) {
    ExFreePoolWithTag(copy, kTagConnectionFormat);
    ConnectionFormat = nullptr;
    return nullptr;
  }
  // The previous copy goes with its replacement.
  if (ConnectionFormat) KsRemoveItemFromObjectBag(Pin->Bag, ConnectionFormat, TRUE);
  ConnectionFormat = copy;
  return copy;
}

NTSTATUS CameraPinBase::ProbeCommitControl(UCHAR probeSelector, UCHAR commitSelector, PUCHAR block, ULONG length) {
  PAGED_CODE();
  UsbDevice* usb = Device->GetUsbDevice();
  const USHORT probe = static_cast<USHORT>(probeSelector << 8);
  const USHORT commit = static_cast<USHORT>(commitSelector << 8);
  UCHAR maximum[kProbeScratchLength] = {};
  // The camera's best quality, when it says; otherwise the block's own.
  if (NT_SUCCESS(usb->GetClassRequest(kRequestGetMax, probe, usb->StreamingIndex(), maximum, length)) &&
      length > kProbeQualityOffset)
    block[kProbeQualityOffset] = maximum[kProbeQualityOffset];
  NTSTATUS status = usb->SetClassRequest(kRequestSetCur, probe, usb->StreamingIndex(), block, length);
  if (NT_SUCCESS(status)) status = usb->GetClassRequest(kRequestGetCur, probe, usb->StreamingIndex(), block, length);
  if (NT_SUCCESS(status))
    status = usb->SetClassRequest(kRequestSetCur, commit, usb->StreamingIndex(), block, length);
  return status;
}

NTSTATUS CameraPinBase::NegotiateProbe() {
  PAGED_CODE();
  PUCHAR block = nullptr;
  ULONG length = 0;
  NTSTATUS status = BuildProbe(&block, &length);
  if (NT_SUCCESS(status)) status = CommitProbe(block, length);
  if (block) ExFreePool(block);
  return status;
}

NTSTATUS NTAPI PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM, const KSDATARANGE* dataRange,
                                const KSATTRIBUTE_LIST*) {
  PAGED_CODE();
  PKSDATAFORMAT format = pin->ConnectionFormat;
  auto* object = static_cast<CameraPinBase*>(pin->Context);
  const bool hasCopy = oldFormat && object && object->GetConnectionFormat();
  KS_BITMAPINFOHEADER* bitmap = nullptr;
  if (IsVideoInfo(format) && format->FormatSize >= kVideoInfoPrefix + kBitmapHeaderSize) {
    bitmap = &reinterpret_cast<PKS_DATAFORMAT_VIDEOINFOHEADER>(format)->VideoInfoHeader.bmiHeader;
    if (!BitmapSizeFits(bitmap->biSize, format->FormatSize, kVideoInfoPrefix)) return STATUS_INVALID_PARAMETER;
  } else if (IsVideoInfo2(format) && format->FormatSize == kVideoInfo2FormatSize) {
    bitmap = &reinterpret_cast<PKS_DATAFORMAT_VIDEOINFOHEADER2>(format)->VideoInfoHeader2.bmiHeader;
    if (!BitmapSizeFits(bitmap->biSize, format->FormatSize, kVideoInfo2Prefix)) return STATUS_INVALID_PARAMETER;
  } else {
    return STATUS_NO_MATCH;
  }

  if (hasCopy) {
    KS_BITMAPINFOHEADER& kept = object->GetConnectionFormat()->bmiHeader;
    if (bitmap->biWidth != kept.biWidth && bitmap->biCompression == kSubtypeYuy2) {
      // Only the capture pin's YUY2 stream widens or narrows its frames; anywhere else the
      // request would be reported and never carried out.
      if (kept.biCompression != kSubtypeYuy2 || IsStillPin(pin->Descriptor)) return STATUS_NO_MATCH;
      // The pin keeps streaming its own size and widens or narrows each frame to the width asked.
      const LONG width = bitmap->biWidth;
      if (width <= 0 || (width & 1) || width > kMaxFrameSide) return STATUS_INVALID_PARAMETER;
      // Taken while streaming, the request would change the frames delivered under the format
      // already reported: refused like any other change outside STOP.
      if (pin->DeviceState != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
      // Reported as delivered: rows of the width asked at the pin's own height, so a client
      // sizing its buffers from the format can take every frame.
      const ULONGLONG rows = kept.biHeight < 0 ? -static_cast<LONGLONG>(kept.biHeight) : kept.biHeight;
      const ULONGLONG image = static_cast<ULONGLONG>(width) * rows * 2;
      if (image > kMaxImageBytes) return STATUS_INVALID_PARAMETER;
      object->SetRequestedWidth(static_cast<ULONG>(width));
      bitmap->biWidth = kept.biWidth;
      bitmap->biHeight = kept.biHeight;
      bitmap->biSizeImage = static_cast<ULONG>(image);
      format->SampleSize = static_cast<ULONG>(image);
      kept.biSizeImage = static_cast<ULONG>(image);
      return STATUS_SUCCESS;
    }
  }
  NTSTATUS status = CheckBitmap(*bitmap, *RangeBitmapHeader(dataRange), hasCopy);
  if (!NT_SUCCESS(status) || !oldFormat) return status;
  if (pin->DeviceState != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
  if (!object || !object->CopyConnectionFormat()) return STATUS_INSUFFICIENT_RESOURCES;
  // A refused change leaves an earlier width request in force; an accepted one ends it.
  object->SetRequestedWidth(0);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinIntersectHandler(PVOID context, PIRP irp, PKSP_PIN request, PKSDATARANGE callerRange,
                                   PKSDATARANGE descriptorRange, ULONG bufferSize, PVOID data, PULONG dataSize) {
  PAGED_CODE();
  const bool videoInfo = IsVideoInfo(callerRange) && callerRange->FormatSize == kVideoRangeSize;
  const bool videoInfo2 = IsVideoInfo2(callerRange) && callerRange->FormatSize == kVideoRange2Size;
  if (!videoInfo && !videoInfo2) return STATUS_NO_MATCH;
  if (descriptorRange->FormatSize < callerRange->FormatSize) return STATUS_NO_MATCH;
  // Both kinds share the layout up to the end of ConfigCaps.
  const auto* caller = reinterpret_cast<const KS_DATARANGE_VIDEO*>(callerRange);
  const auto* own = reinterpret_cast<const KS_DATARANGE_VIDEO*>(descriptorRange);
  if (caller->bFixedSizeSamples != own->bFixedSizeSamples || caller->bTemporalCompression != own->bTemporalCompression ||
      caller->StreamDescriptionFlags != own->StreamDescriptionFlags ||
      caller->MemoryAllocationFlags != own->MemoryAllocationFlags ||
      !RtlEqualMemory(&caller->ConfigCaps, &own->ConfigCaps, sizeof(caller->ConfigCaps)))
    return STATUS_NO_MATCH;

  const KS_BITMAPINFOHEADER* callerBitmap = RangeBitmapHeader(callerRange);
  if (callerBitmap->biSize != kBitmapHeaderSize) return STATUS_INVALID_PARAMETER;
  if (callerBitmap->biBitCount != RangeBitmapHeader(descriptorRange)->biBitCount) return STATUS_NO_MATCH;
  const ULONG size = videoInfo ? kVideoInfoPrefix + kBitmapHeaderSize : kVideoInfo2FormatSize;
  *dataSize = size;
  if (bufferSize == 0) return STATUS_BUFFER_OVERFLOW;
  if (bufferSize < size) return STATUS_BUFFER_TOO_SMALL;

  const LONGLONG width = callerBitmap->biWidth;
  const LONGLONG height = callerBitmap->biHeight;
  if (width <= 0 || height == 0) return STATUS_INVALID_PARAMETER;
  // Unsigned, and checked before the product is formed: the widest row times the tallest picture
  // is past 64 signed bits.
  const ULONGLONG stride = ((callerBitmap->biBitCount * static_cast<ULONGLONG>(width) + 31) >> 3) & ~3ULL;
  const ULONGLONG rows = static_cast<ULONGLONG>(height < 0 ? -height : height);
  if (stride > kMaxImageBytes / rows) return STATUS_INVALID_PARAMETER;
  const ULONGLONG image = stride * rows;

  auto* out = static_cast<PUCHAR>(data);
  RtlCopyMemory(out, descriptorRange, sizeof(KSDATAFORMAT));
  auto* header = reinterpret_cast<PKSDATAFORMAT>(out);
  header->FormatSize = size;
  header->SampleSize = static_cast<ULONG>(image);
  REFERENCE_TIME* avgTimePerFrame;
  KS_BITMAPINFOHEADER* bitmap;
  if (videoInfo) {
    auto* info = &reinterpret_cast<PKS_DATAFORMAT_VIDEOINFOHEADER>(out)->VideoInfoHeader;
    RtlCopyMemory(info, &caller->VideoInfoHeader, sizeof(KS_VIDEOINFOHEADER));
    avgTimePerFrame = &info->AvgTimePerFrame;
    bitmap = &info->bmiHeader;
  } else {
    auto* info = &reinterpret_cast<PKS_DATAFORMAT_VIDEOINFOHEADER2>(out)->VideoInfoHeader2;
    RtlCopyMemory(info, &reinterpret_cast<const KS_DATARANGE_VIDEO2*>(callerRange)->VideoInfoHeader,
                  sizeof(KS_VIDEOINFOHEADER2));
    avgTimePerFrame = &info->AvgTimePerFrame;
    bitmap = &info->bmiHeader;
  }
  bitmap->biSizeImage = static_cast<ULONG>(image);

  // The pin's own table answers, and the device's current size stays as it is.
  auto* filter = static_cast<PKSFILTER>(context);
  ULONG streamType = kStreamCapture;
  if (filter && filter->Descriptor && request->PinId < filter->Descriptor->PinDescriptorsCount) {
    const auto* pins = reinterpret_cast<const UCHAR*>(filter->Descriptor->PinDescriptors);
    const auto* pin = reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(pins + request->PinId * filter->Descriptor->PinDescriptorSize);
    if (IsStillPin(pin)) streamType = kStreamStill;
  }
  CameraDeviceControls* camera = DeviceOf(KsGetFilterFromIrp(irp));
  PinDevice* device = camera ? camera->GetPinDevice() : nullptr;
  FrameEntry entry = {};
  const ULONG subtype = bitmap->biCompression ? bitmap->biCompression : kSubtypeRgb24;
  if (device && device->FindFormatEntry(&entry, subtype, static_cast<ULONG>(width), static_cast<ULONG>(height), streamType))
    *avgTimePerFrame = device->PickFrameInterval(entry, static_cast<ULONGLONG>(*avgTimePerFrame));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinCloseThunk(PKSPIN pin, PIRP) {
  auto* object = static_cast<CameraPinBase*>(pin->Context);
  return object ? object->Close() : STATUS_SUCCESS;
}

NTSTATUS NTAPI PinSetDeviceStateThunk(PKSPIN pin, KSSTATE to, KSSTATE from) {
  auto* object = static_cast<CameraPinBase*>(pin->Context);
  return object ? object->SetDeviceState(to, from) : STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI PinProcessThunk(PKSPIN pin) {
  auto* object = static_cast<CameraPinBase*>(pin->Context);
  return object ? object->Process() : STATUS_UNSUCCESSFUL;
}

StreamOwnership::StreamOwnership() : owners_{}, held_(nullptr) { KeInitializeEvent(&unheld_, NotificationEvent, TRUE); }

bool StreamOwnership::Claim(ULONG streamType, PVOID owner) {
  if (streamType >= kSlots) return false;
  PVOID previous = InterlockedCompareExchangePointer(&owners_[streamType], owner, nullptr);
  return previous == nullptr || previous == owner;
}

bool StreamOwnership::Owns(ULONG streamType, PVOID owner) const {
  return streamType < kSlots && __atomic_load_n(&owners_[streamType], __ATOMIC_ACQUIRE) == owner;
}

VOID StreamOwnership::Release(ULONG streamType, PVOID owner) {
  if (streamType < kSlots) InterlockedCompareExchangePointer(&owners_[streamType], nullptr, owner);
}

bool StreamOwnership::Hold(ULONG streamType, PKSPIN pin) {
  if (!pin || !Owns(streamType, pin)) return false;
  // Cleared before the hold is visible, so a close that sees the hold finds the event cleared.
  KeClearEvent(&unheld_);
  if (InterlockedCompareExchangePointer(&held_, pin, nullptr) != nullptr) return false;
  if (Owns(streamType, pin)) return true;
  Unhold(pin);
  return false;
}

VOID StreamOwnership::Unhold(PKSPIN pin) {
  InterlockedCompareExchangePointer(&held_, nullptr, pin);
  KeSetEvent(&unheld_, IO_NO_INCREMENT, FALSE);
}

VOID StreamOwnership::WaitUntilUnheld(PKSPIN pin) {
  while (__atomic_load_n(&held_, __ATOMIC_ACQUIRE) == pin)
    KeWaitForSingleObject(&unheld_, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace kvz
