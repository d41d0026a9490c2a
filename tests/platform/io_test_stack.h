// A stack of test device objects of one test driver; each device answers IRPs with a function
// the test gives it.
#pragma once
#include <functional>
#include <memory>
#include <vector>

#include "kvz/pnp_manager.h"
#include "wdm.h"

namespace kvz::testing {

using IrpHandler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

inline NTSTATUS NTAPI DispatchToHandler(PDEVICE_OBJECT device, PIRP irp) {
  return (**static_cast<IrpHandler**>(device->DeviceExtension))(device, irp);
}

inline NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& entry : driver->MajorFunction) entry = DispatchToHandler;
  return STATUS_SUCCESS;
}

inline NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

class TestStack {
 public:
  // devices[0] is the bottom of the stack.
  explicit TestStack(size_t count) {
    kvz::kernel::LoadedDriver::Load(TestDriverEntry, u"KvzTestStack", &driver_);
    for (size_t i = 0; i < count; ++i) {
      handlers_.push_back(std::make_unique<IrpHandler>([](PDEVICE_OBJECT, PIRP irp) {
        return CompleteWith(irp, STATUS_SUCCESS);
      }));
      PDEVICE_OBJECT device = nullptr;
      IoCreateDevice(driver_->Object(), sizeof(IrpHandler*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
      *static_cast<IrpHandler**>(device->DeviceExtension) = handlers_.back().get();
      device->Flags &= ~DO_DEVICE_INITIALIZING;
      if (!devices_.empty()) IoAttachDeviceToDeviceStack(device, devices_.back());
      devices_.push_back(device);
    }
  }
  ~TestStack() {
    for (size_t i = devices_.size(); i-- > 0;) {
      if (i > 0) IoDetachDevice(devices_[i - 1]);
      IoDeleteDevice(devices_[i]);
    }
    driver_->Unload();
  }
  PDEVICE_OBJECT operator[](size_t i) const { return devices_[i]; }
  PDEVICE_OBJECT Top() const { return devices_.back(); }
  void Handle(size_t i, IrpHandler handler) { *handlers_[i] = std::move(handler); }
  // The device passes the IRP down unchanged.
  void PassDown(size_t i) {
    PDEVICE_OBJECT lower = devices_[i - 1];
    Handle(i, [lower](PDEVICE_OBJECT, PIRP irp) {
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(lower, irp);
    });
  }

 private:
  std::unique_ptr<kvz::kernel::LoadedDriver> driver_;
  std::vector<std::unique_ptr<IrpHandler>> handlers_;
  std::vector<PDEVICE_OBJECT> devices_;
};

}  // namespace kvz::testing
