// A lower device that keeps every transfer a reader sends until the caller completes it the way
// the bus would (packet lengths and statuses, delivered bytes), with no bus timing or camera in
// between: the fuzz target and the benchmarks feed the readers' real completion path through
// it. Abort completes what it holds with STATUS_CANCELLED, like the bus. One per process, loaded
// on first use on a kernel thread. Header only: the fuzz targets and benchmarks include it.
#pragma once

#include <ks.h>
#include <usbioctl.h>

#include <deque>
#include <memory>
#include <mutex>

#include "kvz/kernel_testing.h"
#include "kvz/pnp_manager.h"
#include "usb/usb_device.h"

namespace kvz::usbtest {

class TransferLoopback {
 public:
  struct Held {
    PIRP irp = nullptr;
    PURB urb = nullptr;
  };

  static TransferLoopback& Instance() {
    static TransferLoopback* loopback = new TransferLoopback();
    return *loopback;
  }

  UsbDevice* Device() { return usb_.get(); }

  // The oldest transfer held; false when none is.
  bool Take(Held* held) {
    std::lock_guard<std::mutex> guard(lock_);
    if (held_.empty()) return false;
    *held = held_.front();
    held_.pop_front();
    return true;
  }
  size_t HeldCount() {
    std::lock_guard<std::mutex> guard(lock_);
    return held_.size();
  }
  // Completes a transfer taken with Take: the reader's completion routine runs in this thread.
  static void Complete(const Held& held, NTSTATUS status) {
    held.irp->IoStatus.Status = status;
    IoCompleteRequest(held.irp, IO_NO_INCREMENT);
  }

 private:
  TransferLoopback() {
    scope_ = std::make_unique<kvz::kernel::KernelThreadScope>("loopback");
    self_ = this;
    kvz::kernel::LoadedDriver::Load(Entry, u"kvzloopback", &driver_);
    ksDevice_ = {};
    ksDevice_.NextDeviceObject = lower_;
    ksDevice_.FunctionalDeviceObject = lower_;  // owns the readers' I/O work items
    usb_ = std::make_unique<UsbDevice>(&ksDevice_);
  }

  static NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &self_->lower_);
  }

  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    const USHORT function = urb->UrbHeader.Function;
    if (function == URB_FUNCTION_ISOCH_TRANSFER || function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
      IoMarkIrpPending(irp);
      std::lock_guard<std::mutex> guard(self_->lock_);
      // Scheduled as a high-speed bus does: each transfer where the one before ended, a packet
      // per microframe, StartFrame in 1 ms frames.
      if (function == URB_FUNCTION_ISOCH_TRANSFER) {
        urb->UrbIsochronousTransfer.StartFrame = self_->nextFrame_;
        self_->nextFrame_ += urb->UrbIsochronousTransfer.NumberOfPackets / 8;
      }
      self_->held_.push_back({irp, urb});
      return STATUS_PENDING;
    }
    if (function == URB_FUNCTION_ABORT_PIPE) {
      Held held;
      while (self_->Take(&held)) {
        held.urb->UrbHeader.Status = USBD_STATUS_CANCELED;
        Complete(held, STATUS_CANCELLED);
      }
    }
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }

  static inline TransferLoopback* self_ = nullptr;
  std::unique_ptr<kvz::kernel::KernelThreadScope> scope_;
  std::unique_ptr<kvz::kernel::LoadedDriver> driver_;
  PDEVICE_OBJECT lower_ = nullptr;
  KSDEVICE ksDevice_;
  std::unique_ptr<UsbDevice> usb_;
  std::mutex lock_;
  std::deque<Held> held_;
  ULONG nextFrame_ = 1;
};

}  // namespace kvz::usbtest
