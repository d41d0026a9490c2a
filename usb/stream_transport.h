// The video transport the camera device streams on: the isochronous or the bulk stream reader,
// chosen once when the device starts. The device and the pins never ask which one it is; where
// the two differ, the transport answers for itself (its operations, and the three properties at
// the end).
#pragma once
#include <wdm.h>
#include <ks.h>
#include <usb.h>

#include "usb/frame_buffer.h"

namespace kvz {

class StreamTransport {
 public:
  // Stops a transport that still streams. The device destroys its transport through this type
  // (PoolDelete), so StreamTransport is each reader's first base: the object's address is the
  // pool block's.
  virtual ~StreamTransport() = default;

  // PASSIVE_LEVEL, one call at a time. Registers pin for the stream type. kStreamStill only
  // registers the still pin and makes two still buffers of frameSize. The first capture or
  // type-4 registration while stopped starts streaming on the interface record with transfers
  // for payloadSize bytes a payload: packetsPerTransfer packets each on an isochronous pipe,
  // one payload each on a bulk pipe (which ignores the packet count). STATUS_UNSUCCESSFUL while
  // running; the readers' own failures otherwise.
  virtual NTSTATUS Start(ULONG frameSize, ULONG packetsPerTransfer, ULONG payloadSize,
                         PUSBD_INTERFACE_INFORMATION interfaceInfo, PKSPIN pin, ULONG streamType) = 0;
  // PASSIVE_LEVEL. Unregisters the stream type's pin; the last capture or type-4 pin stops
  // streaming and frees every frame buffer.
  virtual NTSTATUS Stop(ULONG streamType) = 0;
  // 1 pauses, 0 resumes; refused (STATUS_UNSUCCESSFUL) while stopped or while a type-4 pin is
  // registered.
  virtual NTSTATUS SetTransportPaused(ULONG paused) = 0;
  // PASSIVE_LEVEL. The device selected an alternate setting of the streaming interface: the
  // camera ended its stream there, and begins a new one with a whole frame.
  virtual VOID AlternateSettingSelected() = 0;

  // PASSIVE_LEVEL, from the pins' process routines. The newest ready capture frame (older ones
  // go back unread), or the head of the still or type-4 ready list; null if none. Each taken
  // frame goes back once, by ReturnFrameBuffer with its stream type.
  virtual FrameBuffer* TakeReadyFrame(ULONG streamType) = 0;
  virtual VOID ReturnFrameBuffer(FrameBuffer* frame, ULONG kind) = 0;

  // The pin registered for a stream type, or null.
  virtual PKSPIN RegisteredPin(ULONG streamType) = 0;
  PKSPIN VideoPin() { return RegisteredPin(kStreamCapture); }
  PKSPIN StillPin() { return RegisteredPin(kStreamStill); }
  PKSPIN Type4Pin() { return RegisteredPin(kStreamThird); }

  // True when the camera streams on a streaming alternate setting chosen for the payload's
  // bandwidth and stops when setting 0 is selected (isochronous). A bulk streaming interface
  // has setting 0 only: the camera streams from the commit on and the transport's pipe reset
  // stops it.
  virtual bool UsesAlternateSettings() const = 0;
  // True when pausing the transport makes the camera forget its commit (the bulk pipe reset):
  // streaming again needs a new commit.
  virtual bool PauseEndsCommit() const = 0;
  // Milliseconds the camera is given after a stream stop before it is asked anything again.
  virtual ULONG StopSettleDelay() const = 0;

 protected:
  StreamTransport() = default;
  StreamTransport(const StreamTransport&) = delete;
  StreamTransport& operator=(const StreamTransport&) = delete;
};

}  // namespace kvz
