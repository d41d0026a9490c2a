// The camera device's life cycle: device add, start with its initialisation, stop and release,
// removal, power, shutdown, the system power-state callback, chip identification and the sensor
// write sequences.
#include "driver/device/camera_device.h"

#include <initializer_list>
#include <new>

#include "common/system_version.h"
#include "driver/device/camera_device_limits.h"
#include "driver/pins/camera_pin_base.h"
#include "driver/device/camera_register_access.h"
#include "driver/pins/capture_filter.h"
#include "driver/pins/capture_pin.h"
#include "driver/controls/control_constants.h"
#include "driver/controls/extension_unit_handler.h"
#include "driver/pins/unit_container.h"
#include "jpeg/jpeg_constants.h"
#include "postproc/processor/frame_processor.h"
#include "primitives/build_selection.h"
#include "primitives/driver_memory.h"
#include "primitives/kernel_delay.h"
#include "primitives/pool_object.h"
#include "usb/bulk_stream_reader.h"
#include "usb/idle_manager.h"
#include "usb/interrupt_pipe_reader.h"
#include "usb/isoch_stream_reader.h"
#include "usb/test_stream_reader.h"
#include "usb/usb_configuration.h"
#include "uvcmodel/descriptor_rules.h"
#include "uvcmodel/vendor_unit_guids.h"

