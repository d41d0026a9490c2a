// The device's stream control, the object the device hands its pins (PinDevice::Streams) and the
// private test's reader: the transport, the streaming interface record and its alternate setting,
// and the start, suspend, stop and resume steps under the device's stream lock. What a stream
// start or stop asks of the rest of the device (controls restored, detectors reset) stays the
// device's.
#pragma once
#include <wdm.h>
#include <ks.h>
#include <usb.h>

#include "driver/pins/pin_device.h"
#include "usb/test_stream_reader.h"

namespace kvz {

class CameraDeviceBase;
class StreamTransport;
class UsbDevice;

// The device's own record of the streaming interface: one pipe at most, 128 bytes of room.
constexpr ULONG kInterfaceRecordBytes = 128;

class DeviceStreamControl final : public PinStreamControl, public TestStreamHost {
 public:
  explicit DeviceStreamControl(CameraDeviceBase* device);
  DeviceStreamControl(const DeviceStreamControl&) = delete;
  DeviceStreamControl& operator=(const DeviceStreamControl&) = delete;
  ~DeviceStreamControl() = default;

  // --- PinStreamControl (filter and pins). StartStream registers a pin of a stream type on the
  // transport; SuspendStream(1) pauses the capture stream, (0) answers kStatusRestartStream when
  // the transport must be started afresh; StopStream unregisters the stream type.
  NTSTATUS StartStream(ULONG payloadSize, ULONG frameSize, PKSPIN pin, ULONG streamType) override;
  NTSTATUS SuspendStream(ULONG pause) override;
  NTSTATUS StopStream(ULONG streamType) override;
  bool PauseEndsCommit() override;
  ULONG StopSettleDelay() override;
  bool TransportServesOtherPin(PKSPIN pin) override;
  VOID ResumeCaptureStream(PKSPIN pin) override;
  ULONG TakeFrame(FrameBuffer** frame, PUCHAR* data, ULONG streamType) override;
  VOID ReturnFrame(FrameBuffer* frame, ULONG streamType) override;
  bool TakeSkipNextFrame() override { return InterlockedExchange(&skipNextFrame_, 0) != 0; }

  // --- StreamBandwidth (pins and the private test's reader).
  NTSTATUS SelectStreamingAltSetting(ULONG payloadSize) override;
  NTSTATUS SelectZeroBandwidth() override;

  // --- TestStreamHost (the private test's reader).
  VOID ClearZeroBandwidthMark() override;
  bool IsUsb3() override;

  // --- The device's life cycle.
  // The record the configuration selection fills; cleared before each selection.
  PUSBD_INTERFACE_INFORMATION Interface() { return &streamingInterface_; }
  VOID ClearInterface() { RtlZeroMemory(streamingInterfaceBytes_, sizeof(streamingInterfaceBytes_)); }
  // The transport for the streaming endpoint (bulk or isochronous), once per start.
  NTSTATUS CreateTransport(bool bulk, CCHAR stackSize, UsbDevice* usb, bool usb3);
  // Long isochronous transfers: the camera asks for them (identified chips only).
  VOID SetLongTransfers(bool longTransfers) { longIsochTransfers_ = longTransfers ? 1 : 0; }
  // Frees the transport; the camera is back at zero bandwidth and no stream is started.
  VOID Release();
  // System sleep: the transport pauses and the bandwidth goes back.
  VOID PauseForSleep();
  // The resume in place (an alternate-setting transport): the capture pin the transport serves,
  // held in owners under the stream lock; null when there is none or it cannot be held.
  bool ResumesInPlace();
  PKSPIN HoldServedCapturePin(StreamOwnership* owners);

 private:
  // Holds the stream lock for a scope: stream control and the resume path are one at a time.
  class StreamLockScope {
   public:
    explicit StreamLockScope(PKMUTEX lock) : lock_(lock) {
      KeWaitForSingleObject(lock_, Executive, KernelMode, FALSE, nullptr);
    }
    ~StreamLockScope() { KeReleaseMutex(lock_, FALSE); }
    StreamLockScope(const StreamLockScope&) = delete;
    StreamLockScope& operator=(const StreamLockScope&) = delete;

   private:
    PKMUTEX lock_;
  };

  ULONG CommittedPayload(ULONG payloadSize, ULONG streamType);
  NTSTATUS StartTransport(ULONG payload, ULONG frameSize, PKSPIN pin, ULONG streamType);
  bool TransportServesVideoAndType4();
  bool TransportHasStreamingPin();

  // Every member is initialised here: the pool hands out blocks that are not zeroed.
  CameraDeviceBase* device_;
  StreamTransport* transport_{};  // isochronous or bulk, by the streaming endpoint
  union {
    USBD_INTERFACE_INFORMATION streamingInterface_;
    UCHAR streamingInterfaceBytes_[kInterfaceRecordBytes]{};
  };
  // The last committed payload size per stream type: a restart after PAUSE comes without one.
  ULONG lastPayloadSize_[5]{};
  // Stream start, suspend and stop, the alternate-setting changes and the resume path.
  KMUTEX streamLock_;
  volatile LONG zeroBandwidth_{};
  volatile LONG skipNextFrame_{};
  UCHAR longIsochTransfers_{};
};

}  // namespace kvz
