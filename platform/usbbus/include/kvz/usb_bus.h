// The USB bus stand-in for tests and tools: plug a simulated device into a port and get its
// physical device object, whose own driver answers PnP, power and the USB internal device-control
// requests (URBs, port cycle, idle notification). Transfers are timed on the kernel clock by one
// bus kernel thread per port; completions run at DISPATCH_LEVEL on that thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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

 private:
  std::vector<std::unique_ptr<PortDevice>> ports_;
};

}  // namespace kvz::usb
