// The parsed model of one camera's UVC descriptors: control handlers built from the video
// control units, the two format tables from the streaming formats, the alternate settings'
// bandwidth, the filter's property and event sets and the topology nodes' automation tables, and
// the configuration selection that decides between bulk and isochronous streaming.
#pragma once
#include <wdm.h>
#include <ks.h>
#include <usb.h>
#include <usbdlib.h>

#include "driver/pins/format_table.h"
#include "usb/usb_limits.h"
#include "uvcmodel/descriptor_rules.h"

namespace kvz {

class UsbDevice;
class CameraControlHandler;
class VideoProcAmpHandler;
class ExtensionUnitHandler;
class PrivateControlHandler;
class RegionControlHandler;

// Driver-wide wIndex words of the vendor extension units (unit id << 8, video control interface).
extern USHORT VendorUnitIndex;
extern USHORT SecondVendorUnitIndex;

struct BandwidthEntry {
  UCHAR AlternateSetting;
  ULONG BytesPerInterval;
};

class UnitContainer {
 public:
  explicit UnitContainer(UsbDevice* device);
  ~UnitContainer() { ReleaseConfiguration(); }
  UnitContainer(const UnitContainer&) = delete;
  UnitContainer& operator=(const UnitContainer&) = delete;

  // Set by the device before the configuration is parsed: bcdUSB above 0x02FF (bandwidth from the
  // SuperSpeed companions), and the capture table's 848-pixel rate limit of the special camera.
  VOID SetUsb3(bool usb3) { usb3_ = usb3; }
  VOID SetLimit848Rate(bool limit) { limit848Rate_ = limit; }

  // Reads a descriptor of *length bytes into a new pool block (*buffer, freed by the caller with
  // ExFreePool, also on failure); *length becomes the bytes transferred. A configuration
  // descriptor is read again once with its wTotalLength, and *length becomes the bytes usable:
  // min(transferred, wTotalLength); a configuration header that is short, of another type or
  // whose wTotalLength is below 9 is STATUS_DEVICE_DATA_ERROR.
  NTSTATUS GetDescriptor(PUCHAR* buffer, PULONG length, UCHAR type);

  // The whole walk over the configuration (length bytes). Descriptors that break the UVC or USB
  // length rules fail it with STATUS_DEVICE_DATA_ERROR before anything is built.
  NTSTATUS ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR configuration, ULONG length,
                                        PKSAUTOMATION_TABLE filterAutomation, PKSNODE_DESCRIPTOR nodes,
                                        PULONG nodeCount, PULONG pinCount, ULONG firstInterface);
  // The caller frees *interruptInterface (when handed out) with ExFreePool; streamingInterface is
  // the caller's record with room for one pipe.
  NTSTATUS SelectConfiguration(PUSB_CONFIGURATION_DESCRIPTOR configuration, ULONG length,
                               PUSBD_INTERFACE_INFORMATION* interruptInterface,
                               PUSBD_INTERFACE_INFORMATION streamingInterface,
                               USBD_CONFIGURATION_HANDLE* configurationHandle, PULONG bulk);
  VOID ReleaseConfiguration();

  ULONG GetVendorUnitFlag() const { return vendorUnitFlag_; }
  bool GetFormatEntry(FrameEntry* entry, ULONG subtype, ULONG width, ULONG height, ULONG pinType) const;
  ULONG GetFormatList(const PKSDATARANGE** ranges, ULONG pinType) const;
  ULONG CopyBandwidthTable(BandwidthEntry* buffer) const;
  ExtensionUnitHandler* LocateExtensionUnit(const GUID& unit);
  ExtensionUnitHandler* LookupExtensionUnit(const GUID& unit);
  ExtensionUnitHandler* LocateExtensionHandler(const GUID& unit) const;

  UCHAR StillCaptureMethod() const { return stillCaptureMethod_; }
  FormatTable* CaptureFormats() const { return captureFormats_; }
  FormatTable* StillFormats() const { return stillFormats_; }
  CameraControlHandler* CameraTerminal() const { return cameraTerminal_; }
  VideoProcAmpHandler* ProcessingUnit() const { return processingUnit_; }
  PrivateControlHandler* PrivateHandler() const { return privateHandler_; }
  RegionControlHandler* RegionHandler() const { return regionHandler_; }
  ULONG ExtensionUnitCount() const { return extensionUnitCount_; }
  ExtensionUnitHandler* ExtensionUnit(ULONG i) const { return extensionUnits_[i]; }

 private:
  NTSTATUS ReadDescriptorOnce(PURB urb, PUCHAR* buffer, ULONG length, UCHAR type, PULONG transferred);
  const UCHAR* FindInterface(const UCHAR* from, LONG number, LONG alternate) const;
  NTSTATUS ParseVideoControlInterface(const UCHAR* interface);
  NTSTATUS CreateExtensionUnit(const UCHAR* unit);
  NTSTATUS ParseVideoStreamingInterface(const UCHAR* interface);
  ULONG ParseMjpegFormat(const UCHAR* format, const UCHAR* end);
  ULONG ParseYuy2Format(const UCHAR* format, const UCHAR* end);
  ULONG ParseFormatGroup(const UCHAR* format, const UCHAR* end, ULONG sourceCode, UCHAR frameSubtype,
                         FrameEntry* entry);
  VOID OfferFormat(FormatTable* table, ULONG sourceCode, ULONG pinType, PCWSTR path, FrameEntry* entry);
  VOID InterposeSizes(FormatTable* table, ULONG sourceCode, ULONG type, PCWSTR path, FrameEntry* entry);
  VOID ParseStillFrames(const UCHAR* still, FrameEntry* entry);
  VOID SortFrameIntervals(const UCHAR* intervals, ULONG count, FrameEntry* entry);
  NTSTATUS RecordAlternateSettings(const UCHAR* interface);
  NTSTATUS AddAlternateSetting(const UCHAR* interface);
  NTSTATUS CreateDefaultUnits();
  VOID DetectVendorExtensionUnit();
  ULONG CheckVendorExtensionUnits();
  NTSTATUS BuildPropertySets(PKSAUTOMATION_TABLE filterAutomation);
  VOID BuildAutomationTable(PKSNODE_DESCRIPTOR nodes, PULONG nodeCount);
  ExtensionUnitHandler* FindExtensionUnit(const GUID& unit) const;

  CameraControlHandler* cameraTerminal_;
  UCHAR stillCaptureMethod_;
  FormatTable* captureFormats_;
  FormatTable* stillFormats_;
  VideoProcAmpHandler* processingUnit_;
  PrivateControlHandler* privateHandler_;
  ExtensionUnitHandler* extensionUnits_[kMaxExtensionUnits];
  ULONG extensionUnitCount_;
  RegionControlHandler* regionHandler_;
  ULONG vendorUnitFlag_;
  UCHAR controlInterfaceNumber_;  // the parsed video control interface: the units' wIndex low byte
  UsbDevice* device_;
  bool usb3_;
  bool limit848Rate_;
  const UCHAR* configuration_;
  const UCHAR* configurationEnd_;
  bool streamingParsed_;

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
  BandwidthEntry bandwidth_[kMaxAlternateSettings];
  ULONG bandwidthCount_;
  KSAUTOMATION_TABLE nodeAutomation_[kMaxTopologyNodes];
};

}  // namespace kvz
