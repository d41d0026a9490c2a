#include "control_test_device.h"

#include <new>

#include "driver/controls/camera_control_handler.h"
#include "driver/settings/device_settings.h"
#include "driver/controls/extension_unit_handler.h"
#include "driver/controls/private_control_handler.h"
#include "driver/controls/region_control_handler.h"
#include "driver/controls/video_proc_amp_handler.h"
#include "ksmedia.h"
#include "postproc/flicker/flicker_control.h"
#include "primitives/driver_memory.h"
#include "driver/pins/unit_container.h"
#include "usb/usb_configuration.h"
#include "usb/usb_device.h"
#include "usb/usb_limits.h"
#include "usbdlib.h"
#include "test_device_dispatch.h"

namespace kvz::drivertest {
namespace {

constexpr ULONG kTag = 'tDCT';

template <class T, class... Args>
T* PoolNew(Args... args) {
  void* block = ExAllocatePoolWithTag(DriverPoolType, sizeof(T), kTag);
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

class TestCameraDevice final : public CameraDeviceControls, public FlickerControl {
 public:
  explicit TestCameraDevice(PKSDEVICE device) : ks_(device), usb_(device) {}
  ~TestCameraDevice() { Release(); }

  NTSTATUS Start();
  void Release();

  UsbDevice* GetUsbDevice() override { return &usb_; }
  DeviceSettings* GetSettings() override { return &settings_; }
  CameraControlHandler* GetCameraControlHandler() override { return units_ ? units_->CameraTerminal() : nullptr; }
  VideoProcAmpHandler* GetVideoProcAmpHandler() override { return units_ ? units_->ProcessingUnit() : nullptr; }
  PrivateControlHandler* GetPrivateControlHandler() override { return units_ ? units_->PrivateHandler() : nullptr; }
  RegionControlHandler* GetRegionControlHandler() override { return units_ ? units_->RegionHandler() : nullptr; }
  ExtensionUnitHandler* FindExtensionUnit(const GUID& set) override {
    return units_ ? units_->FindExtensionUnit(set) : nullptr;
  }
  bool HasFaceExposureWindow() override { return units_ && units_->HasFaceExposureWindow(); }
  FlickerControl* GetFlickerControl() override { return this; }
  // FlickerControl.
  ULONG FlickerState() override { return Probe().flickerState; }
  VOID RequestFlickerRedetect() override { ++Probe().redetectRequests; }
  VOID ReleaseFlickerHold() override { ++Probe().scheduleRestarts; }
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
  VOID SetFaceWorkFlags(LONG bits) override { Probe().faceRequestFlags |= bits; }
  VOID ClearFaceWorkFlags(LONG bits) override { Probe().faceRequestFlags &= ~bits; }
  bool GetResumeFlag() override { return Probe().resumeFlag; }
  VOID ClearResumeFlag() override { Probe().resumeFlag = false; }

 private:
  PKSDEVICE ks_;
  UsbDevice usb_;
  DeviceSettings settings_;
  UnitContainer* units_ = nullptr;
  PUCHAR configuration_ = nullptr;
  KSAUTOMATION_TABLE filterAutomation_ = {};
  KSNODE_DESCRIPTOR nodes_[kMaxTopologyNodes] = {};
  ULONG nodeCount_ = 0;
  KSFILTER_DESCRIPTOR filter_ = {};
};


NTSTATUS TestCameraDevice::Start() {
  WCHAR driverKey[100] = {};
  ULONG length = 0;
  NTSTATUS status = IoGetDeviceProperty(ks_->PhysicalDeviceObject, DevicePropertyDriverKeyName, sizeof(driverKey),
                                        driverKey, &length);
  if (!NT_SUCCESS(status)) return status;
  settings_.BuildRegistryPaths(driverKey);
  settings_.ReadRegistryOptions();
  units_ = PoolNew<UnitContainer>(static_cast<CameraDeviceControls*>(this));
  if (!units_) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG configurationLength = kConfigurationDescriptorLength;
  status = ReadUsbDescriptor(&usb_, &configuration_, &configurationLength, USB_CONFIGURATION_DESCRIPTOR_TYPE);
  if (!NT_SUCCESS(status)) return status;
  status = units_->ParseConfigurationDescriptor(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration_),
                                                configurationLength, &filterAutomation_, nodes_, &nodeCount_, 0);
  if (!NT_SUCCESS(status)) return status;
  filter_ = {&g_filterDispatch, &filterAutomation_, KSFILTER_DESCRIPTOR_VERSION, 0, &KSNAME_Filter, 0,
             sizeof(KSPIN_DESCRIPTOR_EX), nullptr, ARRAYSIZE(g_categories), g_categories, nodeCount_,
             sizeof(KSNODE_DESCRIPTOR), nodes_, 0, nullptr, nullptr};
  if (Probe().loadAtStart) settings_.LoadRegistryValues(this);
  return KsCreateFilterFactory(ks_->FunctionalDeviceObject, &filter_, u"GLOBAL", nullptr, KSCREATE_ITEM_FREEONSTOP,
                               nullptr, nullptr, nullptr);
}

void TestCameraDevice::Release() {
  PoolDelete(units_);
  if (configuration_) ExFreePool(configuration_);
  configuration_ = nullptr;
}

NTSTATUS NTAPI FilterCreate(PKSFILTER, PIRP) {
  ++Probe().openFilters;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI FilterClose(PKSFILTER filter, PIRP) {
  TestCameraDevice* device = static_cast<TestCameraDevice*>(DeviceOf(filter));
  if (device->GetRegionControlHandler()) device->GetRegionControlHandler()->OnFilterClose(filter);
  --Probe().openFilters;
  return STATUS_SUCCESS;
}

using Dispatch = TestDeviceDispatch<TestCameraDevice, kTag>;

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

CameraDeviceControls* LastDevice() { return Dispatch::last; }

NTSTATUS NTAPI ControlTestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  return KsInitializeDriver(driver, registryPath, &Dispatch::descriptor);
}

}  // namespace kvz::drivertest
