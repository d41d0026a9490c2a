#include "driver/controls/uvc_control.h"

#include "driver/controls/control_constants.h"
#include "primitives/pool_object.h"
#include "usb/usb_device.h"

namespace kvz {
namespace {

constexpr LONG kCacheValid = 0x10000;
constexpr USHORT kGetLenBytes = 2;
constexpr USHORT kStackRangeBytes = 8;

}  // namespace

UvcControl* CreateUvcControl(UsbDevice* device, USHORT selector, USHORT index, USHORT length, ULONG tag) {
  UvcControl* control = PoolNew<UvcControl>(tag, device, selector, index, length);
  if (control) control->poolTag_ = tag;
  return control;
}

UvcRangeControl* CreateUvcRangeControl(UsbDevice* device, USHORT selector, USHORT index, USHORT length, ULONG tag) {
  UvcRangeControl* control = PoolNew<UvcRangeControl>(tag, device, selector, index, length);
  if (control) control->poolTag_ = tag;
  return control;
}

VOID DestroyUvcControl(UvcControl* control) {
  if (!control) return;
  const ULONG tag = control->poolTag_;
  PoolDelete(control, tag);
}

UvcControl::UvcControl(UsbDevice* device, USHORT selector, USHORT index, USHORT length)
    : length_(length), selector_(selector), unitIndex_(index), device_(device) {}

UvcControl::~UvcControl() = default;

VOID UvcControl::SetLength(USHORT length) { InterlockedExchange(&length_, length); }

USHORT UvcControl::Length() const {
  return static_cast<USHORT>(InterlockedCompareExchange(const_cast<volatile LONG*>(&length_), 0, 0) & 0xFFFF);
}

NTSTATUS UvcControl::Request(UCHAR request, PVOID buffer, USHORT length) {
  const USHORT value = static_cast<USHORT>(selector_ << 8);
  if (request == kRequestSetCur) return device_->SetClassRequest(request, value, unitIndex_, buffer, length);
  return device_->GetClassRequest(request, value, unitIndex_, buffer, length);
}

NTSTATUS UvcControl::SetCur(PVOID buffer) { return Request(kRequestSetCur, buffer, Length()); }

NTSTATUS UvcControl::GetCur(PVOID buffer) { return Request(kRequestGetCur, buffer, Length()); }

NTSTATUS UvcControl::GetLen(PVOID buffer) { return Request(kRequestGetLen, buffer, kGetLenBytes); }

UvcRangeControl::UvcRangeControl(UsbDevice* device, USHORT selector, USHORT index, USHORT length)
    : UvcControl(device, selector, index, length) {}

// The answer lands in a buffer of the control's own length, zeroed first, so a short answer
// never leaves stale bytes in the cached value.
NTSTATUS UvcRangeControl::RangeRead(volatile LONG* cache, UCHAR request, SHORT* value) {
  const LONG cached = InterlockedCompareExchange(cache, 0, 0);
  if (cached & kCacheValid) {
    *value = static_cast<SHORT>(cached & 0xFFFF);
    return STATUS_SUCCESS;
  }
  USHORT length = Length();
  if (length < sizeof(SHORT)) length = sizeof(SHORT);
  UCHAR local[kStackRangeBytes] = {};
  PUCHAR answer = local;
  if (length > kStackRangeBytes) {
    answer = static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverPoolType, length, kTagRangeBuffer));
    if (!answer) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(answer, length);
  }
  const NTSTATUS status = Request(request, answer, length);
  if (NT_SUCCESS(status)) {
    const SHORT read = static_cast<SHORT>(answer[0] | (answer[1] << 8));
    InterlockedExchange(cache, kCacheValid | static_cast<USHORT>(read));
    *value = read;
  }
  if (answer != local) ExFreePoolWithTag(answer, kTagRangeBuffer);
  return status;
}

VOID UvcRangeControl::Preset(volatile LONG* cache, SHORT value) {
  InterlockedExchange(cache, kCacheValid | static_cast<USHORT>(value));
}

NTSTATUS UvcRangeControl::GetDef(SHORT* value) { return RangeRead(&default_, kRequestGetDef, value); }
NTSTATUS UvcRangeControl::GetRes(SHORT* value) { return RangeRead(&resolution_, kRequestGetRes, value); }
NTSTATUS UvcRangeControl::GetMin(SHORT* value) { return RangeRead(&minimum_, kRequestGetMin, value); }
NTSTATUS UvcRangeControl::GetMax(SHORT* value) { return RangeRead(&maximum_, kRequestGetMax, value); }

VOID UvcRangeControl::PresetDef(SHORT value) { Preset(&default_, value); }
VOID UvcRangeControl::PresetRes(SHORT value) { Preset(&resolution_, value); }
VOID UvcRangeControl::PresetMin(SHORT value) { Preset(&minimum_, value); }
VOID UvcRangeControl::PresetMax(SHORT value) { Preset(&maximum_, value); }

NTSTATUS UvcRangeControl::SetCur(PVOID buffer) {
  SHORT maximum = 0;
  SHORT minimum = 0;
  NTSTATUS status = GetMax(&maximum);
  if (!NT_SUCCESS(status)) return status;
  status = GetMin(&minimum);
  if (!NT_SUCCESS(status)) return status;
  const PUCHAR bytes = static_cast<PUCHAR>(buffer);
  const SHORT value = static_cast<SHORT>(bytes[0] | (bytes[1] << 8));
  if (value > maximum || value < minimum) return STATUS_UNSUCCESSFUL;
  return UvcControl::SetCur(buffer);
}

}  // namespace kvz
