#include "usb/unit_container.h"

#include <new>

#include <ksmedia.h>
#include <usb100.h>

#include "driver/controls/camera_control_handler.h"
#include "driver/controls/control_constants.h"
#include "driver/controls/extension_unit_handler.h"
#include "driver/controls/private_control_handler.h"
#include "driver/controls/region_control_handler.h"
#include "driver/controls/video_control_set.h"
#include "driver/controls/video_proc_amp_handler.h"
#include "primitives/driver_memory.h"
#include "uvcmodel/descriptor_rules.h"
#include "usb/usb_device.h"
#include "usb/usbd_status.h"
#include "uvcmodel/vendor_unit_guids.h"

namespace kvz {

USHORT VendorUnitIndex = 0;
USHORT SecondVendorUnitIndex = 0x00FF;

namespace {

constexpr int kWindows2000 = 1;
constexpr ULONG kIsochAlternateEndpoints = 1;

// Interface descriptor fields.
constexpr ULONG kInterfaceNumber = 2;
constexpr ULONG kAlternateSetting = 3;
constexpr ULONG kNumEndpoints = 4;
constexpr ULONG kInterfaceClass = 5;
constexpr ULONG kInterfaceSubclass = 6;
// Endpoint and companion fields.
constexpr ULONG kMaxPacketSize = 4;
constexpr ULONG kBytesPerInterval = 4;
// Terminal and unit fields.
constexpr ULONG kEntityId = 3;
constexpr ULONG kExtensionUnitInPins = 21;

// Default units of a system that cannot be trusted with the camera's own.
constexpr ULONG kDefaultTerminalLength = 19;
constexpr ULONG kDefaultProcessingUnitLength = 12;

const UCHAR* Next(const UCHAR* d) { return d + d[0]; }

template <typename Handler, typename... Args>
Handler* CreateHandler(ULONG tag, Args... args) {
  PVOID block = ExAllocatePoolWithTag(DriverPoolType, sizeof(Handler), tag);
  if (!block) return nullptr;
  RtlZeroMemory(block, sizeof(Handler));
  return new (block) Handler(args...);
}

template <typename Handler>
VOID DestroyHandler(Handler** handler) {
  if (!*handler) return;
  (*handler)->~Handler();
  ExFreePool(*handler);
  *handler = nullptr;
}

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

UnitContainer::UnitContainer(UsbDevice* device)
    : cameraTerminal_(nullptr),
      stillCaptureMethod_(0),
      captureFormats_(nullptr),
      stillFormats_(nullptr),
      processingUnit_(nullptr),
      privateHandler_(nullptr),
      extensionUnits_(),
      extensionUnitCount_(0),
      regionHandler_(nullptr),
      vendorUnitFlag_(0),
      controlInterfaceNumber_(0),
      device_(device),
      usb3_(false),
      limit848Rate_(false),
      configuration_(nullptr),
      configurationEnd_(nullptr),
      streamingParsed_(false),
      filterSetCount_(0),
      filterEventSetCount_(0),
      processingUnitSetCount_(0),
      cameraTerminalSetCount_(0),
      extensionUnitSetCount_(0),
      streamingSetCount_(0),
      bandwidthCount_(0) {}

NTSTATUS UnitContainer::ReadDescriptorOnce(PURB urb, PUCHAR* buffer, ULONG length, UCHAR type, PULONG transferred) {
  *buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverPoolType, length, kTagDescriptor));
  if (!*buffer) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(*buffer, length);
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, *buffer, nullptr,
                               length, nullptr);
  NTSTATUS status = device_->SubmitUrbSync(urb);
  if (NT_SUCCESS(status)) status = UsbdStatusToNtStatus(urb->UrbHeader.Status);
  ULONG got = urb->UrbControlDescriptorRequest.TransferBufferLength;
  *transferred = got < length ? got : length;
  return status;
}

NTSTATUS UnitContainer::GetDescriptor(PUCHAR* buffer, PULONG length, UCHAR type) {
  PAGED_CODE();
  *buffer = nullptr;
  auto urb = static_cast<PURB>(
      ExAllocatePoolWithTag(DriverPoolType, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), kTagDescriptorUrb));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG transferred = 0;
  NTSTATUS status = ReadDescriptorOnce(urb, buffer, *length, type, &transferred);
  if (NT_SUCCESS(status) && type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    ULONG usable = 0;
    status = CheckConfigurationHeader(*buffer, transferred, &usable);
    const ULONG total = NT_SUCCESS(status) ? ReadWord(*buffer + 2) : 0;
    if (NT_SUCCESS(status) && total > transferred) {
      ExFreePoolWithTag(*buffer, kTagDescriptor);
      *buffer = nullptr;
      status = ReadDescriptorOnce(urb, buffer, total, type, &transferred);
      if (NT_SUCCESS(status)) status = CheckConfigurationHeader(*buffer, transferred, &usable);
    }
    transferred = usable;
  }
  *length = transferred;
  ExFreePoolWithTag(urb, kTagDescriptorUrb);
  return status;
}

