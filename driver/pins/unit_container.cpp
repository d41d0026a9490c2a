#include "driver/pins/unit_container.h"

#include <ksmedia.h>

#include "driver/controls/camera_control_handler.h"
#include "driver/controls/camera_device_controls.h"
#include "driver/controls/control_constants.h"
#include "driver/controls/extension_unit_handler.h"
#include "driver/controls/private_control_handler.h"
#include "driver/controls/region_control_handler.h"
#include "driver/pins/video_control_set.h"
#include "driver/controls/video_proc_amp_handler.h"
#include "common/system_version.h"
#include "primitives/pool_object.h"
#include "usb/usb_device.h"
#include "uvcmodel/uvc_limits.h"
#include "uvcmodel/vendor_unit_guids.h"

namespace kvz {

namespace {


// Default units of a system that cannot be trusted with the camera's own: every control bit of a
// three-byte terminal bitmap and a two-byte processing unit bitmap.
constexpr UCHAR kDefaultTerminalControls[] = {0xFF, 0xFF, 0xFF};
constexpr UCHAR kDefaultProcessingUnitControls[] = {0xFF, 0xFF};

VOID FillAutomationTable(KSAUTOMATION_TABLE* table, const KSPROPERTY_SET* sets, ULONG setCount,
                         const KSEVENT_SET* eventSets, ULONG eventSetCount) {
  *table = KSAUTOMATION_TABLE{};
  table->PropertySetsCount = setCount;
  table->PropertyItemSize = sizeof(KSPROPERTY_ITEM);
  table->PropertySets = setCount ? sets : nullptr;
  table->MethodItemSize = sizeof(KSMETHOD_ITEM);
  table->EventSetsCount = eventSetCount;
  table->EventItemSize = sizeof(KSEVENT_ITEM);
  table->EventSets = eventSetCount ? eventSets : nullptr;
}

// The compression and dropped-frames sets of the streaming node: requests succeed and return no
// data.
NTSTATUS NTAPI AnswerWithoutData(PIRP irp, PKSIDENTIFIER, PVOID) {
  irp->IoStatus.Information = 0;
  return STATUS_SUCCESS;
}

const KSPROPERTY_STEPPING_LONG kQualityRange = {1, 0, {{0, 10000}}};
const KSPROPERTY_MEMBERSLIST kQualityMembers[] = {
    {{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, &kQualityRange}};
const KSPROPERTY_VALUES kQualityValues = {{{{KSPROPTYPESETID_General, VT_I4, 0}}}, 1, kQualityMembers};

const KSPROPERTY_ITEM kCompressionItems[] = {
    {KSPROPERTY_VIDEOCOMPRESSION_GETINFO, {AnswerWithoutData}, sizeof(KSPROPERTY), 0, {nullptr}, nullptr, 0,
     nullptr, nullptr, 0},
    {KSPROPERTY_VIDEOCOMPRESSION_KEYFRAME_RATE, {AnswerWithoutData}, sizeof(KSPROPERTY), 0, {AnswerWithoutData},
     nullptr, 0, nullptr, nullptr, 0},
    {KSPROPERTY_VIDEOCOMPRESSION_PFRAMES_PER_KEYFRAME, {AnswerWithoutData}, sizeof(KSPROPERTY), 0,
     {AnswerWithoutData}, nullptr, 0, nullptr, nullptr, 0},
    {KSPROPERTY_VIDEOCOMPRESSION_QUALITY, {AnswerWithoutData}, sizeof(KSPROPERTY), 0, {AnswerWithoutData},
     &kQualityValues, 0, nullptr, nullptr, 0},
};

const KSPROPERTY_ITEM kDroppedFramesItems[] = {
    {0, {AnswerWithoutData}, sizeof(KSPROPERTY), 0, {nullptr}, nullptr, 0, nullptr, nullptr, 0},
};

template <typename T, ULONG N>
constexpr ULONG CountOf(T (&)[N]) {
  return N;
}

}  // namespace

UnitContainer::UnitContainer(CameraDeviceControls* camera)
    : camera_(camera),
      device_(camera ? camera->GetUsbDevice() : nullptr),
      model_(),
      cameraTerminal_(nullptr),
      processingUnit_(nullptr),
      privateHandler_(nullptr),
      extensionUnits_(),
      extensionUnitCount_(0),
      regionHandler_(nullptr),
      hasFaceExposureWindow_(false),
      usb3_(false),
      filterSetCount_(0),
      filterEventSetCount_(0),
      processingUnitSetCount_(0),
      cameraTerminalSetCount_(0),
      extensionUnitSetCount_(0),
      streamingSetCount_(0) {}

// The handlers are built in descriptor order, each while the device addresses the control
// interface its unit belongs to, as the walk over the configuration meets them; a failure stops
// the build where the walk would have stopped.
NTSTATUS UnitContainer::ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR configuration, ULONG length,
                                                     PKSAUTOMATION_TABLE filterAutomation, PKSNODE_DESCRIPTOR nodes,
                                                     PULONG nodeCount, ULONG firstInterface) {
  PAGED_CODE();
  const bool windows2000 = GetWindowsVersionCode() == kWindows2000;
  NTSTATUS result = model_.Parse(reinterpret_cast<const UCHAR*>(configuration), length, firstInterface, usb3_,
                                 !windows2000);
  if (!NT_SUCCESS(result)) return result;

  result = BuildUnitHandlers();
  if (NT_SUCCESS(result) && model_.HasStreamingInterface() && device_)
    device_->SetStreamingInterface(model_.StreamingInterface());
  if (NT_SUCCESS(result)) result = model_.WalkStatus();
  if (NT_SUCCESS(result) && windows2000) result = CreateDefaultUnits();
  RecordVendorUnits();
  const ExtensionUnitHandler* vendor = FirstVendorUnit();
  hasFaceExposureWindow_ = vendor && HasExtensionControl(vendor, kXuFaceExposureWindow);
  if (NT_SUCCESS(result)) {
    result = BuildPropertySets(filterAutomation);
    if (NT_SUCCESS(result)) BuildAutomationTable(nodes, nodeCount);
  }
  return result;
}

NTSTATUS UnitContainer::BuildUnitHandlers() {
  for (ULONG i = 0; i < model_.UnitCount(); ++i) {
    const UvcUnit& unit = model_.Unit(i);
    if (device_) device_->SetControlInterface(unit.Interface);
    const NTSTATUS result = BuildUnitHandler(unit);
    if (!NT_SUCCESS(result)) return result;
  }
  if (device_ && model_.HasControlInterface()) device_->SetControlInterface(model_.ControlInterface());
  return STATUS_SUCCESS;
}

// The first camera terminal and the first processing unit get handlers; the ids they were built
// from address their requests.
NTSTATUS UnitContainer::BuildUnitHandler(const UvcUnit& unit) {
  switch (unit.Kind) {
    case kUvcCameraTerminal:
      if (cameraTerminal_) return STATUS_SUCCESS;
      cameraTerminal_ =
          PoolNew<CameraControlHandler>(kTagCameraTerminalHandler, unit, camera_);
      return cameraTerminal_ ? cameraTerminal_->BuildPropertySet() : STATUS_SUCCESS;
    case kUvcProcessingUnit:
      if (processingUnit_) return STATUS_SUCCESS;
      if (device_) device_->SetProcessingUnitId(unit.Id);
      processingUnit_ = PoolNew<VideoProcAmpHandler>(kTagProcessingUnitHandler, unit, camera_);
      return processingUnit_ ? processingUnit_->BuildPropertySet() : STATUS_SUCCESS;
    case kUvcExtensionUnit:
      return extensionUnitCount_ < kMaxExtensionUnits ? CreateExtensionUnit(unit) : STATUS_SUCCESS;
  }
  return STATUS_SUCCESS;
}

// A unit with more controls than a set has items is left out without failing the start.
NTSTATUS UnitContainer::CreateExtensionUnit(const UvcUnit& unit) {
  if (CountSetBits(unit.Controls, unit.ControlSize) > kMaxExtensionControls) return STATUS_SUCCESS;
  ExtensionUnitHandler* handler =
      PoolNew<ExtensionUnitHandler>(kTagExtensionUnitHandler, unit, device_);
  if (!handler) return STATUS_SUCCESS;
  extensionUnits_[extensionUnitCount_++] = handler;
  return handler->BuildPropertySet();
}

NTSTATUS UnitContainer::CreateDefaultUnits() {
  UvcUnit terminal = {};
  terminal.Kind = kUvcCameraTerminal;
  terminal.Id = kDefaultCameraTerminalId;
  terminal.Controls = kDefaultTerminalControls;
  terminal.ControlSize = sizeof(kDefaultTerminalControls);
  UvcUnit unit = {};
  unit.Kind = kUvcProcessingUnit;
  unit.Id = kDefaultProcessingUnitId;
  unit.Controls = kDefaultProcessingUnitControls;
  unit.ControlSize = sizeof(kDefaultProcessingUnitControls);
  if (device_) device_->SetProcessingUnitId(kDefaultProcessingUnitId);
  PoolDelete(cameraTerminal_, kTagCameraTerminalHandler);
  PoolDelete(processingUnit_, kTagProcessingUnitHandler);
  cameraTerminal_ = PoolNew<CameraControlHandler>(kTagCameraTerminalHandler, terminal, camera_);
  if (cameraTerminal_) cameraTerminal_->BuildPropertySet();
  processingUnit_ = PoolNew<VideoProcAmpHandler>(kTagProcessingUnitHandler, unit, camera_);
  return processingUnit_ ? processingUnit_->BuildPropertySet() : STATUS_INSUFFICIENT_RESOURCES;
}

ExtensionUnitHandler* UnitContainer::FindExtensionUnit(const GUID& unit) const {
  for (ULONG i = 0; i < extensionUnitCount_; ++i)
    if (extensionUnits_[i] && IsEqualGUID(extensionUnits_[i]->UnitGuid(), unit)) return extensionUnits_[i];
  return nullptr;
}

ExtensionUnitHandler* UnitContainer::FirstVendorUnit() const {
  for (const GUID& guid : VendorUnitGuids)
    if (ExtensionUnitHandler* handler = FindExtensionUnit(guid)) return handler;
  return nullptr;
}

// The register pairs, the face-exposure window and the test stream reach this camera's units
// through its own USB device; a camera without a vendor unit keeps the index it had.
VOID UnitContainer::RecordVendorUnits() const {
  if (!device_) return;
  const ExtensionUnitHandler* test = FindExtensionUnit(TestUnitGuid);
  device_->SetTestUnitIndex(test ? test->UnitIndex() : 0x00FF);
  if (const ExtensionUnitHandler* vendor = FirstVendorUnit()) device_->SetVendorUnitIndex(vendor->UnitIndex());
}

NTSTATUS UnitContainer::BuildPropertySets(PKSAUTOMATION_TABLE filterAutomation) {
  filterSetCount_ = 0;
  filterEventSetCount_ = 0;
  const KSPROPERTY_ITEM* items = nullptr;
  ULONG count = 0;
  auto append = [this](const GUID* set, ULONG n, const KSPROPERTY_ITEM* list) {
    if (n == 0 || filterSetCount_ >= kMaxPropertySets) return;
    filterSets_[filterSetCount_++] = {set, n, list, 0, nullptr};
  };
  if (cameraTerminal_ && (count = cameraTerminal_->GetPropertyItems(&items)) != 0)
    append(&PROPSETID_VIDCAP_CAMERACONTROL, count, items);
  if (processingUnit_ && (count = processingUnit_->GetPropertyItems(&items)) != 0)
    append(&PROPSETID_VIDCAP_VIDEOPROCAMP, count, items);
  for (ULONG i = 0; i < extensionUnitCount_; ++i)
    if ((count = extensionUnits_[i]->GetPropertyItems(&items)) != 0)
      append(&extensionUnits_[i]->UnitGuid(), count, items);

  privateHandler_ = PoolNew<PrivateControlHandler>(kTagPrivateHandler, camera_);
  if (!privateHandler_) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = privateHandler_->BuildPropertySet();
  if (!NT_SUCCESS(status)) return status;
  count = privateHandler_->GetPropertyItems(&items);
  append(&PROPSETID_KVZ_PRIVATE, count, items);

  if (hasFaceExposureWindow_) {
    regionHandler_ = PoolNew<RegionControlHandler>(kTagRegionHandler, camera_);
    if (!regionHandler_) return STATUS_INSUFFICIENT_RESOURCES;
    status = regionHandler_->BuildPropertySet();
    if (NT_SUCCESS(status)) status = regionHandler_->InitEventItems();
    if (!NT_SUCCESS(status)) return status;
    count = regionHandler_->GetPropertyItems(&items);
    append(&PROPSETID_KVZ_REGION, count, items);
    const KSEVENT_ITEM* events = nullptr;
    const ULONG eventCount = regionHandler_->GetEventItems(&events);
    if (eventCount) filterEventSets_[filterEventSetCount_++] = {&EVENTSETID_KVZ_REGION, eventCount, events};
  }
  count = GetVideoControlItems(&items);
  append(&PROPSETID_VIDCAP_VIDEOCONTROL, count, items);
  append(&PROPSETID_VIDCAP_VIDEOCOMPRESSION, CountOf(kCompressionItems), kCompressionItems);
  FillAutomationTable(filterAutomation, filterSets_, filterSetCount_, filterEventSets_, filterEventSetCount_);
  return STATUS_SUCCESS;
}

VOID UnitContainer::BuildAutomationTable(PKSNODE_DESCRIPTOR nodes, PULONG nodeCount) {
  ULONG node = 0;
  const KSPROPERTY_ITEM* items = nullptr;
  ULONG count = 0;

  // The terminal's and the processing unit's nodes: their one set, or none.
  auto unitNode = [&](ControlHandler* handler, const GUID* set, KSPROPERTY_SET* sets, ULONG* setCount,
                      const GUID* type) {
    *setCount = 0;
    if (handler && (count = handler->GetPropertyItems(&items)) != 0) sets[(*setCount)++] = {set, count, items, 0, nullptr};
    FillAutomationTable(&nodeAutomation_[node], sets, *setCount, nullptr, 0);
    nodes[node] = {&nodeAutomation_[node], type, type};
    ++node;
  };
  unitNode(cameraTerminal_, &PROPSETID_VIDCAP_CAMERACONTROL, cameraTerminalSets_, &cameraTerminalSetCount_,
           &KSNODETYPE_VIDEO_CAMERA_TERMINAL);
  unitNode(processingUnit_, &PROPSETID_VIDCAP_VIDEOPROCAMP, processingUnitSets_, &processingUnitSetCount_,
           &KSNODETYPE_VIDEO_PROCESSING);

  // Each unit's node lists the shared table up to and including its own set.
  extensionUnitSetCount_ = 0;
  for (ULONG i = 0; i < extensionUnitCount_; ++i) {
    if ((count = extensionUnits_[i]->GetPropertyItems(&items)) != 0)
      extensionUnitSets_[extensionUnitSetCount_++] = {&extensionUnits_[i]->UnitGuid(), count, items, 0, nullptr};
    FillAutomationTable(&nodeAutomation_[node], extensionUnitSets_, extensionUnitSetCount_, nullptr, 0);
    nodes[node] = {&nodeAutomation_[node], &KSNODETYPE_DEV_SPECIFIC, &KSNODETYPE_DEV_SPECIFIC};
    ++node;
  }

  streamingSetCount_ = 0;
  count = GetVideoControlItems(&items);
  streamingSets_[streamingSetCount_++] = {&PROPSETID_VIDCAP_VIDEOCONTROL, count, items, 0, nullptr};
  streamingSets_[streamingSetCount_++] = {&PROPSETID_VIDCAP_VIDEOCOMPRESSION, CountOf(kCompressionItems),
                                          kCompressionItems, 0, nullptr};
  streamingSets_[streamingSetCount_++] = {&PROPSETID_VIDCAP_DROPPEDFRAMES, CountOf(kDroppedFramesItems),
                                          kDroppedFramesItems, 0, nullptr};
  FillAutomationTable(&nodeAutomation_[node], streamingSets_, streamingSetCount_, nullptr, 0);
  nodes[node] = {&nodeAutomation_[node], &KSNODETYPE_VIDEO_STREAMING, &KSNODETYPE_VIDEO_STREAMING};
  ++node;
  *nodeCount = node;
}

ULONG UnitContainer::CopyBandwidthTable(BandwidthEntry* buffer) const {
  if (!buffer) return 0;
  RtlCopyMemory(buffer, model_.Bandwidth(), model_.BandwidthCount() * sizeof(BandwidthEntry));
  return model_.BandwidthCount();
}

VOID UnitContainer::ReleaseConfiguration() {
  PoolDelete(processingUnit_, kTagProcessingUnitHandler);
  PoolDelete(cameraTerminal_, kTagCameraTerminalHandler);
  PoolDelete(privateHandler_, kTagPrivateHandler);
  PoolDelete(regionHandler_, kTagRegionHandler);
  while (extensionUnitCount_) {
    --extensionUnitCount_;
    PoolDelete(extensionUnits_[extensionUnitCount_], kTagExtensionUnitHandler);
  }
}

}  // namespace kvz
