// One device on the bus: its PDO, the pipes of its selected configuration, the requests pending
// on them and the bus thread that times and completes them.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "kvz/kernel_thread.h"
#include "kvz/usb_bus.h"
#include "usbdi.h"
#include "wdm.h"

namespace kvz::usb {

struct EndpointInfo {
  uint8_t address = 0;
  uint8_t attributes = 0;
  uint16_t wMaxPacketSize = 0;
  uint8_t interval = 0;
  uint16_t bytesPerInterval = 0;  // SuperSpeed companion, when present
  bool hasCompanion = false;
};

struct AlternateInfo {
  uint8_t interfaceNumber = 0;
  uint8_t alternate = 0;
  uint8_t interfaceClass = 0, subClass = 0, protocol = 0;
  std::vector<EndpointInfo> endpoints;
};

struct Pipe;

struct Request {
  enum class Kind { kControl, kIsoch, kBulk, kSimple, kIdle };
  Kind kind = Kind::kSimple;
  PIRP irp = nullptr;
  PURB urb = nullptr;
  Pipe* pipe = nullptr;
  Completion completion;
  uint64_t startFrame = 0;  // isochronous: first (micro)frame
  uint64_t due = 0;         // isochronous: when the last (micro)frame has passed
  uint32_t lateFrames = 0;  // isochronous: leading packets whose (micro)frame passed before submission
  bool held = false;        // the device keeps it until it is cancelled, aborted or removed
};

struct Pipe {
  uint8_t endpoint = 0;
  uint8_t interfaceNumber = 0;
  USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
  uint32_t bytesPerInterval = 0;
  uint8_t interval = 0;
  bool active = true;
  uint64_t nextFrame = 0;  // isochronous: the (micro)frame after the last scheduled one
  uint64_t readyAt = 0;    // bulk and interrupt: when the device said to ask again
  std::deque<Request*> queue;
};

class PortDevice : public UsbPort {
 public:
  PortDevice(std::shared_ptr<UsbFunction> function, const PortOptions& options);
  ~PortDevice() override;

  NTSTATUS Create();  // the PDO and the bus thread
  PDEVICE_OBJECT Pdo() const { return pdo_; }
  static PortDevice* FromDevice(PDEVICE_OBJECT device);

  // Dispatch of the PDO's driver.
  NTSTATUS DispatchInternal(PIRP irp);
  NTSTATUS DispatchPnp(PIRP irp);
  NTSTATUS DispatchPower(PIRP irp);
  void CancelRequest(PIRP irp);

  // UsbPort.
  void Kick() override;
  void RequestRemoval() override;

  // Test side.
  kvz::kernel::DeviceDescription Description() const;
  std::vector<std::u16string> HardwareIds() const;
  void Unplug();
  bool Removed() const { return removed_.load(); }
  void SetRemovalHandler(std::function<void()> handler);
  DEVICE_POWER_STATE PowerState() const { return powerState_.load(); }
  uint32_t PortCycles() const { return portCycles_.load(); }
  size_t PendingRequests();
  uint64_t CompletedTransfers() const { return completedTransfers_.load(); }
  bool IdleNotificationPending();
  void RunIdleCallback();
  void CompleteIdleNotification(NTSTATUS status);
  UsbFunction& Function() const { return *function_; }

 private:
  // URB handling (urb_dispatch.cpp).
  NTSTATUS SubmitUrb(PIRP irp, PURB urb);
  NTSTATUS SelectConfiguration(PIRP irp, PURB urb);
  NTSTATUS SelectInterface(PIRP irp, PURB urb);
  NTSTATUS ControlRequest(PIRP irp, PURB urb, const USB_DEFAULT_PIPE_SETUP_PACKET& setup, uint8_t* data);
  NTSTATUS QueueTransfer(PIRP irp, PURB urb);
  NTSTATUS AbortPipe(PIRP irp, PURB urb, bool reset);
  bool FillInterface(PUSBD_INTERFACE_INFORMATION info, const AlternateInfo& alt, USHORT room, USBD_STATUS* failure);
  Pipe* ActivePipe(USBD_PIPE_HANDLE handle);
  const AlternateInfo* FindAlternate(uint8_t interfaceNumber, uint8_t alternate) const;
  void ReplacePipes(uint8_t interfaceNumber, const AlternateInfo* alt, PUSBD_INTERFACE_INFORMATION info);
  NTSTATUS DeviceGone(PIRP irp, PURB urb);
  bool SettingFailed(PIRP irp, PURB urb, const Outcome& o, NTSTATUS* status);

  // Request life (port_device.cpp).
  NTSTATUS FailNow(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS urbStatus);
  NTSTATUS Pend(Request* request, std::deque<Request*>* queue);
  NTSTATUS CompleteLater(PIRP irp, PURB urb, Completion completion);
  NTSTATUS MakeReady(Request* request);  // queues a finished request for the service thread
  void Finish(Request* request);
  void RemoveDevice();
  void CancelPipeRequests(Pipe* pipe, NTSTATUS status, USBD_STATUS urbStatus);
  void ThreadBody();
  bool ServiceOnce(uint64_t* wakeAt);
  void FillIsoch(Request* r, uint64_t now);
  uint64_t FrameUnit() const;  // 100-ns units per (micro)frame
  bool TakeFromQueue(Request* r, std::deque<Request*>& queue);
  void PutBackAtHead(Request* r, std::deque<Request*>& queue, uint64_t readyAt);

  std::shared_ptr<UsbFunction> function_;
  PortOptions options_;
  Speed speed_;
  std::vector<uint8_t> deviceDescriptor_;
  std::vector<uint8_t> configurationDescriptor_;
  std::vector<AlternateInfo> alternates_;
  uint8_t configurationValue_ = 1;

  PDEVICE_OBJECT pdo_ = nullptr;
  KSPIN_LOCK lock_;
  KEVENT wake_;
  std::unique_ptr<kvz::kernel::KernelThread> thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> removed_{false};
  std::atomic<bool> removalRequested_{false};
  std::atomic<DEVICE_POWER_STATE> powerState_{PowerDeviceD0};
  std::atomic<uint32_t> portCycles_{0};
  std::atomic<uint64_t> completedTransfers_{0};
  std::atomic<uint64_t> kicks_{0};
  std::function<void()> removalHandler_;

  // Guarded by lock_.
  bool configured_ = false;
  std::vector<std::unique_ptr<Pipe>> pipes_;  // every pipe ever handed out; inactive ones stay for handle checks
  std::deque<Request*> ready_;                // decided, to be completed by the bus thread in order
  std::deque<Request*> held_;                 // default-pipe requests the device holds
  Request* idle_ = nullptr;
};

}  // namespace kvz::usb