namespace kvz {

// {9C1E40D2-5A3B-4E8F-8C61-2B7E0A6D3F14}
const GUID KVZ_PRIVATE_INTERFACE_CLASS = {0x9c1e40d2, 0x5a3b, 0x4e8f, {0x8c, 0x61, 0x2b, 0x7e, 0x0a, 0x6d, 0x3f, 0x14}};
const WCHAR kPrivateReferenceString[] = u"ZEMT";

namespace {

// The bus, vendor and product parts of the special camera and of the six listed cameras.
const WCHAR kSingleHardwareId[] = u"USB\\VID_2B7E&PID_0110";
const WCHAR* const kListedHardwareIds[] = {
    u"USB\\VID_2B7E&PID_0201", u"USB\\VID_2B7E&PID_0202", u"USB\\VID_2B7E&PID_0203",
    u"USB\\VID_2B7E&PID_0204", u"USB\\VID_2B7E&PID_0205", u"USB\\VID_2B7E&PID_0206",
};

// Where the interface digits stand in "USB\VID_v&PID_p&REV_r&MI_nn" and "USB\VID_v&PID_p&MI_nn".
constexpr ULONG kMiWithRevision = 31;
constexpr ULONG kMiWithoutRevision = 22;
constexpr ULONG kMiSecondDigitOffset = 4;

VOID FreeBlock(PUCHAR& block) {
  if (block) ExFreePool(block);
  block = nullptr;
}

bool SameIdPrefix(const WCHAR* id, const WCHAR* known) {
  for (ULONG i = 0; i < kHardwareIdCompareChars; ++i)
    if (id[i] != known[i]) return false;
  return true;
}

ULONG WideLength(const WCHAR* text, ULONG limit) {
  ULONG n = 0;
  while (n < limit && text[n]) ++n;
  return n;
}

// The thunks of the device dispatch table.
NTSTATUS NTAPI DeviceStartThunk(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  CameraDevice* camera = CameraOf(device);
  if (!camera) return STATUS_NO_SUCH_DEVICE;
  const NTSTATUS status = camera->Start();
  if (!NT_SUCCESS(status)) camera->Stop();
  return status;
}

NTSTATUS NTAPI DeviceQueryStopThunk(PKSDEVICE device, PIRP) {
  CameraDevice* camera = CameraOf(device);
  return camera ? camera->QueryStop() : STATUS_SUCCESS;
}

VOID NTAPI DeviceCancelStopThunk(PKSDEVICE device, PIRP) {
  if (CameraDevice* camera = CameraOf(device)) camera->CancelStop();
}

VOID NTAPI DeviceStopThunk(PKSDEVICE device, PIRP) {
  if (CameraDevice* camera = CameraOf(device)) camera->Stop();
}

VOID NTAPI DeviceRemoveThunk(PKSDEVICE device, PIRP) {
  if (CameraDevice* camera = CameraOf(device)) camera->MarkRemoved();
}

NTSTATUS NTAPI DeviceQueryCapabilitiesThunk(PKSDEVICE device, PIRP, PDEVICE_CAPABILITIES capabilities) {
  CameraDevice* camera = CameraOf(device);
  return camera ? camera->QueryCapabilities(capabilities) : STATUS_NO_SUCH_DEVICE;
}

VOID NTAPI DeviceSetPowerThunk(PKSDEVICE device, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE) {
  if (CameraDevice* camera = CameraOf(device)) camera->SetPower(to);
}

VOID NTAPI PowerStateCallback(PVOID context, PVOID argument1, PVOID argument2) {
  if (!context || reinterpret_cast<ULONG_PTR>(argument1) != PO_CB_SYSTEM_STATE_LOCK) return;
  static_cast<CameraDevice*>(context)->OnSystemPowerState(argument2 != nullptr);
}

const KSDEVICE_DISPATCH kDeviceDispatch = {
    DeviceAdd,                     // Add: creates the CameraDevice
    DeviceStartThunk,              // Start: Start, and Stop when it fails
    nullptr,                       // PostStart
    DeviceQueryStopThunk,          // QueryStop: refused while a filter is open
    DeviceCancelStopThunk,         // CancelStop: filters may open again
    DeviceStopThunk,               // Stop: releases what start created
    nullptr,                       // QueryRemove
    nullptr,                       // CancelRemove
    DeviceRemoveThunk,             // Remove: marks the device removed
    DeviceQueryCapabilitiesThunk,  // QueryCapabilities: surprise removal is allowed
    DeviceRemoveThunk,             // SurpriseRemoval: marks the device removed
    nullptr,                       // QueryPower
    DeviceSetPowerThunk,           // SetPower: records the device power state
    nullptr,                       // QueryInterface
};

}  // namespace

const KSDEVICE_DESCRIPTOR CameraDeviceDescriptor = {&kDeviceDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION, 0x110};

NTSTATUS NTAPI DeviceAdd(PKSDEVICE device) {
  PAGED_CODE();
  // Every vector kernel (codec, geometry, RGB24 conversion) runs the processor build chosen
  // here, before any stream can start; a second device writes the same build.
  prim::SelectBuild();
  CameraDevice* camera = PoolNew<CameraDevice>(kTagCameraDevice, device);
  if (!camera) return STATUS_INSUFFICIENT_RESOURCES;
  KsAcquireDevice(device);
  NTSTATUS status = KsAddItemToObjectBag(device->Bag, camera, CameraDevice::Free);
  KsReleaseDevice(device);
  if (!NT_SUCCESS(status)) {
    CameraDevice::Free(camera);
    return status;
  }
  device->Context = static_cast<CameraDeviceControls*>(camera->Controls());
  // From here on the bag alone frees the object.
  UNICODE_STRING reference;
  RtlInitUnicodeString(&reference, kPrivateReferenceString);
  return camera->RegisterPrivateInterface(&reference);
}

CameraDeviceBase::CameraDeviceBase(PKSDEVICE device)
    : ksDevice_(device),
      usb_(device),
      processor_(),
      pinProcessing_(&processor_, this),
      idleHost_(this),
      streams_(this),
      controls_(this),
      restartPending_(1),
      whiteBalanceFirstRun_(1),
      powerState_(PowerDeviceD0) {
  KeInitializeSpinLock(&testLock_);
  KeInitializeSpinLock(&filterLock_);
  KeInitializeMutex(&faceExposureMutex_, 0);
  KeInitializeMutex(&faceDetectMutex_, 0);
  cameraBufferSize_ = kDefaultCameraBufferSize;
}

CameraDeviceBase::~CameraDeviceBase() {
  // A start that never reached stop (removal of a started device runs Stop first).
  Release();
  if (interfaceLinkName_.Buffer && interfaceLinkName_.Length) RtlFreeUnicodeString(&interfaceLinkName_);
}

CameraDevice::~CameraDevice() = default;

VOID NTAPI CameraDevice::Free(PVOID device) {
  auto* camera = static_cast<CameraDevice*>(device);
  // A request that reaches the device object after this finds no device.
  if (camera->ksDevice_ && camera->ksDevice_->Context == static_cast<CameraDeviceControls*>(camera->Controls()))
    camera->ksDevice_->Context = nullptr;
  PoolDelete(camera, kTagCameraDevice);
}

NTSTATUS CameraDeviceBase::RegisterPrivateInterface(PUNICODE_STRING reference) {
  return IoRegisterDeviceInterface(ksDevice_->PhysicalDeviceObject, &KVZ_PRIVATE_INTERFACE_CLASS, reference,
                                   &interfaceLinkName_);
}

NTSTATUS CameraDevice::Start() {
  PAGED_CODE();
  if (ksDevice_->Started) return STATUS_SUCCESS;
  NTSTATUS status = Initialize();
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT fdo = ksDevice_->FunctionalDeviceObject;
  // One registration for the device's life, however often it is started.
  if (!(fdo->Flags & DO_SHUTDOWN_REGISTERED)) IoRegisterShutdownNotification(fdo);
  UNICODE_STRING reference;
  RtlInitUnicodeString(&reference, u"GLOBAL");
  KsAcquireDevice(ksDevice_);
  status = KsCreateFilterFactory(fdo, FilterDescriptor(), reference.Buffer, nullptr, KSCREATE_ITEM_FREEONSTOP,
                                 nullptr, nullptr, nullptr);
  KsReleaseDevice(ksDevice_);
  return status;
}

VOID CameraDevice::Stop() {
  PAGED_CODE();
  Release();
}

// Release frees the unit container and the format tables whose property items, handlers and
// data ranges an open filter's tables point at, and the transports its pins stream on: a stop waits for the last
// filter to close. A surprise removal asks nothing: its removal comes once the handles are closed.
NTSTATUS CameraDeviceBase::QueryStop() {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&filterLock_);
  const NTSTATUS status = openFilters_ ? STATUS_DEVICE_BUSY : STATUS_SUCCESS;
  if (NT_SUCCESS(status)) stopPending_ = 1;
  KeReleaseSpinLock(&filterLock_, irql);
  return status;
}

