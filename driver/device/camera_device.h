// The one driver object per camera, found from the kernel-streaming device's Context through its
// control context (the property sets' view of it). It is the camera's USB endpoint (through the
// UsbDevice it owns), holds the parsed descriptors, its stream control (with the transport) that
// it hands the filter and pins, the interrupt and test readers, the idle manager, the settings and
// the frame processor, and carries the plug-and-play and power life cycle and the private test
// request.
#pragma once
#include <wdm.h>
#include <ks.h>
#include <usb.h>

#include "driver/controls/camera_device_controls.h"
#include "driver/settings/device_settings.h"
#include "driver/pins/display_orientation.h"
#include "driver/pins/format_table_builder.h"
#include "driver/pins/capture_filter.h"
#include "driver/pins/pin_device.h"
#include "driver/device/device_control_context.h"
#include "driver/device/device_stream_control.h"
#include "face/face_exposure_control.h"
#include "common/face_services.h"
#include "postproc/base/frame_device.h"
#include "postproc/processor/frame_processor.h"
#include "postproc/processor/frame_processor_pins.h"
#include "usb/idle_manager.h"
#include "usb/test_stream_reader.h"
#include "usb/usb_device.h"
#include "usb/usb_limits.h"
#include "primitives/test_seam.h"

namespace kvz {

class UnitContainer;
class StreamTransport;
class InterruptPipeReader;
class TestStreamReader;
class ExtensionUnitHandler;
struct FrameBuffer;

// A flag other threads write with interlocked operations.
inline LONG ReadFlag(const volatile LONG& flag) { return __atomic_load_n(&flag, __ATOMIC_ACQUIRE); }

class CameraDeviceBase : public PinDevice,
                         public FrameDevice,
                         public FaceDeviceServices,
                         public FaceExposureDevice {
 public:
  explicit CameraDeviceBase(PKSDEVICE device);
  CameraDeviceBase(const CameraDeviceBase&) = delete;
  CameraDeviceBase& operator=(const CameraDeviceBase&) = delete;

  // Plug and play and power; PASSIVE_LEVEL.
  virtual NTSTATUS Start() = 0;
  virtual VOID Stop() = 0;
  // A stop frees what open filters reach: it is refused (STATUS_DEVICE_BUSY) while any filter is
  // open, and once accepted no filter opens until the stop or its cancel.
  NTSTATUS QueryStop();
  VOID CancelStop();
  NTSTATUS QueryCapabilities(PDEVICE_CAPABILITIES capabilities);
  NTSTATUS Shutdown();
  virtual VOID MarkRemoved() = 0;
  virtual VOID SetPower(DEVICE_POWER_STATE state) = 0;
  bool IdentifyVendorChip();
  NTSTATUS Initialize();
  VOID Release();

  // --- CameraDeviceCore (the pins, and the property sets through the control context).
  UsbDevice* GetUsbDevice() override { return &usb_; }
  DeviceSettings* GetSettings() override { return &settings_; }

  // --- FaceWindowTarget (face detection, and the region set through the control context): the
  // frame processor's face-region exposure takes the rectangle.
  NTSTATUS SetFaceRectangle(const RegionRect& rect, LONG width, LONG height) override;

  // --- CameraIdentitySource (the pins and the frame processor).
  CameraIdentity Identity() const override {
    return CameraIdentity{listedCamera_ != 0, chipFamily_, ReadFlag(displayOrientation_)};
  }

  // --- PinDevice (capture filter and pins).
  StreamOwnership* GetStreamOwnership() override { return &streamOwners_; }
  DeviceStreamControl* Streams() override { return &streams_; }
  ULONG GetPowerState() override { return static_cast<ULONG>(ReadFlag(powerState_)); }
  VOID CancelIdleTimer() override;
  VOID RestartIdleTimer() override;
  NTSTATUS PowerUpAndWait() override;
  NTSTATUS OpenFilterInstance() override;
  VOID CloseFilterInstance() override;
  ULONG GetDataRanges(const PKSDATARANGE** ranges, ULONG streamType) override;
  bool FindFormatEntry(FrameEntry* entry, ULONG subtype, ULONG width, ULONG height, ULONG streamType) override;
  bool SetStreamFormat(FrameEntry* entry, ULONG subtype, ULONG width, ULONG height, ULONG streamType) override;
  ULONG PickFrameInterval(const FrameEntry& entry, ULONGLONG requested) override;
  bool GetPinDataRange(FrameEntry* entry, ULONG index, ULONG kind) override;
  NTSTATUS GetCurWithRetry() override;
  VOID StepCaptureStream() override;
  LONG GetCaptureRunning() override { return ReadFlag(captureRunning_); }
  VOID SetCaptureRunning(LONG running) override { InterlockedExchange(&captureRunning_, running); }
  LONG GetRestartPending() override { return ReadFlag(restartPending_); }
  VOID ClearRestartPending() override { InterlockedExchange(&restartPending_, 0); }
  VOID SetStreamStopFailed(LONG failed) override { InterlockedExchange(&streamStopFailed_, failed); }
  VOID SetDisplayOrientation(LONG quarterTurns) override { InterlockedExchange(&displayOrientation_, quarterTurns); }
  VOID SetCaptureOrientation(CaptureOrientation* orientation) override { captureOrientation_ = orientation; }
  NTSTATUS WriteSensorSetup();
  bool IsTestRunning() override;
  VOID RequestTestStop() override;
  PinProcessing* Processing() override { return &pinProcessing_; }

  // --- FrameDevice (the frame processor).
  CameraServices* Services() override;
  VOID ReadFrameSettings(FrameSettings* settings) const override;
  VOID StoreFlickerDetectValue(LONG value) override;
  // Face work needs the vendor unit's face-exposure window: a camera without it gets none.
  FaceDeviceServices* FaceServices() override { return hasFaceExposureWindow_ ? this : nullptr; }

  // --- FaceWorkHost, for every interface above that changes the face work flags.
  VOID SetFaceWorkFlags(LONG bits) override { faceWork_.Set(bits); }
  VOID ClearFaceWorkFlags(LONG bits) override { faceWork_.Clear(bits); }

  // --- FaceDeviceServices (face detection) and FaceExposureDevice (the face-region exposure).
  PKMUTEX FaceDetectionMutex() override { return &faceDetectMutex_; }
  VOID ReadFaceWorkSwitches(FaceWorkSwitches* switches) override;
  PKMUTEX FaceExposureMutex() override { return &faceExposureMutex_; }
  CameraServices& Camera() override { return *usb_.Services(); }

  // --- Device operations of its own.
  // What the property sets find as the KS device's Context.
  DeviceControlContext* Controls() { return &controls_; }
  // The face-exposure window off (only a camera whose vendor unit has one).
  NTSTATUS ClearFaceExposure();
  // Runs the camera's private test; only the private channel calls it, with the busy flag held.
  NTSTATUS RunTestStream(PULONG result);
  NTSTATUS WriteWhiteBalanceGains();
  // The streaming alternate setting for a payload size: the first whose bandwidth is at least the
  // payload (a USB 3 camera on Windows 7 or earlier: the last one).
  UCHAR ChooseAltSetting(ULONG payloadSize);
  // Selects interface->AlternateSetting; on success the selected record replaces *interface.
  // capacity: the bytes the caller's record has room for.
  NTSTATUS SelectAltSetting(PUSBD_INTERFACE_INFORMATION interface, ULONG capacity);
  // The power-state callback's body; PASSIVE_LEVEL.
  VOID OnSystemPowerState(bool backInWorkingState);

  PKSDEVICE KsDevice() const { return ksDevice_; }
  bool IsInitialized() const { return initialized_ != 0; }
  // Chip identification found one of the vendor's chips (a standard UVC camera is not identified).
  bool IsChipIdentified() const { return chipFamily_ != 0; }
  USHORT InterfaceNumber() const { return interfaceNumber_; }
  LONG GetRequestedPowerState() const { return requestedPowerState_; }
  bool IsSystemSuspended() const { return ReadFlag(systemSuspended_) != 0; }
  bool HasPrivateUnit() const { return privateUnitPresent_ != 0; }
  const KSFILTER_DESCRIPTOR* FilterDescriptor() const { return filter_.Descriptor(); }

  // The private channel's busy flag, under the device's spin lock: STATUS_TOO_MANY_COMMANDS while
  // a test runs, STATUS_NOT_SUPPORTED without the test unit or once release has begun.
  NTSTATUS MarkTestBusy();
  VOID ClearTestBusy();

  // Records the private test unit (called by Initialize after chip identification).
  VOID ProbePrivateUnit();
  NTSTATUS RegisterPrivateInterface(PUNICODE_STRING reference);

 protected:
  template <class T>
  friend struct TestSeam;
  // The stream control runs the device's own steps around a stream (below); the control context
  // answers from the device's handlers and processor.
  friend class DeviceStreamControl;
  friend class DeviceControlContext;

  ~CameraDeviceBase();

  // The device power states the idle manager reads.
  class IdleHost final : public IdlePowerHost {
   public:
    explicit IdleHost(CameraDeviceBase* device) : device_(device) {}
    DEVICE_POWER_STATE GetPowerState() override;
    DEVICE_POWER_STATE GetRequestedPowerState() override;

   private:
    CameraDeviceBase* device_;
  };

  NTSTATUS SelectControlInterface();
  NTSTATUS CreateTransports();
  VOID ReadHardwareIdentity();
  VOID RegisterPowerCallback();
  VOID UnregisterPowerCallback();
  VOID WaitForTestEnd(ULONG step);
  ExtensionUnitHandler* VendorUnit();
  bool ReadChipIdentity(ExtensionUnitHandler* vendor);
  // Stream start and stop restart flicker detection (the capture pin restarts it through PinProcessing).
  VOID ResetFlickerDetection();
  // The device's steps of a stream's start, stop and resume, under the stream lock.
  VOID ResetFaceExposure();
  VOID ApplyStoredManualExposure();
  VOID StartInterruptReader();
  VOID RestoreStoredControls();
  VOID StreamStarted();
  VOID StreamStopped();
  VOID StreamResumed();

  // Every member is initialised here: the pool hands out blocks that are not zeroed.
  PKSDEVICE ksDevice_;
  UsbDevice usb_;
  DeviceSettings settings_;
  FrameProcessor processor_;
  DevicePinProcessing pinProcessing_;  // processor_ with this device, for the pins
  StreamOwnership streamOwners_;
  IdleHost idleHost_;

  // Identity.
  ULONG chipFamily_{};
  ULONG cameraBufferSize_{};
  ULONG usb3_{};
  ULONG singleIdentifier_{};
  ULONG listedCamera_{};
  USHORT interfaceNumber_{};
  WCHAR driverKeyName_[kRegistryPathChars / 2]{};
  WCHAR hardwareIds_[kRegistryPathChars / 2]{};

  // Descriptors and USB configuration.
  PUCHAR deviceDescriptor_{};
  PUCHAR configurationDescriptor_{};
  ULONG configurationLength_{};
  USBD_CONFIGURATION_HANDLE configurationHandle_{};
  PUSBD_INTERFACE_INFORMATION controlInterface_{};
  ULONG bulk_{};


  // Owned objects created at start.
  UnitContainer* units_{};
  PinFormats formats_;  // the pins' format tables, built from the container's model
  TestStreamReader* testReader_{};
  InterruptPipeReader* interruptReader_{};
  IdleManager* idleManager_{};
  CaptureFilterDescriptor filter_;  // rebuilt at every start
  ULONG nodeCount_{};
  // The transport and the stream steps under the stream lock, handed to the pins.
  DeviceStreamControl streams_;
  // The property sets' view of the device (the KS device's Context).
  DeviceControlContext controls_;

  // Synchronisation.
  KMUTEX faceExposureMutex_;
  KMUTEX faceDetectMutex_;
  KSPIN_LOCK testLock_;
  KSPIN_LOCK filterLock_;

  // Flags and counters.
  volatile LONG initialized_{};
  volatile LONG captureRunning_{};
  LONG sensorSetupCountdown_{};
  // The running capture pin's orientation poll; read and stepped only in that pin's processing.
  CaptureOrientation* captureOrientation_{};
  volatile LONG restartPending_{};
  volatile LONG streamStopFailed_{};
  volatile LONG displayOrientation_{};
  volatile LONG whiteBalanceFirstRun_{};
  LONG testBusy_{};         // under testLock_
  LONG testsBlocked_{};     // under testLock_: release has begun
  LONG openFilters_{};      // under filterLock_
  LONG stopPending_{};      // under filterLock_: a stop was accepted and has not come or been cancelled
  volatile LONG privateUnitPresent_{};
  volatile LONG systemSuspended_{};
  volatile LONG powerState_{};
  volatile LONG requestedPowerState_{};
  FaceWorkFlags faceWork_;
  bool hasFaceExposureWindow_{};

  // Private test state between requests.
  NTSTATUS testStatus_{};
  ULONG testResult_{};
  USHORT lastProgress_{};

  UNICODE_STRING interfaceLinkName_{};
  PCALLBACK_OBJECT powerCallbackObject_{};
  PVOID powerCallbackHandle_{};
};

class CameraDevice final : public CameraDeviceBase {
 public:
  explicit CameraDevice(PKSDEVICE device) : CameraDeviceBase(device) {}
  ~CameraDevice();

  NTSTATUS Start() override;
  VOID Stop() override;
  VOID MarkRemoved() override;
  VOID SetPower(DEVICE_POWER_STATE state) override;

  // The object bag's free callback: destroys and frees the device.
  static VOID NTAPI Free(PVOID device);
};

// The device add routine and the device descriptor the driver entry hands to the class driver.
NTSTATUS NTAPI DeviceAdd(PKSDEVICE device);
extern const KSDEVICE_DESCRIPTOR CameraDeviceDescriptor;

// The driver's private device interface class and its reference string.
extern const GUID KVZ_PRIVATE_INTERFACE_CLASS;
extern const WCHAR kPrivateReferenceString[];

}  // namespace kvz