// The first interface descriptor at or after from with that number (and alternate setting, -1
// for any); the configuration has been validated, so every step stays inside it.
const UCHAR* UnitContainer::FindInterface(const UCHAR* from, LONG number, LONG alternate) const {
  for (const UCHAR* d = from; d < configurationEnd_; d = Next(d)) {
    if (d[1] != USB_INTERFACE_DESCRIPTOR_TYPE) continue;
    if ((number < 0 || d[kInterfaceNumber] == number) && (alternate < 0 || d[kAlternateSetting] == alternate))
      return d;
  }
  return nullptr;
}

NTSTATUS UnitContainer::ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR configuration, ULONG length,
                                                     PKSAUTOMATION_TABLE filterAutomation, PKSNODE_DESCRIPTOR nodes,
                                                     PULONG nodeCount, PULONG pinCount, ULONG firstInterface) {
  PAGED_CODE();
  const auto* bytes = reinterpret_cast<const UCHAR*>(configuration);
  ULONG usable = 0;
  NTSTATUS status = CheckConfigurationHeader(bytes, length, &usable);
  if (NT_SUCCESS(status)) status = ValidateConfiguration(bytes, usable);
  if (!NT_SUCCESS(status)) return status;
  configuration_ = bytes;
  configurationEnd_ = bytes + usable;

  const bool windows2000 = GetWindowsVersionCode() == kWindows2000;
  NTSTATUS result = STATUS_SUCCESS;
  ULONG counted = 0;
  for (ULONG number = firstInterface; number < kMaxInterfaceNumbers && counted < configuration->bNumInterfaces;
       ++number) {
    const UCHAR* d = FindInterface(bytes, static_cast<LONG>(number), -1);
    if (!d) {
      if (!windows2000) ++counted;
      continue;
    }
    ++counted;
    if (d[kInterfaceClass] != kVideoClass) continue;
    if (d[kInterfaceSubclass] == kVideoControlSubclass) {
      result = ParseVideoControlInterface(d);
    } else if (d[kInterfaceSubclass] == kVideoStreamingSubclass && !streamingParsed_) {
      streamingParsed_ = true;
      if (device_) device_->SetStreamingInterface(d[kInterfaceNumber]);
      ParseVideoStreamingInterface(d);
      result = RecordAlternateSettings(d);
    }
    if (!NT_SUCCESS(result)) break;
  }
  if (NT_SUCCESS(result) && windows2000) result = CreateDefaultUnits();
  DetectVendorExtensionUnit();
  if (NT_SUCCESS(result)) {
    result = BuildPropertySets(filterAutomation);
    if (NT_SUCCESS(result)) BuildAutomationTable(nodes, nodeCount);
  }
  if (stillFormats_ && stillFormats_->DataRangeCount()) *pinCount = 3;
  return result;
}

// The header follows the interface descriptor; it is the only way to know where the units end.
NTSTATUS UnitContainer::ParseVideoControlInterface(const UCHAR* interface) {
  controlInterfaceNumber_ = interface[kInterfaceNumber];
  if (device_) device_->SetControlInterface(controlInterfaceNumber_);
  const UCHAR* header = Next(interface);
  if (header >= configurationEnd_ || header[1] != kCsInterface || header[2] != kVcHeader)
    return STATUS_DEVICE_DATA_ERROR;
  const ULONG room = static_cast<ULONG>(configurationEnd_ - header);
  ULONG total = ReadWord(header + 5);
  if (total > room) total = room;
  const UCHAR* end = header + total;
  NTSTATUS result = STATUS_SUCCESS;
  // Units end where the next interface begins, whatever the header claims.
  for (const UCHAR* d = Next(header); d < end && Next(d) <= end && d[1] != USB_INTERFACE_DESCRIPTOR_TYPE;
       d = Next(d)) {
    if (d[1] != kCsInterface) continue;
    switch (d[2]) {
      case kVcInputTerminal:
        if (cameraTerminal_ || !IsCompleteCameraTerminal(d)) break;
        cameraTerminal_ = CreateHandler<CameraControlHandler>(kTagCameraTerminalHandler, d, ULONG{d[0]}, device_);
        if (cameraTerminal_) result = cameraTerminal_->BuildPropertySet();
        break;
      case kVcProcessingUnit:
        if (processingUnit_) break;
        if (device_) device_->SetProcessingUnitId(d[kEntityId]);
        processingUnit_ = CreateHandler<VideoProcAmpHandler>(kTagProcessingUnitHandler, d, ULONG{d[0]}, device_);
        if (processingUnit_) result = processingUnit_->BuildPropertySet();
        break;
      case kVcExtensionUnit:
        if (extensionUnitCount_ < kMaxExtensionUnits) result = CreateExtensionUnit(d);
        break;
      default:
        break;
    }
    if (!NT_SUCCESS(result)) break;
  }
  return result;
}