VOID CameraDeviceBase::CancelStop() {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&filterLock_);
  stopPending_ = 0;
  KeReleaseSpinLock(&filterLock_, irql);
}

NTSTATUS CameraDeviceBase::OpenFilterInstance() {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&filterLock_);
  const NTSTATUS status = stopPending_ ? STATUS_DEVICE_BUSY : STATUS_SUCCESS;
  if (NT_SUCCESS(status)) ++openFilters_;
  KeReleaseSpinLock(&filterLock_, irql);
  return status;
}

VOID CameraDeviceBase::CloseFilterInstance() {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&filterLock_);
  --openFilters_;
  KeReleaseSpinLock(&filterLock_, irql);
}

VOID CameraDevice::MarkRemoved() { usb_.MarkRemoved(); }

NTSTATUS CameraDeviceBase::QueryCapabilities(PDEVICE_CAPABILITIES capabilities) {
  capabilities->SurpriseRemovalOK = TRUE;
  return STATUS_SUCCESS;
}

VOID CameraDevice::SetPower(DEVICE_POWER_STATE state) {
  InterlockedExchange(&requestedPowerState_, state);
  InterlockedExchange(&powerState_, state);
  if (state == PowerDeviceD0) InterlockedExchange(&systemSuspended_, 0);
}

NTSTATUS CameraDeviceBase::Shutdown() {
  if (!idleManager_) return STATUS_SUCCESS;
  // A power-up under way is a success: the shutdown request cannot complete as pending.
  const NTSTATUS status = idleManager_->Shutdown();
  return status == STATUS_PENDING ? STATUS_SUCCESS : status;
}

