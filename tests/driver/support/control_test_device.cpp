#include "control_test_device.h"

#include <new>

#include "driver/camera_control_handler.h"
#include "driver/device_settings.h"
#include "driver/extension_unit_handler.h"
#include "driver/private_control_handler.h"
#include "driver/region_control_handler.h"
#include "driver/video_proc_amp_handler.h"
#include "ksmedia.h"
#include "usb/unit_container.h"
#include "usb/usb_device.h"
#include "usb/vendor_unit_guids.h"
#include "usbdlib.h"

namespace kvz::drivertest {
namespace {

constexpr ULONG kTag = 'tDCT';
constexpr ULONG kMaxUnits = 3;

template <class T, class... Args>
T* PoolNew(Args... args) {
  void* block = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(T), kTag);
  if (!block) return nullptr;
  RtlZeroMemory(block, sizeof(T));
  return new (block) T(args...);
}

template <class T>
void PoolDelete(T*& object) {
  if (!object) return;
  object->~T();
  ExFreePool(object);
  object = nullptr;
}

NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP irp);
NTSTATUS NTAPI FilterClose(PKSFILTER filter, PIRP irp);
const KSFILTER_DISPATCH g_filterDispatch = {FilterCreate, FilterClose, nullptr, nullptr};
const GUID g_categories[] = {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE};

class TestCameraDevice final : public CameraDeviceControls {
 public:
  explicit TestCameraDevice(PKSDEVICE device) : ks_(device), usb_(device) {}
  ~TestCameraDevice() { Release(); }

  NTSTATUS Start();
  void Release();

  UsbDevice* GetUsbDevice() override { return &usb_; }
  DeviceSettings* GetSettings() override { return &settings_; }
  CameraControlHandler* GetCameraControlHandler() override { return terminal_; }
  VideoProcAmpHandler* GetVideoProcAmpHandler() override { return unit_; }
  PrivateControlHandler* GetPrivateControlHandler() override { return private_; }
  RegionControlHandler* GetRegionControlHandler() override { return region_; }
  ExtensionUnitHandler* FindUnitHandler(const GUID& set) override {
    for (ULONG i = 0; i < unitCount_; ++i) {
      if (IsSamePropertySet(units_[i], set)) return units_[i];
    }
    return nullptr;
  }
  ULONG GetVendorUnitFlag() override { return region_ ? 1 : 0; }
  ULONG GetFlickerState() override { return Probe().flickerState; }
  VOID RequestFlickerRedetect() override { ++Probe().redetectRequests; }
  VOID RestartFlickerSchedule() override { ++Probe().scheduleRestarts; }
  NTSTATUS ClearFaceExposure() override {
    ++Probe().faceExposureClears;
    return STATUS_SUCCESS;
  }
  NTSTATUS SetFaceRectangle(const RegionRect& rect, LONG, LONG) override {
    std::lock_guard<std::mutex> hold(Probe().lock);
    Probe().faceRectangles.push_back(rect);
    return STATUS_SUCCESS;
  }
  VOID GetFrameSize(LONG* width, LONG* height) override {
    *width = Probe().frameWidth;
    *height = Probe().frameHeight;
  }
  LONG GetIdleState() override { return Probe().openFilters; }
  VOID UpdateFaceRequestFlags(LONG set, LONG clear) override {
    LONG old = Probe().faceRequestFlags.load();
    while (!Probe().faceRequestFlags.compare_exchange_weak(old, (old | set) & ~clear)) {
    }
  }
  bool GetResumeFlag() override { return Probe().resumeFlag; }
  VOID ClearResumeFlag() override { Probe().resumeFlag = false; }

 private:
  NTSTATUS ReadConfiguration();
  void BuildUnits();
  void BuildTables();

  PKSDEVICE ks_;
  UsbDevice usb_;
  DeviceSettings settings_;
  std::vector<UCHAR> configuration_;
  CameraControlHandler* terminal_ = nullptr;
  VideoProcAmpHandler* unit_ = nullptr;
  ExtensionUnitHandler* units_[kMaxUnits] = {};
  ULONG unitCount_ = 0;
  PrivateControlHandler* private_ = nullptr;
  RegionControlHandler* region_ = nullptr;

  std::vector<KSPROPERTY_SET> filterSets_;
  std::vector<KSEVENT_SET> eventSets_;
  KSPROPERTY_SET terminalSet_ = {};
  KSPROPERTY_SET unitSet_ = {};
  KSAUTOMATION_TABLE filterAutomation_ = {};
  KSAUTOMATION_TABLE terminalAutomation_ = {};
  KSAUTOMATION_TABLE unitAutomation_ = {};
  KSNODE_DESCRIPTOR nodes_[2] = {};
  KSFILTER_DESCRIPTOR filter_ = {};
};

