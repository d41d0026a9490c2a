// What the driver builds from one camera's descriptor model: the control handlers of the camera
// terminal, the processing unit and the extension units, the private and region sets, the
// filter's property and event sets and the topology nodes' automation tables; it records the
// addresses of the camera's vendor and test units on its USB device. The pins' format tables are
// not here: the device builds its PinFormats from the container's model.
#pragma once
#include <wdm.h>
#include <ks.h>
#include <usb.h>

#include "driver/controls/control_constants.h"
#include "primitives/test_seam.h"
#include "uvcmodel/uvc_model.h"

namespace kvz {

class CameraDeviceControls;
class UsbDevice;
class CameraControlHandler;
class VideoProcAmpHandler;
class ExtensionUnitHandler;
class PrivateControlHandler;
class RegionControlHandler;

constexpr ULONG kTagUnitContainer = 'ClPD';
constexpr ULONG kTagCameraTerminalHandler = 'ClCT';
constexpr ULONG kTagProcessingUnitHandler = 'ClVA';
constexpr ULONG kTagExtensionUnitHandler = 'CIEU';
constexpr ULONG kTagPrivateHandler = 'ClCP';
constexpr ULONG kTagRegionHandler = 'CROI';

class UnitContainer {
 public:
  // camera: the device the handlers serve (its USB device sends their requests).
  explicit UnitContainer(CameraDeviceControls* camera);
  ~UnitContainer() { ReleaseConfiguration(); }
  UnitContainer(const UnitContainer&) = delete;
  UnitContainer& operator=(const UnitContainer&) = delete;

  // Set by the device before the configuration is parsed: bcdUSB above 0x02FF (bandwidth from the
  // SuperSpeed companions).
  VOID SetUsb3(bool usb3) { usb3_ = usb3; }

  // Parses the configuration (length bytes) into the model and builds everything from it.
  // Descriptors that break the UVC or USB length rules fail it with STATUS_DEVICE_DATA_ERROR
  // before anything is built. The configuration must outlive the container's build.
  NTSTATUS ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR configuration, ULONG length,
                                        PKSAUTOMATION_TABLE filterAutomation, PKSNODE_DESCRIPTOR nodes,
                                        PULONG nodeCount, ULONG firstInterface);
  VOID ReleaseConfiguration();
  UvcModel* Model() { return &model_; }

  // The camera has a vendor extension unit with the face-exposure window control.
  bool HasFaceExposureWindow() const { return hasFaceExposureWindow_; }
  ULONG CopyBandwidthTable(BandwidthEntry* buffer) const;
  // The handler of the extension unit with that GUID, or null.
  ExtensionUnitHandler* FindExtensionUnit(const GUID& unit) const;
  // The first of the vendor units (VendorUnitGuids, in order) the camera has, or null.
  ExtensionUnitHandler* FirstVendorUnit() const;

  CameraControlHandler* CameraTerminal() const { return cameraTerminal_; }
  VideoProcAmpHandler* ProcessingUnit() const { return processingUnit_; }
  PrivateControlHandler* PrivateHandler() const { return privateHandler_; }
  RegionControlHandler* RegionHandler() const { return regionHandler_; }

 private:
  template <class T>
  friend struct TestSeam;

  NTSTATUS BuildUnitHandlers();
  NTSTATUS BuildUnitHandler(const UvcUnit& unit);
  NTSTATUS CreateExtensionUnit(const UvcUnit& unit);
  NTSTATUS CreateDefaultUnits();
  VOID RecordVendorUnits() const;
  NTSTATUS BuildPropertySets(PKSAUTOMATION_TABLE filterAutomation);
  VOID BuildAutomationTable(PKSNODE_DESCRIPTOR nodes, PULONG nodeCount);

  CameraDeviceControls* camera_;
  UsbDevice* device_;
  UvcModel model_;
  CameraControlHandler* cameraTerminal_;
  VideoProcAmpHandler* processingUnit_;
  PrivateControlHandler* privateHandler_;
  ExtensionUnitHandler* extensionUnits_[kMaxExtensionUnits];
  ULONG extensionUnitCount_;
  RegionControlHandler* regionHandler_;
  bool hasFaceExposureWindow_;
  bool usb3_;

  KSPROPERTY_SET filterSets_[kMaxPropertySets];
  ULONG filterSetCount_;
  KSEVENT_SET filterEventSets_[kMaxEventSets];
  ULONG filterEventSetCount_;
  KSPROPERTY_SET processingUnitSets_[kMaxPropertySets];
  ULONG processingUnitSetCount_;
  KSPROPERTY_SET cameraTerminalSets_[kMaxPropertySets];
  ULONG cameraTerminalSetCount_;
  KSPROPERTY_SET extensionUnitSets_[kMaxPropertySets];
  ULONG extensionUnitSetCount_;
  KSPROPERTY_SET streamingSets_[kStreamingNodeSets];
  ULONG streamingSetCount_;
  KSAUTOMATION_TABLE nodeAutomation_[kMaxTopologyNodes];
};

}  // namespace kvz
