// The driver's own settings set: mirror and flip, digital zoom and pan, rotation, outdoor mode,
// white-balance gains, image quality, panel mode and two fixed texts.
#pragma once
#include <wdm.h>
#include <ks.h>

#include "driver/controls/control_handler.h"

namespace kvz {

class UsbDevice;
class CameraDeviceControls;

// {6C8E1A52-3D0F-4F61-9B27-5A0C4E7D9310}
KVZ_KS_GUID(PROPSETID_KVZ_PRIVATE, 0x6C8E1A52, 0x3D0F, 0x4F61, 0x9B, 0x27, 0x5A, 0x0C, 0x4E, 0x7D, 0x93, 0x10);

constexpr ULONG kPrivateItemCount = 33;
constexpr ULONG kPrivateDataSize = 104;

class PrivateControlHandler final : public ControlHandler {
 public:
  // camera: the device whose settings the set keeps and whose USB device sends its requests.
  explicit PrivateControlHandler(CameraDeviceControls* camera);
  ~PrivateControlHandler();

  NTSTATUS BuildPropertySet() override;
  NTSTATUS Get(PKSPROPERTY property, PVOID data, ULONG dataLength) override;
  NTSTATUS Set(PKSPROPERTY property, PVOID data, ULONG dataLength) override;

 private:
  CameraDeviceControls* camera_;
  UsbDevice* device_;
  KSPROPERTY_ITEM items_[kPrivateItemCount];
};

NTSTATUS NTAPI PrivateControlGetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data);
NTSTATUS NTAPI PrivateControlSetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data);

}  // namespace kvz
