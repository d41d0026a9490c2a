// What frame post-processing needs of the camera device: UVC class requests on the device's
// synchronous request path and the address of the camera's vendor extension unit. The device
// implements it; post-processing never sees the device itself.
#pragma once
#include <wdm.h>

#include "common/uvc_codes.h"

namespace kvz {

class CameraServices {
 public:
  // wValue: control selector in the high byte; wIndex: unit id in the high byte, interface
  // number in the low byte. Serialised by the device and cancelled after 5 s; the result is the
  // transfer's NTSTATUS, and on success buffer holds the control's bytes (GetClassRequest).
  virtual NTSTATUS GetClassRequest(UCHAR request, USHORT value, USHORT index, PVOID buffer,
                                   USHORT length) = 0;
  virtual NTSTATUS SetClassRequest(UCHAR request, USHORT value, USHORT index, PVOID buffer,
                                   USHORT length) = 0;
  // wIndex of this camera's vendor extension unit, which carries the one-byte camera registers
  // and the face-exposure window: each camera's own, as its descriptors number it.
  virtual USHORT VendorUnitIndex() const = 0;
  // wIndex of the processing unit: the id its descriptor gives, on the device's video control
  // interface (interface 0 unless the camera is a later function of a composite device); 0 when
  // the camera has no processing unit, and then no power-line request is sent.
  virtual USHORT ProcessingUnitIndex() const { return 0x0200; }
  // The device's register lock: a register's address request and its data request are sent as
  // one pair under it, whoever else talks to the registers. PASSIVE_LEVEL; the holder may take
  // it again.
  virtual VOID AcquireRegisterAccess() = 0;
  virtual VOID ReleaseRegisterAccess() = 0;

 protected:
  CameraServices() = default;
  ~CameraServices() = default;
};

}  // namespace kvz
