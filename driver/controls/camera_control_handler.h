// PROPSETID_VIDCAP_CAMERACONTROL: exposure with its automatic mode, auto-exposure priority and
// privacy from the camera terminal; pan, tilt, roll and zoom done by the driver on the frames.
#pragma once
#include <wdm.h>
#include <ks.h>

#include "driver/controls/control_handler.h"

namespace kvz {

class CameraDeviceControls;
class UvcControl;
class UvcRangeControl;
struct UvcUnit;

class CameraControlHandler final : public UnitControlHandler {
 public:
  static constexpr ULONG kItemRoom = 16;

  // terminal: the camera terminal, whose bmControls choose the set's controls and whose id
  // addresses every request of the set. camera: the device whose settings the set keeps and
  // whose USB device sends its requests.
  CameraControlHandler(const UvcUnit& terminal, CameraDeviceControls* camera);
  ~CameraControlHandler();

  NTSTATUS BuildPropertySet() override;

  // Stream start: the stored manual exposure and privacy back to the camera. Without the
  // controls they do nothing.
  NTSTATUS ApplyManualExposure(LONG logValue);
  NTSTATUS ApplyPrivacy();

  // Whether the set has the camera control behind a property (KSPROPERTY_CAMERACONTROL_xxx).
  bool HasControl(ULONG propertyId) const;
  bool HasAutoExposureMode() const { return autoExposureMode_ != nullptr; }

 private:
  NTSTATUS GetControl(PKSPROPERTY property, PVOID data, ULONG dataLength, DeviceSettings* settings) override;
  NTSTATUS SetControl(PKSPROPERTY property, PVOID data, ULONG dataLength, DeviceSettings* settings) override;
  VOID FreeControlObjects();
  NTSTATUS GetExposure(LONG* value, ULONG* flags, ULONG* capabilities);
  NTSTATUS SetExposure(LONG value, ULONG flags);
  NTSTATUS SendExposureTime(LONG logValue);

  KSPROPERTY_ITEM items_[kItemRoom];
  UvcRangeControl* exposureTime_ = nullptr;
  UvcControl* autoExposureMode_ = nullptr;
  UvcRangeControl* autoExposurePriority_ = nullptr;
  UvcRangeControl* privacy_ = nullptr;
};

NTSTATUS NTAPI CameraControlGetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data);
NTSTATUS NTAPI CameraControlSetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data);

}  // namespace kvz
