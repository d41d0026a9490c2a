// PROPSETID_VIDCAP_VIDEOPROCAMP: the processing unit's controls, colour enable carried by the
// saturation control, and power-line frequency 0 meaning detection by the driver.
#pragma once
#include <wdm.h>
#include <ks.h>

#include "driver/controls/control_handler.h"

namespace kvz {

class CameraDeviceControls;
class UvcControl;
class UvcRangeControl;
struct UvcUnit;

class VideoProcAmpHandler final : public UnitControlHandler {
 public:
  static constexpr ULONG kItemRoom = 11;
  static constexpr ULONG kPropertyIds = 14;

  // unit: the processing unit, whose bmControls choose the set's controls and whose id addresses
  // every request of the set. camera: the device whose settings the set keeps and whose USB
  // device sends its requests.
  VideoProcAmpHandler(const UvcUnit& unit, CameraDeviceControls* camera);
  ~VideoProcAmpHandler();

  NTSTATUS BuildPropertySet() override;

  // Whether the property (KSPROPERTY_VIDEOPROCAMP_xxx) has its control.
  bool HasControl(ULONG propertyId) const;
  bool HasAutoWhiteBalance() const { return autoWhiteBalance_ != nullptr; }

 private:
  NTSTATUS GetControl(PKSPROPERTY property, PVOID data, ULONG dataLength, DeviceSettings* settings) override;
  NTSTATUS SetControl(PKSPROPERTY property, PVOID data, ULONG dataLength, DeviceSettings* settings) override;
  VOID FreeControls();

  KSPROPERTY_ITEM items_[kItemRoom];
  // Indexed by property identifier; colour enable has its own object on the saturation selector.
  UvcRangeControl* controls_[kPropertyIds] = {};
  UvcControl* autoWhiteBalance_ = nullptr;
};

NTSTATUS NTAPI VideoProcAmpGetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data);
NTSTATUS NTAPI VideoProcAmpSetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data);

}  // namespace kvz