TestCameraDevice* g_last = nullptr;

NTSTATUS TestCameraDevice::ReadConfiguration() {
  std::vector<UCHAR> header(9);
  for (ULONG length = 9;;) {
    configuration_.assign(length, 0);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                 0, 0, configuration_.data(), nullptr, length, nullptr);
    NTSTATUS status = usb_.SubmitUrbSync(&urb);
    if (!NT_SUCCESS(status)) return status;
    const ULONG total = configuration_[2] | (configuration_[3] << 8);
    if (total <= length) return STATUS_SUCCESS;
    length = total;
  }
}

// The first input terminal, the first processing unit and up to three extension units of the
// video control interface.
void TestCameraDevice::BuildUnits() {
  bool videoControl = false;
  for (size_t at = 0; at + 2 <= configuration_.size() && configuration_[at] >= 2;) {
    const UCHAR* d = &configuration_[at];
    const ULONG length = d[0];
    if (at + length > configuration_.size()) break;
    if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= 9) videoControl = d[5] == 0x0E && d[6] == 0x01;
    if (videoControl && d[1] == 0x24 && length >= 3) {
      if (d[2] == 0x02 && !terminal_) {
        terminal_ = PoolNew<CameraControlHandler>(d, length, &usb_);
        terminal_->BuildPropertySet();
      } else if (d[2] == 0x05 && !unit_) {
        unit_ = PoolNew<VideoProcAmpHandler>(d, length, &usb_);
        unit_->BuildPropertySet();
      } else if (d[2] == 0x06 && unitCount_ < kMaxUnits) {
        units_[unitCount_] = PoolNew<ExtensionUnitHandler>(d, length, &usb_);
        units_[unitCount_++]->BuildPropertySet();
      }
    }
    at += length;
  }
  private_ = PoolNew<PrivateControlHandler>(&usb_);
  private_->BuildPropertySet();
  for (const GUID& guid : VendorUnitGuids) {
    ExtensionUnitHandler* vendor = FindUnitHandler(guid);
    if (!vendor) continue;
    VendorUnitIndex = static_cast<USHORT>(vendor->UnitId() << 8);
    if (HasExtensionControl(vendor, 27)) {
      region_ = PoolNew<RegionControlHandler>(&usb_);
      region_->BuildPropertySet();
      region_->InitEventItems();
    }
    break;
  }
}

void TestCameraDevice::BuildTables() {
  auto add = [this](const GUID* set, ControlHandler* handler) {
    const KSPROPERTY_ITEM* items = nullptr;
    const ULONG count = handler ? handler->GetPropertyItems(&items) : 0;
    if (count) filterSets_.push_back({set, count, items, 0, nullptr});
    return count ? KSPROPERTY_SET{set, count, items, 0, nullptr} : KSPROPERTY_SET{};
  };
  terminalSet_ = add(&PROPSETID_VIDCAP_CAMERACONTROL, terminal_);
  unitSet_ = add(&PROPSETID_VIDCAP_VIDEOPROCAMP, unit_);
  for (ULONG i = 0; i < unitCount_; ++i) add(&units_[i]->UnitGuid(), units_[i]);
  add(&PROPSETID_KVZ_PRIVATE, private_);
  if (region_) {
    add(&PROPSETID_KVZ_REGION, region_);
    const KSEVENT_ITEM* events = nullptr;
    const ULONG count = region_->GetEventItems(&events);
    if (count) eventSets_.push_back({&EVENTSETID_KVZ_REGION, count, events});
  }
  filterAutomation_ = {static_cast<ULONG>(filterSets_.size()), sizeof(KSPROPERTY_ITEM), filterSets_.data(), 0,
                       sizeof(KSMETHOD_ITEM), nullptr, static_cast<ULONG>(eventSets_.size()), sizeof(KSEVENT_ITEM),
                       eventSets_.data()};
  terminalAutomation_ = {terminalSet_.PropertiesCount ? 1u : 0u, sizeof(KSPROPERTY_ITEM), &terminalSet_, 0,
                         sizeof(KSMETHOD_ITEM), nullptr, 0, sizeof(KSEVENT_ITEM), nullptr};
  unitAutomation_ = {unitSet_.PropertiesCount ? 1u : 0u, sizeof(KSPROPERTY_ITEM), &unitSet_, 0, sizeof(KSMETHOD_ITEM),
                     nullptr, 0, sizeof(KSEVENT_ITEM), nullptr};
  nodes_[0] = {&terminalAutomation_, &KSNODETYPE_VIDEO_CAMERA_TERMINAL, nullptr};
  nodes_[1] = {&unitAutomation_, &KSNODETYPE_VIDEO_PROCESSING, nullptr};
  filter_ = {&g_filterDispatch, &filterAutomation_, KSFILTER_DESCRIPTOR_VERSION, 0, &KSNAME_Filter, 0,
             sizeof(KSPIN_DESCRIPTOR_EX), nullptr, ARRAYSIZE(g_categories), g_categories, 2,
             sizeof(KSNODE_DESCRIPTOR), nodes_, 0, nullptr, nullptr};
}

