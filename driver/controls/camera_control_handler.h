// PROPSETID_VIDCAP_CAMERACONTROL: exposure with its automatic mode, auto-exposure priority and
// privacy from the camera terminal; pan, tilt, roll and zoom done by the driver on the frames.
#pragma once
#include <wdm.h>
#include <ks.h>

#include "driver/controls/control_handler.h"

namespace kvz {

class UsbDevice;
class CameraDeviceControls;
class UvcControl;
class UvcRangeControl;
struct UvcUnit;

class CameraControlHandler final : public ControlHandler {
 public:
  static constexpr ULONG kItemRoom = 16;

  // terminal: the camera terminal, whose bmControls choose the set's controls and whose id
  // addresses every request of the set. camera: the device whose settings the set keeps and
  // whose USB device sends its requests.
  CameraControlHandler(const UvcUnit& terminal, CameraDeviceControls* camera);
  ~CameraControlHandler();

  NTSTATUS BuildPropertySet() override;
  NTSTATUS Get(PKSPROPERTY property, PVOID data, ULONG dataLength) override;
  NTSTATUS Set(PKSPROPERTY property, PVOID data, ULONG dataLength) override;

  // Stream start: the stored manual exposure and privacy back to the camera. Without the
  // controls they do nothing.
  NTSTATUS ApplyManualExposure(LONG logValue);
  NTSTATUS ApplyPrivacy();

  // Whether the set has the camera control behind a property (KSPROPERTY_CAMERACONTROL_xxx).
  bool HasControl(ULONG propertyId) const;
  bool HasAutoExposureMode() const { return autoExposureMode_ != nullptr; }
  // wIndex of the terminal: its id, the video control interface.
  USHORT UnitIndex() const;

 private:
  VOID FreeControlObjects();
  bool BuildItem(ULONG propertyId, UvcRangeControl** control, PropertyValueKind kind);
  NTSTATUS GetExposure(LONG* value, ULONG* flags, ULONG* capabilities);
  NTSTATUS SetExposure(LONG value, ULONG flags);
  NTSTATUS SendExposureTime(LONG logValue);

  CameraDeviceControls* camera_;
  UsbDevice* device_;
  ULONG controlBits_;
  UCHAR terminalId_;
  KSPROPERTY_ITEM items_[kItemRoom];
  UvcRangeControl* exposureTime_ = nullptr;
  UvcControl* autoExposureMode_ = nullptr;
  UvcRangeControl* autoExposurePriority_ = nullptr;
  UvcRangeControl* privacy_ = nullptr;
};

NTSTATUS NTAPI CameraControlGetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data);
NTSTATUS NTAPI CameraControlSetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data);

}  // namespace kvz
