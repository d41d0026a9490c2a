// One control of one UVC unit or terminal, and the range-checked kind that caches the camera's
// minimum, maximum, resolution and default.
#pragma once
#include <wdm.h>

namespace kvz {

class UsbDevice;

class UvcControl;
class UvcRangeControl;

// Pool-allocated controls (tag by owner); null when the pool is exhausted. A control is freed
// under the tag it was built with.
UvcControl* CreateUvcControl(UsbDevice* device, USHORT selector, USHORT index, USHORT length, ULONG tag);
UvcRangeControl* CreateUvcRangeControl(UsbDevice* device, USHORT selector, USHORT index, USHORT length, ULONG tag);
VOID DestroyUvcControl(UvcControl* control);

class UvcControl {
 public:
  // index: unit or terminal id in the high byte, interface number in the low byte.
  UvcControl(UsbDevice* device, USHORT selector, USHORT index, USHORT length);
  // Plain and range-checked controls are both destroyed through this type.
  virtual ~UvcControl();
  UvcControl(const UvcControl&) = delete;
  UvcControl& operator=(const UvcControl&) = delete;

  // Each transfers Length() bytes; buffer must hold that many.
  virtual NTSTATUS SetCur(PVOID buffer);
  NTSTATUS GetCur(PVOID buffer);
  // Always 2 bytes.
  NTSTATUS GetLen(PVOID buffer);

  VOID SetLength(USHORT length);
  USHORT Length() const;
  USHORT Selector() const { return selector_; }
  USHORT UnitIndex() const { return unitIndex_; }
  UsbDevice* Device() const { return device_; }

 protected:
  NTSTATUS Request(UCHAR request, PVOID buffer, USHORT length);

 private:
  volatile LONG length_;  // changed by extension-unit clients while others send
  USHORT selector_;
  USHORT unitIndex_;
  UsbDevice* device_;
  ULONG poolTag_ = 0;

  friend UvcControl* CreateUvcControl(UsbDevice*, USHORT, USHORT, USHORT, ULONG);
  friend UvcRangeControl* CreateUvcRangeControl(UsbDevice*, USHORT, USHORT, USHORT, ULONG);
  friend VOID DestroyUvcControl(UvcControl* control);
};

class UvcRangeControl final : public UvcControl {
 public:
  UvcRangeControl(UsbDevice* device, USHORT selector, USHORT index, USHORT length);

  // SET_CUR of the whole buffer when its first two bytes, as a signed value, lie within the
  // camera's range; STATUS_UNSUCCESSFUL and nothing sent otherwise.
  NTSTATUS SetCur(PVOID buffer) override;

  // From the cache once the camera has answered (or a preset was given).
  NTSTATUS GetDef(SHORT* value);
  NTSTATUS GetRes(SHORT* value);
  NTSTATUS GetMin(SHORT* value);
  NTSTATUS GetMax(SHORT* value);

  VOID PresetDef(SHORT value);
  VOID PresetRes(SHORT value);
  VOID PresetMin(SHORT value);
  VOID PresetMax(SHORT value);

 private:
  // A cache word: kCacheValid plus the 16-bit value, published in one store.
  NTSTATUS RangeRead(volatile LONG* cache, UCHAR request, SHORT* value);
  static VOID Preset(volatile LONG* cache, SHORT value);

  volatile LONG default_ = 0;
  volatile LONG resolution_ = 0;
  volatile LONG minimum_ = 0;
  volatile LONG maximum_ = 0;
};

}  // namespace kvz