NTSTATUS CameraDeviceBase::MarkTestBusy() {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&testLock_);
  NTSTATUS status = STATUS_SUCCESS;
  if (testsBlocked_ || !privateUnitPresent_) status = STATUS_NOT_SUPPORTED;
  else if (testBusy_) status = STATUS_TOO_MANY_COMMANDS;
  else testBusy_ = 1;
  KeReleaseSpinLock(&testLock_, irql);
  return status;
}

VOID CameraDeviceBase::ClearTestBusy() {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&testLock_);
  testBusy_ = 0;
  KeReleaseSpinLock(&testLock_, irql);
}

bool CameraDeviceBase::IsTestRunning() {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&testLock_);
  const bool busy = testBusy_ != 0;
  KeReleaseSpinLock(&testLock_, irql);
  return busy;
}

VOID CameraDeviceBase::RequestTestStop() {
  if (testReader_) testReader_->RequestStop();
}

// Asks a running test to stop and waits for its request to finish (step: poll interval).
VOID CameraDeviceBase::WaitForTestEnd(ULONG step) {
  for (ULONG polls = 0; IsTestRunning() && polls < kTestStopPolls; ++polls) {
    RequestTestStop();
    DelayMilliseconds(step);
  }
}

DEVICE_POWER_STATE CameraDeviceBase::IdleHost::GetPowerState() {
  return static_cast<DEVICE_POWER_STATE>(ReadFlag(device_->powerState_));
}

DEVICE_POWER_STATE CameraDeviceBase::IdleHost::GetRequestedPowerState() {
  return static_cast<DEVICE_POWER_STATE>(ReadFlag(device_->requestedPowerState_));
}

VOID CameraDeviceBase::ReadHardwareIdentity() {
  PDEVICE_OBJECT pdo = ksDevice_->PhysicalDeviceObject;
  ULONG length = 0;
  RtlZeroMemory(driverKeyName_, sizeof(driverKeyName_));
  RtlZeroMemory(hardwareIds_, sizeof(hardwareIds_));
  // Both buffers keep a terminating zero whatever the property's length.
  IoGetDeviceProperty(pdo, DevicePropertyDriverKeyName, sizeof(driverKeyName_) - sizeof(WCHAR), driverKeyName_,
                      &length);
  IoGetDeviceProperty(pdo, DevicePropertyHardwareID, sizeof(hardwareIds_) - sizeof(WCHAR), hardwareIds_, &length);

  const ULONG chars = WideLength(hardwareIds_, ARRAYSIZE(hardwareIds_));
  interfaceNumber_ = 0;
  for (ULONG at : {kMiWithRevision, kMiWithoutRevision}) {
    const ULONG digit = at + kMiSecondDigitOffset;
    if (digit < chars && hardwareIds_[at] == L'M' && hardwareIds_[at + 1] == L'I') {
      interfaceNumber_ = static_cast<USHORT>(hardwareIds_[digit] - L'0');
      break;
    }
  }
  singleIdentifier_ = 0;
  listedCamera_ = 0;
  if (chars >= kHardwareIdCompareChars) {
    singleIdentifier_ = SameIdPrefix(hardwareIds_, kSingleHardwareId) ? 1 : 0;
    for (const WCHAR* id : kListedHardwareIds)
      if (SameIdPrefix(hardwareIds_, id)) listedCamera_ = 1;
  }
}