// A unit with more controls than a set has items is left out without failing the start.
NTSTATUS UnitContainer::CreateExtensionUnit(const UCHAR* unit) {
  const ULONG pins = unit[kExtensionUnitInPins];
  const ULONG controlSize = unit[kExtensionUnitInPins + 1 + pins];
  if (CountSetBits(unit + kExtensionUnitInPins + 2 + pins, controlSize) > kMaxExtensionControls)
    return STATUS_SUCCESS;
  ExtensionUnitHandler* handler =
      CreateHandler<ExtensionUnitHandler>(kTagExtensionUnitHandler, unit, ULONG{unit[0]}, device_,
                                          controlInterfaceNumber_);
  if (!handler) return STATUS_SUCCESS;
  extensionUnits_[extensionUnitCount_++] = handler;
  return handler->BuildPropertySet();
}

NTSTATUS UnitContainer::RecordAlternateSettings(const UCHAR* interface) {
  bandwidthCount_ = 0;
  NTSTATUS result = AddAlternateSetting(interface);
  const LONG number = interface[kInterfaceNumber];
  const UCHAR* d = interface;
  for (LONG alternate = 1; alternate < 256 && bandwidthCount_ < kMaxAlternateSettings; ++alternate) {
    d = FindInterface(Next(d), number, alternate);
    if (!d) break;
    result = AddAlternateSetting(d);
  }
  return result;
}

// The endpoint (and on USB 3 its companion) must follow the interface directly and be of its
// type; otherwise the bandwidth is what the descriptors that are there allow, or 0.
NTSTATUS UnitContainer::AddAlternateSetting(const UCHAR* interface) {
  if (!interface) return STATUS_INVALID_PARAMETER;
  if (bandwidthCount_ >= kMaxAlternateSettings) return STATUS_SUCCESS;
  BandwidthEntry& entry = bandwidth_[bandwidthCount_];
  entry.AlternateSetting = interface[kAlternateSetting];
  entry.BytesPerInterval = 0;
  const UCHAR* endpoint = Next(interface);
  if (entry.AlternateSetting != 0 && endpoint < configurationEnd_ && endpoint[1] == USB_ENDPOINT_DESCRIPTOR_TYPE) {
    const UCHAR* companion = Next(endpoint);
    if (usb3_ && companion < configurationEnd_ &&
        companion[1] == USB_SUPERSPEED_ENDPOINT_COMPANION_DESCRIPTOR_TYPE) {
      entry.BytesPerInterval = ReadWord(companion + kBytesPerInterval);
    } else {
      const ULONG w = ReadWord(endpoint + kMaxPacketSize);
      entry.BytesPerInterval = w <= kHighSpeedMaxPacket
                                   ? (w & USB_ENDPOINT_MAX_PACKET_SIZE_MASK)
                                   : (w & USB_ENDPOINT_MAX_PACKET_SIZE_MASK) * (USB_ENDPOINT_ADDITIONAL_TRANSACTIONS(w) + 1);
    }
  }
  ++bandwidthCount_;
  return STATUS_SUCCESS;
}

