#include "pin_test_device.h"

#include <new>

#include "driver/pins/capture_filter.h"
#include "driver/settings/device_settings.h"
#include "driver/pins/format_table.h"
#include "postproc/processor/frame_processor_pins.h"
#include "ksmedia.h"
#include "primitives/driver_memory.h"
#include "driver/pins/format_table_builder.h"
#include "driver/pins/unit_container.h"
#include "usb/usb_configuration.h"
#include "usb/usb_device.h"
#include "usb/usb_limits.h"
#include "usbdlib.h"
#include "test_device_dispatch.h"

namespace kvz::drivertest {
namespace {

constexpr ULONG kTag = 'tDPT';

class TestPinDevice final : public CameraDeviceControls,
                            public PinDevice,
                            public PinStreamControl,
                            public PinProcessing,
                            public FlickerControl {
 public:
  explicit TestPinDevice(PKSDEVICE device) : ks_(device), usb_(device) {}
  ~TestPinDevice() { Release(); }

  NTSTATUS Start();
  void Release() {
    descriptor_.Release();
    formats_.Release();
    if (units_) {
      units_->~UnitContainer();
      ExFreePool(units_);
      units_ = nullptr;
    }
    if (configuration_) ExFreePool(configuration_);
    configuration_ = nullptr;
  }

  // CameraDeviceControls.
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
  ULONG FlickerState() override { return 0; }
  VOID RequestFlickerRedetect() override {}
  VOID ReleaseFlickerHold() override {}
  NTSTATUS ClearFaceExposure() override { return STATUS_SUCCESS; }
  NTSTATUS SetFaceRectangle(const RegionRect&, LONG, LONG) override { return STATUS_SUCCESS; }
  VOID GetFrameSize(LONG* width, LONG* height) override {
    *width = width_;
    *height = height_;
  }
  LONG GetIdleState() override { return Pins().busy; }
  VOID SetFaceWorkFlags(LONG) override {}
  VOID ClearFaceWorkFlags(LONG) override {}
  bool GetResumeFlag() override { return false; }
  VOID ClearResumeFlag() override {}
  PinDevice* GetPinDevice() override { return this; }

  // PinDevice.
  StreamOwnership* GetStreamOwnership() override { return &owners_; }
  CameraIdentity Identity() const override {
    return CameraIdentity{Pins().listedCamera, 0xA0, Pins().displayOrientation};
  }
  ULONG GetPowerState() override { return PowerDeviceD0; }
  VOID CancelIdleTimer() override { ++Pins().busy; }
  VOID RestartIdleTimer() override { --Pins().busy; }
  NTSTATUS PowerUpAndWait() override { return STATUS_SUCCESS; }
  NTSTATUS OpenFilterInstance() override { return STATUS_SUCCESS; }
  VOID CloseFilterInstance() override {}
  ULONG GetDataRanges(const PKSDATARANGE** ranges, ULONG streamType) override {
    return formats_.GetFormatList(ranges, streamType == kStreamCapture ? 1 : 3);
  }
  bool FindFormatEntry(FrameEntry* entry, ULONG subtype, ULONG width, ULONG height, ULONG streamType) override {
    return formats_.GetFormatEntry(entry, subtype, width, height, streamType == kStreamCapture ? 1 : 3);
  }
  bool SetStreamFormat(FrameEntry* entry, ULONG subtype, ULONG width, ULONG height, ULONG streamType) override {
    // As the device: the current frame size is the capture stream's.
    if (streamType == kStreamCapture) {
      width_ = static_cast<LONG>(width);
      height_ = static_cast<LONG>(height);
    }
    return FindFormatEntry(entry, subtype, width, height, streamType);
  }
  ULONG PickFrameInterval(const FrameEntry& entry, ULONGLONG requested) override {
    for (LONG i = 0; i < entry.IntervalCount; ++i)
      if (entry.Intervals[i] == requested || (requested != 0 && entry.Intervals[i] > requested)) return entry.Intervals[i];
    return entry.IntervalCount > 0 ? entry.Intervals[entry.IntervalCount - 1] : 0;
  }
  bool GetPinDataRange(FrameEntry* entry, ULONG index, ULONG kind) override {
    const FormatTable* table = kind == kStreamCapture ? formats_.Capture() : formats_.Still();
    return table && table->GetDataRangeFormat(index, entry);
  }
  PinStreamControl* Streams() override { return this; }
  NTSTATUS SelectStreamingAltSetting(ULONG payload) override {
    std::lock_guard<std::mutex> hold(Pins().lock);
    Pins().altSettings.push_back(payload);
    return STATUS_SUCCESS;
  }
  NTSTATUS SelectZeroBandwidth() override {
    ++Pins().zeroBandwidth;
    return STATUS_SUCCESS;
  }
  NTSTATUS StartStream(ULONG payload, ULONG frameSize, PKSPIN pin, ULONG streamType) override {
    std::lock_guard<std::mutex> hold(Pins().lock);
    Pins().starts.push_back({payload, frameSize, pin, streamType});
    Pins().registered[streamType] = pin;
    return payload ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
  }
  NTSTATUS SuspendStream(ULONG pause) override {
    std::lock_guard<std::mutex> hold(Pins().lock);
    Pins().suspends.push_back(pause);
    if (!pause) return kStatusRestartStream;
    Pins().registered.erase(kStreamCapture);
    return STATUS_SUCCESS;
  }
  NTSTATUS StopStream(ULONG streamType) override {
    std::lock_guard<std::mutex> hold(Pins().lock);
    Pins().stops.push_back(streamType);
    Pins().registered.erase(streamType);
    return Pins().stopFails ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
  }
  NTSTATUS GetCurWithRetry() override { return STATUS_SUCCESS; }
  bool PauseEndsCommit() override { return false; }
  ULONG StopSettleDelay() override { return kIsochStopSettle; }
  bool TransportServesOtherPin(PKSPIN) override { return false; }
  VOID ResumeCaptureStream(PKSPIN) override {}
  VOID StepCaptureStream() override {}
  ULONG TakeFrame(FrameBuffer** frame, PUCHAR* data, ULONG streamType) override {
    std::lock_guard<std::mutex> hold(Pins().lock);
    std::deque<std::vector<uint8_t>>& queue = Pins().frames[streamType];
    *frame = nullptr;
    *data = nullptr;
    if (queue.empty()) return 0;
    auto* held = new std::vector<uint8_t>(std::move(queue.front()));
    queue.pop_front();
    ++Pins().taken;
    *frame = reinterpret_cast<FrameBuffer*>(held);
    *data = held->data();
    return static_cast<ULONG>(held->size());
  }
  VOID ReturnFrame(FrameBuffer* frame, ULONG) override {
    delete reinterpret_cast<std::vector<uint8_t>*>(frame);
    ++Pins().returned;
  }
  LONG GetCaptureRunning() override { return Pins().captureRunning; }
  VOID SetCaptureRunning(LONG running) override { Pins().captureRunning = running; }
  LONG GetRestartPending() override { return Pins().restartPending; }
  VOID ClearRestartPending() override { Pins().restartPending = 0; }
  VOID SetStreamStopFailed(LONG) override {}
  VOID SetDisplayOrientation(LONG turns) override { Pins().displayOrientation = turns; }
  bool TakeSkipNextFrame() override { return Pins().skipNextFrame.exchange(false); }
  VOID SetCaptureOrientation(CaptureOrientation*) override {}
  bool IsTestRunning() override { return false; }
  VOID RequestTestStop() override {}
  PinProcessing* Processing() override { return this; }

  // PinProcessing.
  VOID StartFlickerHold() override {}
  NTSTATUS EnsureWorkBuffers(ULONG) override { return STATUS_SUCCESS; }
  PUCHAR ProcessFrame(PUCHAR frame, LONG width, LONG height) override {
    ++Pins().processed;
    if (Pins().processInverts)
      for (LONG i = 0; i < width * height * 2; ++i) frame[i] = static_cast<UCHAR>(~frame[i]);
    return Pins().processReturnsNull ? nullptr : frame;
  }
  // The frame processor's own rule, on the stand-in's settings as the device reads them.
  PictureUse ReadPictureUse() override {
    FrameSettings frame{};
    frame.privacy = LoadSetting(settings_.records[kRecordPrivacy].current);
    frame.zoomScale = LoadSetting(settings_.zoomScale);
    frame.hFlip = LoadSetting(settings_.hFlip);
    frame.vFlip = LoadSetting(settings_.vFlip);
    frame.powerLineFrequency = LoadSetting(settings_.records[kRecordPowerLine].current);
    return FrameProcessor::PictureUseOf(frame, Pins().displayOrientation);
  }
  VOID SubmitFrame(const UCHAR* frame, ULONG length, LONG width, LONG height, LONG layout, LONGLONG) override {
    ++Pins().submitted;
    std::lock_guard<std::mutex> hold(Pins().lock);
    const LONG mjpeg = layout == kPixelMjpeg ? 1 : 0;
    Pins().offers.push_back({std::vector<uint8_t>(frame, frame + length), width, height, mjpeg});
  }
  NTSTATUS SetFormats(ULONG subtype, LONG sw, LONG sh, LONG w, LONG h) override {
    std::lock_guard<std::mutex> hold(Pins().lock);
    Pins().formats.push_back({subtype, sw, sh, w, h});
    return STATUS_SUCCESS;
  }
  // The stand-in runs no effect: it cannot scale, so a still of another size fails here.
  NTSTATUS RunStillEffects(PUCHAR, ULONG, ULONG subtype, LONG sw, LONG sh, LONG w, LONG h) override {
    std::lock_guard<std::mutex> hold(Pins().lock);
    Pins().effectRuns.push_back({subtype, sw, sh, w, h});
    ++Pins().effectsRun;
    return sw == w && sh == h ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
  }
  bool IsFlickerRedetectRequested() override { return false; }
  VOID ResetFlicker() override {}

 private:
  PKSDEVICE ks_;
  UsbDevice usb_;
  DeviceSettings settings_;
  StreamOwnership owners_;
  UnitContainer* units_ = nullptr;
  PinFormats formats_;
  PUCHAR configuration_ = nullptr;
  CaptureFilterDescriptor descriptor_;
  WCHAR driverKey_[100] = {};
  LONG width_ = 640;
  LONG height_ = 480;
};


NTSTATUS TestPinDevice::Start() {
  ULONG length = 0;
  NTSTATUS status = IoGetDeviceProperty(ks_->PhysicalDeviceObject, DevicePropertyDriverKeyName, sizeof(driverKey_),
                                        driverKey_, &length);
  if (!NT_SUCCESS(status)) return status;
  settings_.BuildRegistryPaths(driverKey_);
  settings_.ReadRegistryOptions();
  void* block = ExAllocatePoolWithTag(DriverPoolType, sizeof(UnitContainer), kTag);
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(block, sizeof(UnitContainer));
  units_ = new (block) UnitContainer(static_cast<CameraDeviceControls*>(this));
  ULONG configurationLength = kConfigurationDescriptorLength;
  status = ReadUsbDescriptor(&usb_, &configuration_, &configurationLength, USB_CONFIGURATION_DESCRIPTOR_TYPE);
  if (!NT_SUCCESS(status)) return status;
  ULONG nodes = 0;
  status = units_->ParseConfigurationDescriptor(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration_),
                                                configurationLength, descriptor_.AutomationTable(), descriptor_.Nodes(),
                                                &nodes, 0);
  if (NT_SUCCESS(status) && units_->Model()->HasStreamingInterface()) formats_.Build(*units_->Model());
  if (NT_SUCCESS(status)) status = descriptor_.BuildFilterDescriptor(this, nodes, false);
  if (!NT_SUCCESS(status)) return status;
  return KsCreateFilterFactory(ks_->FunctionalDeviceObject, descriptor_.Descriptor(), u"GLOBAL", nullptr,
                               KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
}

using Dispatch = TestDeviceDispatch<TestPinDevice, kTag>;

}  // namespace

void PinProbe::Reset() {
  std::lock_guard<std::mutex> hold(lock);
  frames.clear();
  starts.clear();
  stops.clear();
  suspends.clear();
  formats.clear();
  effectRuns.clear();
  altSettings.clear();
  registered.clear();
  taken = returned = busy = processed = effectsRun = submitted = zeroBandwidth = 0;
  offers.clear();
  processInverts = false;
  processReturnsNull = false;
  listedCamera = false;
  captureRunning = 0;
  displayOrientation = 0;
  restartPending = 0;
  skipNextFrame = false;
  stopFails = false;
}

void PinProbe::Push(ULONG streamType, std::vector<uint8_t> frame) {
  std::lock_guard<std::mutex> hold(lock);
  frames[streamType].push_back(std::move(frame));
}

void PinProbe::ClearFrames() {
  std::lock_guard<std::mutex> hold(lock);
  frames.clear();
}

PKSPIN PinProbe::Registered(ULONG streamType) {
  std::lock_guard<std::mutex> hold(lock);
  auto it = registered.find(streamType);
  return it == registered.end() ? nullptr : it->second;
}

std::vector<StartCall> PinProbe::Starts() {
  std::lock_guard<std::mutex> hold(lock);
  return starts;
}

std::vector<ULONG> PinProbe::Stops() {
  std::lock_guard<std::mutex> hold(lock);
  return stops;
}

std::vector<FormatsCall> PinProbe::Formats() {
  std::lock_guard<std::mutex> hold(lock);
  return formats;
}

std::vector<FormatsCall> PinProbe::EffectRuns() {
  std::lock_guard<std::mutex> hold(lock);
  return effectRuns;
}

PinProbe& Pins() {
  static PinProbe probe;
  return probe;
}

PinDevice* LastPinDevice() { return Dispatch::last; }
CameraDeviceControls* LastPinControls() { return Dispatch::last; }

NTSTATUS NTAPI PinTestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  return KsInitializeDriver(driver, registryPath, &Dispatch::descriptor);
}

}  // namespace kvz::drivertest