NTSTATUS CameraDeviceBase::Initialize() {
  PAGED_CODE();
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&testLock_);
  testsBlocked_ = 0;
  KeReleaseSpinLock(&testLock_, irql);
  CancelStop();

  if (!usb_.HasClassRequestSender()) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = IoSetDeviceInterfaceState(&interfaceLinkName_, TRUE);
  if (!NT_SUCCESS(status)) return status;

  units_ = PoolNew<UnitContainer>(kTagUnitContainer, static_cast<CameraDeviceControls*>(&controls_));
  if (!units_) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG length = kDeviceDescriptorLength;
  status = ReadUsbDescriptor(&usb_, &deviceDescriptor_, &length, USB_DEVICE_DESCRIPTOR_TYPE);
  bool usb3 = false;
  if (NT_SUCCESS(status)) status = CheckDeviceDescriptor(deviceDescriptor_, length, &usb3);
  if (!NT_SUCCESS(status)) return status;
  configurationLength_ = kConfigurationDescriptorLength;
  const NTSTATUS configurationStatus =
      ReadUsbDescriptor(&usb_, &configurationDescriptor_, &configurationLength_, USB_CONFIGURATION_DESCRIPTOR_TYPE);
  usb3_ = usb3 ? 1 : 0;

  ReadHardwareIdentity();
  settings_.BuildRegistryPaths(driverKeyName_);
  settings_.ReadRegistryOptions();
  if (!NT_SUCCESS(configurationStatus)) return configurationStatus;

  units_->SetUsb3(usb3);
  filter_.Release();
  nodeCount_ = 0;
  status = units_->ParseConfigurationDescriptor(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configurationDescriptor_),
                                                configurationLength_, filter_.AutomationTable(), filter_.Nodes(),
                                                &nodeCount_, interfaceNumber_);
  if (!NT_SUCCESS(status)) return status;
  formats_.SetLimit848Rate(singleIdentifier_ != 0);
  if (units_->Model()->HasStreamingInterface()) formats_.Build(*units_->Model());
  streams_.ClearInterface();
  status = SelectUsbConfiguration(&usb_, units_->Model(), reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configurationDescriptor_),
                                  configurationLength_, &controlInterface_, streams_.Interface(),
                                       &configurationHandle_, &bulk_);
  if (!NT_SUCCESS(status)) return status;

  status = SelectControlInterface();
  if (!NT_SUCCESS(status)) return status;

  status = filter_.BuildFilterDescriptor(this, nodeCount_, interfaceNumber_ != 0 || listedCamera_ != 0);
  if (!NT_SUCCESS(status)) return status;

  status = CreateTransports();
  if (!NT_SUCCESS(status)) return status;

  if (!IdentifyVendorChip()) return STATUS_UNSUCCESSFUL;
  ProbePrivateUnit();
  hasFaceExposureWindow_ = units_->HasFaceExposureWindow();
  InterlockedExchange(&initialized_, 1);
  faceWork_.ClearAll();

  idleManager_ = PoolNew<IdleManager>(kTagIdleManager, &usb_, static_cast<IdlePowerHost*>(&idleHost_));
  if (!idleManager_) return STATUS_INSUFFICIENT_RESOURCES;
  idleManager_->Start();

  RegisterPowerCallback();

  UCHAR longTransfers = IsChipIdentified() ? 1 : 0;
  if (longTransfers && !NT_SUCCESS(usb_.GetClassRequest(kRequestGetCur, kVendorSelector1, usb_.VendorUnitIndex(),
                                                         &longTransfers, sizeof(longTransfers))))
    longTransfers = 0;
  streams_.SetLongTransfers(longTransfers != 0);
  processor_.Flicker()->AllocBuffers();
  return STATUS_SUCCESS;
}

// Alternate setting 0 of the video control interface, four tries 200 ms apart, then a port cycle.
NTSTATUS CameraDeviceBase::SelectControlInterface() {
  if (!controlInterface_) return STATUS_SUCCESS;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  for (ULONG attempt = 0; attempt < kControlAltSettingTries; ++attempt) {
    if (attempt) DelayMilliseconds(kAltSettingRetryDelay);
    controlInterface_->AlternateSetting = 0;
    status = SelectAltSetting(controlInterface_, controlInterface_->Length);
    if (NT_SUCCESS(status)) break;
  }
  if (!NT_SUCCESS(status)) {
    usb_.CyclePort();
    return status;
  }
  // Without the interrupt reader the camera button does nothing; the start goes on.
  interruptReader_ =
      PoolNew<InterruptPipeReader>(kTagInterruptReader, usb_.GetLowerStackSize(), 0UL, controlInterface_, &usb_);
  return STATUS_SUCCESS;
}

