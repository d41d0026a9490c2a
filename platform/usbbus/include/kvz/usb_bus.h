// The USB bus stand-in for tests and tools: plug a simulated device into a port and get its
// physical device object, whose own driver answers PnP, power and the USB internal device-control
// requests (URBs, port cycle, idle notification). Transfers are timed on the kernel clock by one
// bus kernel thread per port; completions run at DISPATCH_LEVEL on that thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kvz/pnp_manager.h"
#include "kvz/usb_function.h"

namespace kvz::usb {

class PortDevice;

struct PortOptions {
  // Hardware identifiers carry the function's interface ("&MI_00") when the device is composite.
  int interfaceNumber = 0;          // -1: not a function of a composite device
  uint32_t portNumber = 1;
  bool runIdleCallback = true;      // the bus calls the idle callback as soon as a notification arrives
  std::u16string driverKeyName = u"{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0000";
  // This share of successful requests completes inside IoCallDriver, as a composite parent may
  // complete them; drawn from a generator seeded with syncCompletionSeed.
  double syncCompletionShare = 0.0;
  uint32_t syncCompletionSeed = 1;
  // Stress mode: completions run on two bus threads at once, as on two processors.
  bool twoCompletionThreads = false;
  // A port cycle re-enumerates: the device drops off (surprise removal) and comes back as a new
  // device on a new port, announced to the bus's arrival handler.
  bool cycleReenumerates = false;
};

// Requests of the bus itself that a test can make fail, hang or complete late.
enum class BusRequest { kAbortPipe, kResetPipe, kCyclePort, kSetPower, kControl, kTransfer };

struct BusFault {
  enum class Kind {
    kFail,   // completes with irpStatus / urbStatus, doing nothing
    kHang,   // stays pending until cancelled or the device is removed (power requests: removed)
    kDelay,  // done, but completed `delay` of kernel time later than it would be
  };
  BusRequest request = BusRequest::kControl;
  Kind kind = Kind::kFail;
  NTSTATUS irpStatus = STATUS_UNSUCCESSFUL;
  USBD_STATUS urbStatus = USBD_STATUS_INTERNAL_HC_ERROR;
  int64_t delay = 0;   // 100-ns units
  uint32_t count = 1;  // requests it hits; 0 = every one
};

// What a test can see and steer of one plugged device.
class UsbPortHandle {
 public:
  explicit UsbPortHandle(PortDevice* port) : port_(port) {}

  PDEVICE_OBJECT Pdo() const;
  kvz::kernel::DeviceDescription Description() const;
  std::vector<std::u16string> HardwareIds() const;

  // Surprise removal: every pending request completes with STATUS_NO_SUCH_DEVICE (URB status
  // USBD_STATUS_DEVICE_GONE), every later one fails the same way.
  void Unplug();
  // The device drops off by itself (the removal handler runs): pending and later requests end
  // with `status` (STATUS_NO_SUCH_DEVICE, STATUS_CANCELLED, STATUS_DEVICE_NOT_CONNECTED, ...),
  // after the next `transactionErrors` transfers failed with USBD_STATUS_XACT_ERROR.
  void Remove(NTSTATUS status, uint32_t transactionErrors = 0);
  void ArmBusFault(const BusFault& fault);
  void ClearBusFaults();
  bool Removed() const;
  // Runs on a system worker after the device dropped off by itself (a removal fault).
  void SetRemovalHandler(std::function<void()> handler);

  DEVICE_POWER_STATE PowerState() const;  // as the last IRP_MN_SET_POWER left it
  uint32_t PortCycles() const;
  size_t PendingRequests() const;         // URBs and idle notifications not yet completed
  uint64_t CompletedTransfers() const;    // bulk, interrupt and isochronous, any status

  bool IdleNotificationPending() const;
  // Runs the pending notification's callback on a system worker (PASSIVE_LEVEL).
  void RunIdleCallback();
  // Completes the pending notification with the status (success or any error).
  void CompleteIdleNotification(NTSTATUS status);

  UsbFunction& Function() const;

 private:
  PortDevice* port_;
};

class UsbBus {
 public:
  UsbBus();
  ~UsbBus();  // ends the ports' threads, fails what is pending, deletes the PDOs
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  // Called at PASSIVE_LEVEL on a kernel thread.
  UsbPortHandle Plug(std::shared_ptr<UsbFunction> device, PortOptions options = {});
  // Runs on a system worker when a device re-enumerates on a new port (a port cycle with
  // PortOptions::cycleReenumerates).
  void SetArrivalHandler(std::function<void(UsbPortHandle)> handler);

 private:
  std::mutex lock_;
  std::vector<std::unique_ptr<PortDevice>> ports_;
  std::function<void(UsbPortHandle)> arrival_;
};

}  // namespace kvz::usb
