#include "kvz/usb_bus.h"

#include "port_device.h"

namespace kvz::usb {

UsbBus::UsbBus() = default;
UsbBus::~UsbBus() = default;

UsbPortHandle UsbBus::Plug(std::shared_ptr<UsbFunction> device, PortOptions options) {
  std::lock_guard<std::mutex> hold(lock_);
  if (options.portNumber == 1) options.portNumber = static_cast<uint32_t>(ports_.size() + 1);
  auto port = std::make_unique<PortDevice>(device, options);
  PortDevice* raw = port.get();
  // Re-enumeration: the same device on the next free port, announced to the arrival handler.
  port->SetReenumerate([this, raw, device, options] {
    PortOptions again = options;
    again.portNumber = 1;
    raw->Detach();
    UsbPortHandle arrived = Plug(device, again);
    std::function<void(UsbPortHandle)> arrival;
    {
      std::lock_guard<std::mutex> hold(lock_);
      arrival = arrival_;
    }
    if (arrival) arrival(arrived);
  });
  if (!NT_SUCCESS(port->Create())) return UsbPortHandle(nullptr);
  ports_.push_back(std::move(port));
  return UsbPortHandle(raw);
}

void UsbBus::SetArrivalHandler(std::function<void(UsbPortHandle)> handler) {
  std::lock_guard<std::mutex> hold(lock_);
  arrival_ = std::move(handler);
}

PDEVICE_OBJECT UsbPortHandle::Pdo() const { return port_ ? port_->Pdo() : nullptr; }
kvz::kernel::DeviceDescription UsbPortHandle::Description() const { return port_->Description(); }
std::vector<std::u16string> UsbPortHandle::HardwareIds() const { return port_->HardwareIds(); }
void UsbPortHandle::Unplug() { port_->Unplug(); }
void UsbPortHandle::Remove(NTSTATUS status, uint32_t transactionErrors) { port_->Remove(status, transactionErrors); }
void UsbPortHandle::ArmBusFault(const BusFault& fault) { port_->ArmBusFault(fault); }
void UsbPortHandle::ClearBusFaults() { port_->ClearBusFaults(); }
bool UsbPortHandle::Removed() const { return port_->Removed(); }
void UsbPortHandle::SetRemovalHandler(std::function<void()> handler) { port_->SetRemovalHandler(std::move(handler)); }
DEVICE_POWER_STATE UsbPortHandle::PowerState() const { return port_->PowerState(); }
uint32_t UsbPortHandle::PortCycles() const { return port_->PortCycles(); }
size_t UsbPortHandle::PendingRequests() const { return port_->PendingRequests(); }
uint64_t UsbPortHandle::CompletedTransfers() const { return port_->CompletedTransfers(); }
bool UsbPortHandle::IdleNotificationPending() const { return port_->IdleNotificationPending(); }
void UsbPortHandle::RunIdleCallback() { port_->RunIdleCallback(); }
void UsbPortHandle::CompleteIdleNotification(NTSTATUS status) { port_->CompleteIdleNotification(status); }
UsbFunction& UsbPortHandle::Function() const { return port_->Function(); }

}  // namespace kvz::usb