// A bulk camera gets no test reader.
NTSTATUS CameraDeviceBase::CreateTransports() {
  const CCHAR stackSize = usb_.GetLowerStackSize();
  const NTSTATUS status = streams_.CreateTransport(bulk_ != 0, stackSize, &usb_, usb3_ != 0);
  if (!NT_SUCCESS(status) || bulk_) return status;
  testReader_ = PoolNew<TestStreamReader>(kTagTestReader, streams_.Interface(), kIsochTransferSlots, 0UL, stackSize,
                                          &usb_, static_cast<TestStreamHost*>(&streams_));
  return testReader_ ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

VOID CameraDeviceBase::RegisterPowerCallback() {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Callback\\PowerState");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  if (!NT_SUCCESS(ExCreateCallback(&powerCallbackObject_, &attributes, TRUE, FALSE))) {
    powerCallbackObject_ = nullptr;
    return;
  }
  powerCallbackHandle_ = ExRegisterCallback(powerCallbackObject_, PowerStateCallback, this);
  if (!powerCallbackHandle_) {
    ObfDereferenceObject(powerCallbackObject_);
    powerCallbackObject_ = nullptr;
  }
}

VOID CameraDeviceBase::UnregisterPowerCallback() {
  // Returns once a running call of the callback has ended.
  if (powerCallbackHandle_) ExUnregisterCallback(powerCallbackHandle_);
  powerCallbackHandle_ = nullptr;
  if (powerCallbackObject_) ObfDereferenceObject(powerCallbackObject_);
  powerCallbackObject_ = nullptr;
}

// Undoes Initialize in an order that leaves nothing in use: no new test and no power callback
// first, then the test that runs, then the users of the transports, then the transports.
VOID CameraDeviceBase::Release() {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&testLock_);
  testsBlocked_ = 1;
  privateUnitPresent_ = 0;
  KeReleaseSpinLock(&testLock_, irql);

  UnregisterPowerCallback();
  WaitForTestEnd(kTestPassDelay);
  if (testReader_) testReader_->Stop();
  PoolDelete(testReader_, kTagTestReader);

  if (idleManager_) {
    idleManager_->Disable();
    idleManager_->Stop();
  }
  PoolDelete(idleManager_, kTagIdleManager);

  if (interruptReader_) interruptReader_->CancelInterruptIrp();
  PoolDelete(interruptReader_, kTagInterruptReader);

  streams_.Release();

  formats_.Release();
  if (units_) units_->ReleaseConfiguration();
  PoolDelete(units_, kTagUnitContainer);

  FreeBlock(deviceDescriptor_);
  FreeBlock(configurationDescriptor_);
  if (controlInterface_) ExFreePool(controlInterface_);
  controlInterface_ = nullptr;
  filter_.Release();
  processor_.Flicker()->FreeBuffers();
  chipFamily_ = 0;
}

// A camera without one of the vendor units is a standard UVC camera: it is not identified (chip
// family 0: no sensor set-up, no register access, no flicker measurement) and starts as a camera.
// A vendor unit whose chip cannot be read or is of another family fails the start.
bool CameraDeviceBase::IdentifyVendorChip() {
  if (!units_) return false;
  chipFamily_ = 0;
  cameraBufferSize_ = kDefaultCameraBufferSize;
  ExtensionUnitHandler* vendor = VendorUnit();
  if (vendor && !ReadChipIdentity(vendor)) return false;
  settings_.LoadRegistryValues(&controls_);
  // The next load switches the automatic white balance off unless it is on.
  StoreSetting(settings_.autoWhiteBalanceWasOn, LoadSetting(settings_.autoWhiteBalance) == 1 ? 1 : 0);
  processor_.FaceDetector()->DeviceInterval = kFaceIntervalIdentified;
  return true;
}