NTSTATUS UnitContainer::CreateDefaultUnits() {
  auto* terminal = static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverPoolType, kDefaultTerminalLength, kTagDefaultTerminal));
  auto* unit = static_cast<PUCHAR>(
      ExAllocatePoolWithTag(DriverPoolType, kDefaultProcessingUnitLength, kTagDefaultProcessingUnit));
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (terminal && unit) {
    RtlZeroMemory(terminal, kDefaultTerminalLength);
    RtlZeroMemory(unit, kDefaultProcessingUnitLength);
    terminal[0] = kDefaultTerminalLength;
    terminal[kEntityId] = kDefaultCameraTerminalId;
    terminal[14] = 3;
    terminal[15] = terminal[16] = terminal[17] = 0xFF;
    unit[0] = kDefaultProcessingUnitLength;
    unit[kEntityId] = kDefaultProcessingUnitId;
    unit[7] = 2;
    unit[8] = unit[9] = 0xFF;
    if (device_) device_->SetProcessingUnitId(kDefaultProcessingUnitId);
    DestroyHandler(&cameraTerminal_);
    DestroyHandler(&processingUnit_);
    cameraTerminal_ =
        CreateHandler<CameraControlHandler>(kTagCameraTerminalHandler, static_cast<const UCHAR*>(terminal),
                                            kDefaultTerminalLength, device_);
    if (cameraTerminal_) cameraTerminal_->BuildPropertySet();
    processingUnit_ = CreateHandler<VideoProcAmpHandler>(kTagProcessingUnitHandler, static_cast<const UCHAR*>(unit),
                                                         kDefaultProcessingUnitLength, device_);
    status = processingUnit_ ? processingUnit_->BuildPropertySet() : STATUS_INSUFFICIENT_RESOURCES;
  }
  if (terminal) ExFreePoolWithTag(terminal, kTagDefaultTerminal);
  if (unit) ExFreePoolWithTag(unit, kTagDefaultProcessingUnit);
  return status;
}

ExtensionUnitHandler* UnitContainer::FindExtensionUnit(const GUID& unit) const {
  for (ULONG i = 0; i < extensionUnitCount_; ++i)
    if (extensionUnits_[i] && IsEqualGUID(extensionUnits_[i]->UnitGuid(), unit)) return extensionUnits_[i];
  return nullptr;
}

ExtensionUnitHandler* UnitContainer::LocateExtensionUnit(const GUID& unit) {
  ExtensionUnitHandler* handler = FindExtensionUnit(unit);
  if (handler) VendorUnitIndex = handler->UnitIndex();
  return handler;
}

ExtensionUnitHandler* UnitContainer::LookupExtensionUnit(const GUID& unit) {
  SecondVendorUnitIndex = 0x00FF;
  ExtensionUnitHandler* handler = FindExtensionUnit(unit);
  if (handler) SecondVendorUnitIndex = handler->UnitIndex();
  return handler;
}

ExtensionUnitHandler* UnitContainer::LocateExtensionHandler(const GUID& unit) const { return FindExtensionUnit(unit); }

VOID UnitContainer::DetectVendorExtensionUnit() { vendorUnitFlag_ = CheckVendorExtensionUnits(); }

