// The USB I/O root of the camera device object: synchronous URBs with a 5 s limit, the port
// cycle, UVC class requests, the still button and forwarding to the next-lower device object.
#pragma once
#include <wdm.h>
#include <ks.h>
#include <usb.h>

#include "common/camera_services.h"

namespace kvz {

class ClassRequestSender;
class UsbDevice;

// What post-processing and face exposure see of the device: its class requests and the vendor
// unit's address.
class UsbCameraServices : public CameraServices {
 public:
  explicit UsbCameraServices(UsbDevice* device) : device_(device) {}
  NTSTATUS GetClassRequest(UCHAR request, USHORT value, USHORT index, PVOID buffer, USHORT length) override;
  NTSTATUS SetClassRequest(UCHAR request, USHORT value, USHORT index, PVOID buffer, USHORT length) override;
  USHORT VendorUnitIndex() const override;
  USHORT ProcessingUnitIndex() const override;
  VOID AcquireRegisterAccess() override;
  VOID ReleaseRegisterAccess() override;

 private:
  UsbDevice* device_;
};

class UsbDevice {
 public:
  explicit UsbDevice(PKSDEVICE device);
  // A status packet of `length` bytes from the interrupt reader (up to DISPATCH_LEVEL).
  virtual NTSTATUS OnStatusInterrupt(const UCHAR* packet, ULONG length);
  virtual ~UsbDevice();
  UsbDevice(const UsbDevice&) = delete;
  UsbDevice& operator=(const UsbDevice&) = delete;

  // PASSIVE_LEVEL; serialised on the device's I/O semaphore. STATUS_NO_SUCH_DEVICE once removed,
  // STATUS_IO_TIMEOUT when the bus did not answer within 5 s.
  NTSTATUS SubmitUrbSync(PURB urb);
  NTSTATUS CyclePort();

  // wValue: selector << 8; wIndex: unit << 8 | interface. STATUS_INSUFFICIENT_RESOURCES when the
  // request sender could not be allocated.
  NTSTATUS GetClassRequest(UCHAR request, USHORT value, USHORT index, PVOID buffer, ULONG length);
  NTSTATUS SetClassRequest(UCHAR request, USHORT value, USHORT index, PVOID buffer, ULONG length);

  // The video function's control and streaming interface numbers as its configuration gives them
  // (0 and 1 until parsed): a later function of a composite device has others, and every class
  // request is addressed through them.
  VOID SetControlInterface(UCHAR number) { controlInterface_ = number; }
  VOID SetStreamingInterface(UCHAR number) { streamingInterface_ = number; }
  // entity: the unit or terminal id in the high byte.
  USHORT ControlIndex(USHORT entity) const { return static_cast<USHORT>((entity & 0xFF00) | controlInterface_); }
  USHORT StreamingIndex() const { return streamingInterface_; }
  // The processing unit's id as its descriptor gives it: the power-line requests that do not go
  // through the unit's handler are addressed with it. 0 (no index) while the camera has none, so
  // that those requests never reach another unit's selectors.
  VOID SetProcessingUnitId(UCHAR id) { processingUnitId_ = id; }
  USHORT ProcessingUnitIndex() const {
    return processingUnitId_ ? ControlIndex(static_cast<USHORT>(processingUnitId_ << 8)) : 0;
  }
  // This camera's vendor unit (the register pairs, the face-exposure window) and test unit (the
  // test stream's result), each as its unit id and control interface. Kept per camera: a second
  // camera's units are numbered its own way. The vendor unit's is 0 and the test unit's 0x00FF
  // until the configuration names them.
  VOID SetVendorUnitIndex(USHORT index) { vendorUnitIndex_ = index; }
  USHORT VendorUnitIndex() const { return vendorUnitIndex_; }
  VOID SetTestUnitIndex(USHORT index) { testUnitIndex_ = index; }
  USHORT TestUnitIndex() const { return testUnitIndex_; }

  VOID SetStillPinOpen(LONG open);
  // Still pins count in and out: two clients' still pins open, one closed, the button still
  // triggers for the other.
  VOID AddStillPin() { InterlockedIncrement(&stillPinOpen_); }
  VOID RemoveStillPin() { InterlockedDecrement(&stillPinOpen_); }
  CCHAR GetLowerStackSize() const;
  PIO_WORKITEM AllocateWorkItem();
  NTSTATUS IoCallMyDriver(PIRP irp);
  NTSTATUS RequestPowerIrp(UCHAR minorFunction, POWER_STATE state, PREQUEST_POWER_COMPLETE completion,
                           PVOID context);

  // Set at remove and surprise removal; never cleared.
  VOID MarkRemoved();
  bool IsRemoved() const;
  // False when the request sender could not be allocated: the start must fail.
  bool HasClassRequestSender() const { return sender_ != nullptr; }
  PKSDEVICE KsDevice() const { return device_; }
  CameraServices* Services() { return &services_; }
  // A camera register's address and data requests are sent as one pair under this lock.
  // PASSIVE_LEVEL; the holder may take it again.
  VOID AcquireRegisterAccess();
  VOID ReleaseRegisterAccess();

 private:
  NTSTATUS SendSync(ULONG ioctl, PURB urb);

  PKSDEVICE device_;
  volatile LONG removed_;
  volatile LONG stillPinOpen_;  // still pins open (SetStillPinOpen sets it outright)
  ClassRequestSender* sender_;
  KSEMAPHORE ioSemaphore_;
  KMUTEX registerLock_;
  UsbCameraServices services_;
  UCHAR controlInterface_ = 0;
  UCHAR streamingInterface_ = 1;
  UCHAR processingUnitId_ = 0;
  USHORT vendorUnitIndex_ = 0;
  USHORT testUnitIndex_ = 0x00FF;
};

}  // namespace kvz
