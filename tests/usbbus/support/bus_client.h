// A test's view of the bus: URBs sent to a port's PDO the way a client driver sends them,
// synchronously or with a completion routine, plus streaming loops that keep transfers in flight.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "kvz/usb_bus.h"
#include "simcam/payload_assembler.h"
#include "simcam/sim_camera.h"
#include "usbdlib.h"
#include "uvc.h"
#include "wdm.h"

namespace kvz::usb::testing {

simcam::VendorGuids TestGuids();

// One IRP sent with a completion routine that records how it ended.
struct AsyncRequest {
  PIRP irp = nullptr;
  KEVENT done;
  NTSTATUS callStatus = 0;      // what IoCallDriver returned
  NTSTATUS status = 0;          // IoStatus.Status at completion
  KIRQL completionIrql = 0xFF;
  uint64_t completedAt = 0;
  // Written by the completion routine, which may run on another thread while the sender is
  // still inside IoCallDriver.
  std::atomic<bool> completed{false};
  std::atomic<bool> completedInsideCall{false};
  std::atomic<bool> inCall{false};
  ~AsyncRequest();
  bool Wait(int64_t timeout100ns = -1);  // kernel wait; true when completed
};

class BusClient {
 public:
  explicit BusClient(UsbPortHandle port) : port_(port) {}
  UsbPortHandle Port() const { return port_; }
  PDEVICE_OBJECT Pdo() const { return port_.Pdo(); }

  // Sends and waits; the IRP's final status.
  NTSTATUS Submit(PURB urb, NTSTATUS* callStatus = nullptr);
  // IRP_MN_SET_POWER for a device power state, as the function driver passes it down.
  std::unique_ptr<AsyncRequest> SetPower(DEVICE_POWER_STATE state);
  // Sends with a completion routine; the caller waits on the result.
  std::unique_ptr<AsyncRequest> SubmitAsync(PURB urb, ULONG ioctl = IOCTL_INTERNAL_USB_SUBMIT_URB, PVOID input = nullptr,
                                            ULONG inputLength = 0);

  NTSTATUS GetDescriptor(uint8_t type, uint16_t length, std::vector<uint8_t>* out, USBD_STATUS* urbStatus = nullptr);
  std::vector<uint8_t> ReadConfiguration();
  // Selects the configuration with every interface at alternate setting 0.
  NTSTATUS Configure();
  NTSTATUS SelectAlternate(uint8_t interfaceNumber, uint8_t alternate, USBD_STATUS* urbStatus = nullptr);
  NTSTATUS ClassRequest(bool in, uint8_t request, uint16_t wValue, uint16_t wIndex, std::vector<uint8_t>* data,
                        USBD_STATUS* urbStatus = nullptr, ULONG* transferred = nullptr);
  NTSTATUS PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe);
  UVC_VIDEO_PROBE_COMMIT Commit(uint8_t format, uint8_t frame, uint32_t interval);

  const std::vector<uint8_t>& Info(uint8_t interfaceNumber) const { return interfaces_.at(interfaceNumber); }
  PUSBD_INTERFACE_INFORMATION Interface(uint8_t interfaceNumber) {
    return reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(interfaces_.at(interfaceNumber).data());
  }
  USBD_CONFIGURATION_HANDLE ConfigurationHandle() const { return configuration_; }

 private:
  UsbPortHandle port_;
  USBD_CONFIGURATION_HANDLE configuration_ = nullptr;
  std::vector<std::vector<uint8_t>> interfaces_ = std::vector<std::vector<uint8_t>>(8);
  std::vector<uint8_t> config_;
};

// A bulk or interrupt read in flight, with its buffer and URB.
struct BulkRead {
  BulkRead(BusClient& client, PUSBD_PIPE_INFORMATION pipe, ULONG size);
  std::vector<uint8_t> buffer;
  URB urb{};
  std::unique_ptr<AsyncRequest> request;
};

// An isochronous transfer in flight: `packets` packets of the pipe's stride, as soon as possible.
struct IsochRead {
  IsochRead(BusClient& client, PUSBD_PIPE_INFORMATION pipe, uint32_t packets);
  PURB Urb() { return reinterpret_cast<PURB>(urbBytes.data()); }
  std::vector<uint8_t> urbBytes;
  std::vector<uint8_t> buffer;
  int64_t submittedAt = 0;
  std::unique_ptr<AsyncRequest> request;
};

// Keeps `transfers` transfers in flight on a pipe from completion routines, feeding every payload
// to an assembler until `frames` frames are complete (or a transfer fails with `stopOn`).
struct StreamResult {
  std::vector<simcam::AssembledFrame> frames;
  uint32_t transfers = 0;
  uint32_t failed = 0;
  NTSTATUS lastFailure = STATUS_SUCCESS;
  USBD_STATUS lastUrbFailure = USBD_STATUS_SUCCESS;
  bool allAtDispatch = true;
};
StreamResult StreamIsoch(BusClient& client, PUSBD_PIPE_INFORMATION pipe, uint32_t transfers, uint32_t packets,
                         size_t frames, int64_t timeout100ns = 100 * 10000000LL);
StreamResult StreamBulk(BusClient& client, PUSBD_PIPE_INFORMATION pipe, uint32_t transfers, uint32_t size,
                        size_t frames, int64_t timeout100ns = 100 * 10000000LL);

}  // namespace kvz::usb::testing
