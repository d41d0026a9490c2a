// One device on the bus: its PDO, the pipes of its selected configuration, the requests pending
// on them and the bus thread that times and completes them.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <random>
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
  uint64_t due = 0;         // when it can complete at the earliest (isochronous: its last frame passed)
  uint32_t lateFrames = 0;  // isochronous: leading packets whose (micro)frame passed before submission
  bool held = false;        // the device keeps it until it is cancelled, aborted or removed
  bool failAtDue = false;   // a bus fault decided its completion; the device is not asked
  // Default-pipe requests: the setup packet and the caller's buffer, moved at completion.
  USB_DEFAULT_PIPE_SETUP_PACKET setup{};
  uint8_t* data = nullptr;
};

struct Pipe {
  uint8_t endpoint = 0;
  uint8_t interfaceNumber = 0;
  USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
  uint32_t bytesPerInterval = 0;
  uint8_t interval = 0;
  uint32_t pollFrames = 1;  // interrupt: (micro)frames between polls
  uint32_t ordinal = 0;     // creation order; in stress mode it picks the completion thread
  bool active = true;
  bool halted = false;      // bulk and interrupt: a stall or babble halted it until a reset
  uint64_t busyUntil = 0;   // default pipe: the last scheduled control transfer's end
  uint64_t nextFrame = 0;  // isochronous: the (micro)frame after the last scheduled one
  uint64_t readyAt = 0;    // bulk and interrupt: when the device said to ask again
  std::deque<Request*> queue;
};

class PortDevice : public UsbPort {
 public:
  PortDevice(std::shared_ptr<UsbFunction> function, const PortOptions& options);
  ~PortDevice() override;

  NTSTATUS Create();  // the PDO and the bus threads
  // How a re-enumerated device comes back: the bus plugs it again on a new port.
  void SetReenumerate(std::function<void()> reenumerate) { reenumerate_ = std::move(reenumerate); }
  void Detach() { attached_ = false; }  // the function now belongs to a newer port
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
  void Remove(NTSTATUS status, uint32_t transactionErrors);
  void ArmBusFault(const BusFault& fault);
  void ClearBusFaults();
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

  NTSTATUS CyclePort(PIRP irp);

  // Request life (port_device.cpp).
  NTSTATUS FailNow(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS urbStatus);
  NTSTATUS Pend(Request* request, std::deque<Request*>* queue);
  NTSTATUS CompleteLater(PIRP irp, PURB urb, Completion completion, int64_t delay = 0);
  NTSTATUS MakeReady(Request* request, int64_t delay = 0);  // a finished request for the bus thread
  // A success that may complete inside IoCallDriver (PortOptions::syncCompletionShare).
  bool CompletesInCall();
  void Finish(Request* request);
  void Deliver(Request* request);  // Finish here, or on the second completion thread
  void RemoveDevice();
  Completion Gone() const;  // how requests end once the device is removed
  void CancelPipeRequests(Pipe* pipe, NTSTATUS status, USBD_STATUS urbStatus);
  void ThreadBody();
  void SecondThreadBody();
  bool ServiceOnce(uint64_t* wakeAt);
  void ServiceControl(Request* r, uint64_t now);
  // Puts a default-pipe request to the device and moves its data; the completion is decided
  // when the outcome is kComplete.
  Outcome AskDevice(Request* r, uint64_t now);
  void ServiceStream(Request* r, uint64_t now);
  void FillIsoch(Request* r, uint64_t now);
  void FailTransferForRemoval(Request* r);
  uint64_t FrameUnit() const;  // 100-ns units per (micro)frame
  uint64_t NextPoll(const Pipe& pipe, uint64_t after) const;
  bool TakeFromQueue(Request* r, std::deque<Request*>& queue);
  void PutBackAtHead(Request* r, std::deque<Request*>& queue, uint64_t readyAt);
  // The armed fault for a request of this kind, if one hits it now.
  bool TakeFault(BusRequest request, BusFault* fault);
  void PortPowerChanged(DEVICE_POWER_STATE from, DEVICE_POWER_STATE to);
  bool Suspended() const;

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
  std::unique_ptr<kvz::kernel::KernelThread> secondThread_;
  KEVENT secondWake_;
  std::function<void()> reenumerate_;
  std::atomic<bool> attached_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> removed_{false};
  std::atomic<bool> removalRequested_{false};
  std::atomic<bool> reenumerateAfterRemoval_{false};
  std::atomic<DEVICE_POWER_STATE> powerState_{PowerDeviceD0};
  std::atomic<uint32_t> portCycles_{0};
  std::atomic<uint64_t> completedTransfers_{0};
  std::atomic<uint64_t> kicks_{0};
  std::function<void()> removalHandler_;

  // Guarded by lock_.
  std::mt19937 syncDraw_;
  std::vector<BusFault> faults_;
  NTSTATUS goneStatus_ = STATUS_NO_SUCH_DEVICE;
  USBD_STATUS goneUrbStatus_ = USBD_STATUS_DEVICE_GONE;
  uint32_t errorsBeforeRemoval_ = 0;
  NTSTATUS removalAfterErrors_ = STATUS_NO_SUCH_DEVICE;
  std::unique_ptr<Pipe> control_;              // the default pipe: one control transfer at a time
  std::deque<Request*> delayed_;               // decided, completing at their due time
  std::deque<Request*> second_;                // completions for the second thread
  std::deque<PIRP> heldPower_;                 // power requests a fault holds until removal
  bool configured_ = false;
  std::vector<std::unique_ptr<Pipe>> pipes_;  // every pipe ever handed out; inactive ones stay for handle checks
  std::deque<Request*> ready_;                // decided, to be completed by the bus thread in order
  std::deque<Request*> held_;                 // default-pipe requests the device holds
  Request* idle_ = nullptr;
  // Cleared with idle_: a callback queued for a notification that was cancelled or completed
  // before the worker ran it must not run (a hub calls back only while the request is pending).
  std::shared_ptr<std::atomic<bool>> idleLive_;
  void ClearIdleLocked();
  void QueueIdleCallback(const USB_IDLE_CALLBACK_INFO& info);
};

}  // namespace kvz::usb