NTSTATUS TestCameraDevice::Start() {
  WCHAR driverKey[100] = {};
  ULONG length = 0;
  NTSTATUS status = IoGetDeviceProperty(ks_->PhysicalDeviceObject, DevicePropertyDriverKeyName, sizeof(driverKey),
                                        driverKey, &length);
  if (!NT_SUCCESS(status)) return status;
  settings_.BuildRegistryPaths(driverKey);
  settings_.ReadRegistryOptions();
  status = ReadConfiguration();
  if (!NT_SUCCESS(status)) return status;
  BuildUnits();
  BuildTables();
  if (Probe().loadAtStart) settings_.LoadRegistryValues(this);
  return KsCreateFilterFactory(ks_->FunctionalDeviceObject, &filter_, u"GLOBAL", nullptr, KSCREATE_ITEM_FREEONSTOP,
                               nullptr, nullptr, nullptr);
}

void TestCameraDevice::Release() {
  PoolDelete(region_);
  PoolDelete(private_);
  for (ULONG i = 0; i < unitCount_; ++i) PoolDelete(units_[i]);
  unitCount_ = 0;
  PoolDelete(unit_);
  PoolDelete(terminal_);
  filterSets_.clear();
  eventSets_.clear();
}

NTSTATUS NTAPI FilterCreate(PKSFILTER, PIRP) {
  ++Probe().openFilters;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI FilterClose(PKSFILTER filter, PIRP) {
  TestCameraDevice* device = static_cast<TestCameraDevice*>(DeviceFromKsDevice(KsGetDevice(filter)));
  if (device->GetRegionControlHandler()) device->GetRegionControlHandler()->OnFilterClose(filter);
  --Probe().openFilters;
  return STATUS_SUCCESS;
}

VOID NTAPI FreeDevice(PVOID item) {
  auto* device = static_cast<TestCameraDevice*>(item);
  if (g_last == device) g_last = nullptr;
  PoolDelete(device);
}

NTSTATUS NTAPI DeviceAdd(PKSDEVICE device) {
  auto* camera = PoolNew<TestCameraDevice>(device);
  if (!camera) return STATUS_INSUFFICIENT_RESOURCES;
  KsAcquireDevice(device);
  NTSTATUS status = KsAddItemToObjectBag(device->Bag, camera, FreeDevice);
  KsReleaseDevice(device);
  if (!NT_SUCCESS(status)) {
    PoolDelete(camera);
    return status;
  }
  device->Context = static_cast<CameraDeviceControls*>(camera);
  g_last = camera;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI DeviceStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  return static_cast<TestCameraDevice*>(DeviceFromKsDevice(device))->Start();
}

VOID NTAPI DeviceStop(PKSDEVICE device, PIRP) {
  static_cast<TestCameraDevice*>(DeviceFromKsDevice(device))->Release();
}

VOID NTAPI DeviceRemove(PKSDEVICE device, PIRP) {
  static_cast<TestCameraDevice*>(DeviceFromKsDevice(device))->GetUsbDevice()->MarkRemoved();
}

NTSTATUS NTAPI DeviceQueryCapabilities(PKSDEVICE, PIRP, PDEVICE_CAPABILITIES capabilities) {
  capabilities->SurpriseRemovalOK = 1;
  return STATUS_SUCCESS;
}

const KSDEVICE_DISPATCH g_deviceDispatch = {DeviceAdd, DeviceStart,  nullptr, nullptr, nullptr, DeviceStop,
                                            nullptr,   nullptr,      DeviceRemove, DeviceQueryCapabilities,
                                            DeviceRemove, nullptr, nullptr, nullptr};
const KSDEVICE_DESCRIPTOR g_deviceDescriptor = {&g_deviceDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION, 0x110};

}  // namespace

void DeviceProbe::Reset() {
  flickerState = 0;
  frameWidth = 640;
  frameHeight = 480;
  resumeFlag = false;
  loadAtStart = true;
  redetectRequests = 0;
  scheduleRestarts = 0;
  faceExposureClears = 0;
  faceRequestFlags = 0;
  openFilters = 0;
  std::lock_guard<std::mutex> hold(lock);
  faceRectangles.clear();
}

DeviceProbe& Probe() {
  static DeviceProbe probe;
  return probe;
}

CameraDeviceControls* LastDevice() { return g_last; }

NTSTATUS NTAPI ControlTestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  return KsInitializeDriver(driver, registryPath, &g_deviceDescriptor);
}

}  // namespace kvz::drivertest