ULONG UnitContainer::CheckVendorExtensionUnits() {
  for (const GUID& guid : VendorUnitGuids) {
    ExtensionUnitHandler* handler = LocateExtensionUnit(guid);
    if (handler) return HasExtensionControl(handler, kXuFaceExposureWindow) ? 1 : 0;
  }
  return 0;
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

  privateHandler_ = CreateHandler<PrivateControlHandler>(kTagPrivateHandler, device_);
  if (!privateHandler_) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = privateHandler_->BuildPropertySet();
  if (!NT_SUCCESS(status)) return status;
  count = privateHandler_->GetPropertyItems(&items);
  append(&PROPSETID_KVZ_PRIVATE, count, items);

  if (vendorUnitFlag_) {
    regionHandler_ = CreateHandler<RegionControlHandler>(kTagRegionHandler, device_);
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

NTSTATUS UnitContainer::SelectConfiguration(PUSB_CONFIGURATION_DESCRIPTOR configuration, ULONG length,
                                            PUSBD_INTERFACE_INFORMATION* interruptInterface,
                                            PUSBD_INTERFACE_INFORMATION streamingInterface,
                                            USBD_CONFIGURATION_HANDLE* configurationHandle, PULONG bulk) {
  PAGED_CODE();
  auto* bytes = reinterpret_cast<PUCHAR>(configuration);
  ULONG usable = 0;
  NTSTATUS status = CheckConfigurationHeader(bytes, length, &usable);
  if (NT_SUCCESS(status)) status = ValidateConfiguration(bytes, usable);
  if (!NT_SUCCESS(status)) return status;
  configuration_ = bytes;
  configurationEnd_ = bytes + usable;
  *interruptInterface = nullptr;

  const ULONG interfaces = configuration->bNumInterfaces;
  const ULONG listBytes = (interfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
  auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(ExAllocatePoolWithTag(PagedPool, listBytes, kTagInterfaceList));
  if (!list) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(list, listBytes);

  // Alternate setting 0 of each interface number; the first control and streaming interfaces.
  ULONG listed = 0;
  ULONG found = 0;
  LONG controlEntry = -1;
  LONG streamingEntry = -1;
  for (ULONG number = 0; number < kMaxInterfaceNumbers && found < interfaces; ++number) {
    auto* d = const_cast<PUCHAR>(FindInterface(bytes, static_cast<LONG>(number), 0));
    if (!d) continue;
    ++found;
    if (d[kInterfaceClass] != kVideoClass) continue;
    if (d[kInterfaceSubclass] == kVideoControlSubclass && controlEntry < 0 && d[kNumEndpoints] == 1) {
      controlEntry = static_cast<LONG>(listed);
      list[listed++].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
    } else if (d[kInterfaceSubclass] == kVideoStreamingSubclass && streamingEntry < 0) {
      streamingEntry = static_cast<LONG>(listed);
      list[listed++].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
      if (d[kNumEndpoints] != 0) {
        *bulk = 1;
        bandwidthCount_ = 0;
      } else {
        // Room for the pipe the streaming alternate settings will bring.
        *bulk = 0;
        d[kNumEndpoints] = kIsochAlternateEndpoints;
      }
    }
  }

  PURB urb = listed ? USBD_CreateConfigurationRequestEx(configuration, list) : nullptr;
  if (!urb) {
    ExFreePoolWithTag(list, kTagInterfaceList);
    return listed ? STATUS_INSUFFICIENT_RESOURCES : STATUS_DEVICE_DATA_ERROR;
  }
  status = device_->SubmitUrbSync(urb);
  if (NT_SUCCESS(status)) status = UsbdStatusToNtStatus(urb->UrbHeader.Status);
  if (NT_SUCCESS(status)) {
    *configurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    if (streamingEntry >= 0) {
      PUSBD_INTERFACE_INFORMATION selected = list[streamingEntry].Interface;
      RtlCopyMemory(streamingInterface, selected, sizeof(USBD_INTERFACE_INFORMATION));
      streamingInterface->Length = sizeof(USBD_INTERFACE_INFORMATION);
      if (streamingInterface->NumberOfPipes > 1) streamingInterface->NumberOfPipes = 1;
    }
    if (controlEntry >= 0) {
      auto* info = static_cast<PUSBD_INTERFACE_INFORMATION>(
          ExAllocatePoolWithTag(DriverPoolType, sizeof(USBD_INTERFACE_INFORMATION), kTagInterfaceInfo));
      if (info) {
        RtlCopyMemory(info, list[controlEntry].Interface, sizeof(USBD_INTERFACE_INFORMATION));
        info->Length = sizeof(USBD_INTERFACE_INFORMATION);
        if (info->NumberOfPipes > 1) info->NumberOfPipes = 1;
        *interruptInterface = info;
      } else {
        status = STATUS_INSUFFICIENT_RESOURCES;
      }
    }
  }
  ExFreePool(urb);
  ExFreePoolWithTag(list, kTagInterfaceList);
  return status;
}

bool UnitContainer::GetFormatEntry(FrameEntry* entry, ULONG subtype, ULONG width, ULONG height, ULONG pinType) const {
  const FormatTable* table = pinType == 1 ? captureFormats_ : stillFormats_;
  return table && table->FindFrameEntry(subtype, width, height, entry);
}

ULONG UnitContainer::GetFormatList(const PKSDATARANGE** ranges, ULONG pinType) const {
  const FormatTable* table = pinType == 1 ? captureFormats_ : stillFormats_;
  if (!table) {
    *ranges = nullptr;
    return 0;
  }
  return table->GetDataRanges(ranges);
}

ULONG UnitContainer::CopyBandwidthTable(BandwidthEntry* buffer) const {
  if (!buffer) return 0;
  RtlCopyMemory(buffer, bandwidth_, bandwidthCount_ * sizeof(BandwidthEntry));
  return bandwidthCount_;
}

VOID UnitContainer::ReleaseConfiguration() {
  FormatTable** tables[] = {&captureFormats_, &stillFormats_};
  for (FormatTable** table : tables) {
    if (!*table) continue;
    (*table)->Release();
    (*table)->~FormatTable();
    ExFreePoolWithTag(*table, kTagFormatTable);
    *table = nullptr;
  }
  DestroyHandler(&processingUnit_);
  DestroyHandler(&cameraTerminal_);
  DestroyHandler(&privateHandler_);
  DestroyHandler(&regionHandler_);
  while (extensionUnitCount_) {
    --extensionUnitCount_;
    DestroyHandler(&extensionUnits_[extensionUnitCount_]);
  }
  streamingParsed_ = false;
}

}  // namespace kvz