bool CameraDeviceBase::ReadChipIdentity(ExtensionUnitHandler* vendor) {
  // A register that cannot be read identifies nothing: the value is never guessed.
  UCHAR value = 0;
  if (!NT_SUCCESS(ReadCameraRegister(vendor, kChipIdRegister, &value))) return false;
  const ULONG family = value & 0xF0;
  switch (family) {
    case 0x80:
    case 0xA0:
    case 0xB0:
    case 0xC0:
    case 0xD0:
    case 0xE0:
      break;
    default:
      return false;
  }
  chipFamily_ = family;
  if (NT_SUCCESS(ReadCameraRegister(vendor, kBufferSizeRegister, &value))) {
    switch (value & 0x0F) {
      case 0: cameraBufferSize_ = 4096; break;
      case 1: cameraBufferSize_ = 8192; break;
      case 3: cameraBufferSize_ = 32768; break;
      case 4: cameraBufferSize_ = 65536; break;
      default: break;
    }
  }
  return true;
}

// The first of the three vendor units the camera has. A unit that carries the vendor's GUID
// without announcing both register selectors has no register pair to identify a chip or set up a
// sensor through: the camera is run as one without the vendor unit.
ExtensionUnitHandler* CameraDeviceBase::VendorUnit() {
  if (!units_) return nullptr;
  ExtensionUnitHandler* handler = units_->FirstVendorUnit();
  const bool registers = handler && HasExtensionControl(handler, kXuRegisterAddress) &&
                         HasExtensionControl(handler, kXuRegisterData);
  return registers ? handler : nullptr;
}

// The test runs on the vendor unit's registers: a camera that was not identified has none.
VOID CameraDeviceBase::ProbePrivateUnit() {
  if (!units_ || !IsChipIdentified()) return;
  ExtensionUnitHandler* unit = units_->FindExtensionUnit(TestUnitGuid);
  if (!unit) return;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&testLock_);
  privateUnitPresent_ = HasExtensionControl(unit, 3) ? 1 : 0;
  KeReleaseSpinLock(&testLock_, irql);
}

VOID CameraDeviceBase::StepCaptureStream() {
  PAGED_CODE();
  if (sensorSetupCountdown_ == 1) {
    WriteSensorSetup();
    sensorSetupCountdown_ = kSensorSetupDone;
  } else if (sensorSetupCountdown_ != kSensorSetupDone) {
    ++sensorSetupCountdown_;
  }
  LONG turns = 0;
  if (captureOrientation_ && StepCaptureOrientation(captureOrientation_, &settings_, &turns))
    SetDisplayOrientation(turns);
}

NTSTATUS CameraDeviceBase::WriteSensorSetup() {
  ExtensionUnitHandler* vendor = VendorUnit();
  if (!vendor) return STATUS_UNSUCCESSFUL;
  const LONG quality = LoadSetting(settings_.imageQuality);
  const UCHAR qualityValue = quality == 0 ? 0x51 : quality == 1 ? 0x52 : 0x53;
  WriteCameraRegister(vendor, chipFamily_ == 0x80 ? kImageQualityRegister80 : kImageQualityRegister, qualityValue);

  SHORT powerLine = LoadSetting(settings_.records[kRecordPowerLine].current);
  UCHAR line = static_cast<UCHAR>(powerLine ? powerLine : LoadSetting(settings_.flickerDetectValue));
  const USHORT unit = usb_.ProcessingUnitIndex();
  const NTSTATUS status =
      unit ? settings_.SetCurrent(&usb_, static_cast<USHORT>(kPuPowerLine << 8), unit, &line, sizeof(line))
           : STATUS_SUCCESS;

  if (LoadSetting(settings_.autoWhiteBalance) != 1) {
    if (!NT_SUCCESS(status)) return status;
    if (!NT_SUCCESS(WriteWhiteBalanceGains())) WriteWhiteBalanceGains();
    return status;
  }
  if (InterlockedCompareExchange(&whiteBalanceFirstRun_, 0, 1) == 1 && LoadSetting(settings_.awbCheck) != 0 &&
      NT_SUCCESS(status)) {
    static const struct {
      USHORT address;
      UCHAR value;
    } kFirstCheck[] = {{0x0697, 0x00}, {0x3104, 0x46}, {0x3106, 0x40}, {0x3108, 0x7B}};
    for (const auto& write : kFirstCheck) {
      const NTSTATUS written = WriteCameraRegister(vendor, write.address, write.value);
      if (!NT_SUCCESS(written)) return written;
    }
  }
  return status;
}

