// What a simulated USB device offers the bus stand-in. The bus calls these from its own kernel
// thread or from the submitting thread, never while it holds a lock of its own; every call gets the
// kernel time (100-ns units) at which the device sees the request. Test side only.
#pragma once

#include <cstdint>
#include <vector>

#include "ntstatus.h"
#include "usb.h"
#include "wdm.h"

namespace kvz::usb {

enum class Speed { Full, High, Super };

// How a request or transfer ends.
struct Completion {
  NTSTATUS irpStatus = STATUS_SUCCESS;
  USBD_STATUS urbStatus = USBD_STATUS_SUCCESS;
  uint32_t length = 0;  // bytes moved
};

enum class Disposition {
  kComplete,    // complete with the given Completion
  kHold,        // stays pending until cancelled, aborted or the device is removed
  kRemove,      // the device drops off the bus now; the request fails as every pending one does
};

struct Outcome {
  Disposition disposition = Disposition::kComplete;
  Completion completion;

  static Outcome Ok(uint32_t length = 0) { return {Disposition::kComplete, {STATUS_SUCCESS, USBD_STATUS_SUCCESS, length}}; }
  static Outcome Fail(NTSTATUS irp, USBD_STATUS urb) { return {Disposition::kComplete, {irp, urb, 0}}; }
  static Outcome Stall() { return Fail(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID); }
  static Outcome Hold() { return {Disposition::kHold, {}}; }
  static Outcome Remove() { return {Disposition::kRemove, {}}; }
};

// One (micro)frame of an isochronous IN transfer.
struct IsochPacketResult {
  uint32_t length = 0;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
};

// A bulk or interrupt IN transfer asked for data.
struct StreamResult {
  Outcome outcome;            // used when ready
  bool ready = false;         // false: nothing to deliver yet
  uint64_t readyAt = 0;       // when not ready: the time to ask again, 0 = only when kicked
};

// The bus side a device can call back into.
class UsbPort {
 public:
  virtual ~UsbPort() = default;
  // Something changed (a button was pressed, a fault was armed): look at pending transfers again.
  virtual void Kick() = 0;
  // The device drops off the bus (surprise removal) as soon as the bus gets to it.
  virtual void RequestRemoval() = 0;
};

class UsbFunction {
 public:
  virtual ~UsbFunction() = default;

  virtual Speed GetSpeed() const = 0;
  virtual std::vector<uint8_t> DeviceDescriptor() const = 0;
  virtual std::vector<uint8_t> ConfigurationDescriptor() const = 0;
  virtual void Attach(UsbPort* port) = 0;  // null on removal

  // A request on the default pipe. data holds setup.wLength bytes (OUT: the data to send;
  // IN: room for the answer); the outcome's length is the data stage's length.
  virtual Outcome Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, uint8_t* data, uint64_t now) = 0;
  virtual Outcome SetConfiguration(uint8_t value, uint64_t now) = 0;
  virtual Outcome SetInterface(uint8_t interfaceNumber, uint8_t alternate, uint64_t now) = 0;

  // An isochronous IN transfer was submitted and is about to be scheduled: kComplete with
  // success lets it run packet by packet; a failure completes it at once; kHold keeps it until
  // aborted.
  virtual Outcome IsochTransferStarts(uint8_t endpoint, uint32_t packets, uint64_t now) = 0;
  // The packet of (micro)frame frameNumber, due at time; capacity is the pipe's bytes per interval.
  virtual IsochPacketResult IsochInPacket(uint8_t endpoint, uint64_t frameNumber, uint64_t time,
                                          uint8_t* buffer, uint32_t capacity) = 0;
  // A bulk or interrupt IN transfer of up to capacity bytes.
  virtual StreamResult StreamIn(uint8_t endpoint, uint64_t now, uint8_t* buffer, uint32_t capacity) = 0;

  virtual void PipeAborted(uint8_t endpoint, uint64_t now) = 0;
  virtual void PipeReset(uint8_t endpoint, uint64_t now) = 0;
  // The port was cycled (re-enumeration): the device is back in its unconfigured state.
  virtual void PortCycled(uint64_t now) = 0;
  // The port's device power state changed (IRP_MN_SET_POWER reached the bus).
  virtual void PowerChanged(DEVICE_POWER_STATE state, uint64_t now) {
    (void)state;
    (void)now;
  }
};

}  // namespace kvz::usb