NTSTATUS CameraDeviceBase::WriteWhiteBalanceGains() {
  ExtensionUnitHandler* vendor = VendorUnit();
  if (!vendor) return STATUS_UNSUCCESSFUL;
  const UCHAR red = static_cast<UCHAR>(LoadSetting(settings_.wbRed) * 41 / 255 + 79);
  const UCHAR green = static_cast<UCHAR>(LoadSetting(settings_.wbGreen) * 20 / 255 + 60);
  const UCHAR blue = static_cast<UCHAR>(LoadSetting(settings_.wbBlue) * 62 / 255 + 88);
  bool alternateBank = false;
  if (chipFamily_ == 0xC0) {
    UCHAR bank = 0;
    if (NT_SUCCESS(ReadCameraRegister(vendor, kWhiteBalanceBankRegister, &bank)))
      alternateBank = (bank & kWhiteBalanceBankBit) != 0;
  }
  // Registers per gain: red, green, green again, blue; two each.
  struct Pair {
    USHORT first, second;
  };
  const Pair* table;
  static const Pair k80[] = {{0x2128, 0x0476}, {0x212C, 0x0474}, {0x2134, 0x0474}, {0x2130, 0x0471}};
  static const Pair kA0[] = {{0x2128, 0x00A8}, {0x212C, 0x00A6}, {0x2134, 0x00A6}, {0x2130, 0x00AA}};
  static const Pair kB0[] = {{0x2130, 0x0520}, {0x2134, 0x0521}, {0x213C, 0x0521}, {0x2138, 0x0522}};
  static const Pair kOther[] = {{0x2130, 0x0571}, {0x2134, 0x0573}, {0x213C, 0x0573}, {0x2138, 0x0575}};
  static const Pair kOtherBank[] = {{0x3104, 0x0571}, {0x3106, 0x0573}, {0x213C, 0x0573}, {0x3108, 0x0575}};
  switch (chipFamily_) {
    case 0x80: table = k80; break;
    case 0xA0: table = kA0; break;
    case 0xB0: table = kB0; break;
    default: table = alternateBank ? kOtherBank : kOther; break;
  }
  const UCHAR gains[] = {red, green, green, blue};
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < ARRAYSIZE(gains); ++i) {
    if (i == 2 && alternateBank && chipFamily_ == 0xC0) continue;
    WriteCameraRegister(vendor, table[i].first, gains[i]);
    status = WriteCameraRegister(vendor, table[i].second, gains[i]);
  }
  return status;
}

// System sleep and resume, as "\Callback\PowerState" announces them. Release unregisters the
// callback (waiting for a running call) before it frees what this uses.
VOID CameraDeviceBase::OnSystemPowerState(bool backInWorkingState) {
  if (!backInWorkingState) {
    InterlockedExchange(&systemSuspended_, 1);
    if (IsInitialized() && idleManager_) {
      idleManager_->Resume();
      controls_.MarkResume();
      InterlockedExchange(&restartPending_, 1);
      WaitForTestEnd(kTestStopPollDelay);
    }
    if (GetCaptureRunning()) streams_.PauseForSleep();
    return;
  }
  InterlockedExchange(&restartPending_, 1);
  InterlockedExchange(&systemSuspended_, 0);
  if (idleManager_) idleManager_->StartTimer();
  // From Windows 10 build 10587 on, a stream on an alternate setting is resumed in place with its
  // bandwidth selected again; a bulk stream starts afresh at the pin's next RUN.
  if (!GetCaptureRunning() || !IsWindows10Build10587OrLater() || !streams_.ResumesInPlace()) return;
  DelayMilliseconds(kResumeSettleDelay);
  // The pin the transport serves, held so that it outlives the resume without the stream lock:
  // the pin takes its processing mutex first and then comes back for the stream steps.
  PKSPIN pin = streams_.HoldServedCapturePin(&streamOwners_);
  if (!pin) return;
  static_cast<CapturePin*>(static_cast<CameraPinBase*>(pin->Context))->ResumeAfterSleep();
  streamOwners_.Unhold(pin);
}

}  // namespace kvz
