#include "usb/idle_manager.h"

#include "common/system_version.h"
#include "primitives/driver_memory.h"
#include "usb/usb_device.h"
#include "usb/usb_limits.h"

namespace kvz {
IdleManager::IdleManager(UsbDevice* device, IdlePowerHost* host)
    : countdown_(0),
      timerArmed_(0),
      powerUpPending_(0),
      busyCount_(0),
      idleEnabled_(0),
      disabled_(0),
      shutdown_(0),
      workItem_(nullptr),
      callbackInfo_(nullptr),
      device_(device),
      host_(host),
      idleIrpPending_(0),
      idleIrp_(nullptr),
      idleIrpRefs_(0),
      stopping_(0),
      callbacksRunning_(0) {
  KeInitializeSpinLock(&lock_);
  // Signalled while nothing of their kind is outstanding, so a stop before any start returns.
  KeInitializeEvent(&workItemEvent_, NotificationEvent, TRUE);
  KeInitializeEvent(&idleIrpEvent_, NotificationEvent, TRUE);
  KeInitializeEvent(&powerUpEvent_, NotificationEvent, TRUE);
  KeInitializeEvent(&callbacksDone_, NotificationEvent, TRUE);
  KeInitializeDpc(&timerDpc_, IdleTimerDpc, this);
  KeInitializeTimerEx(&timer_, NotificationTimer);
}

bool IdleManager::IsDisabled() const {
  return InterlockedCompareExchange(const_cast<volatile LONG*>(&disabled_), 0, 0) != 0;
}

LONG IdleManager::GetBusyCount() const {
  return InterlockedCompareExchange(const_cast<volatile LONG*>(&busyCount_), 0, 0);
}

VOID IdleManager::Start() {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) return;
  if (GetBusyCount() == 0 && !IsDisabled()) InterlockedExchange(&idleEnabled_, 1);
  InterlockedExchange(&idleIrpRefs_, 0);
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  stopping_ = 0;
  InterlockedExchange(&timerArmed_, 1);
  LARGE_INTEGER due;
  due.QuadPart = kIdleTickDue;
  KeSetTimerEx(&timer_, due, kIdleTickPeriodMs, &timerDpc_);
  KeReleaseSpinLock(&lock_, irql);
}

VOID IdleManager::Busy() {
  InterlockedIncrement(&busyCount_);
  // Under the lock: a tick that saw idle enabled has cleared the work item's event by now.
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  InterlockedExchange(&idleEnabled_, 0);
  KeReleaseSpinLock(&lock_, irql);
  CancelTimer();
  // A work item that decided on D3 before this mark would lower the device after the caller saw
  // it in D0: the caller looks at the power state only once the item has ended.
  if (KeGetCurrentIrql() == PASSIVE_LEVEL)
    KeWaitForSingleObject(&workItemEvent_, Executive, KernelMode, FALSE, nullptr);
}

VOID IdleManager::Idle() {
  if (InterlockedDecrement(&busyCount_) != 0) return;
  if (GetBusyCount() == 0 && !IsDisabled()) InterlockedExchange(&idleEnabled_, 1);
  StartTimer();
}

// Armed under the lock so that a stop, which sets its flag under the same lock, never leaves a
// timer behind.
VOID IdleManager::ArmTimerLocked() {
  if (InterlockedExchange(&timerArmed_, 1) != 0) return;
  if (IsDisabled() || stopping_) {
    InterlockedExchange(&timerArmed_, 0);
    return;
  }
  LARGE_INTEGER due;
  due.QuadPart = kIdleTickDue;
  KeSetTimerEx(&timer_, due, kIdleTickPeriodMs, &timerDpc_);
}

VOID IdleManager::StartTimer() {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  ArmTimerLocked();
  KeReleaseSpinLock(&lock_, irql);
}

VOID IdleManager::CancelTimer() {
  KeCancelTimer(&timer_);
  InterlockedExchange(&timerArmed_, 0);
}

VOID IdleManager::Disable() { InterlockedExchange(&disabled_, 1); }

NTSTATUS IdleManager::RequestPowerUp() {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  if (powerUpPending_) {
    KeReleaseSpinLock(&lock_, irql);
    return STATUS_SUCCESS;
  }
  // Pending before the request goes: its completion may come before PoRequestPowerIrp returns.
  InterlockedExchange(&powerUpPending_, 1);
  KeClearEvent(&powerUpEvent_);
  KeReleaseSpinLock(&lock_, irql);
  POWER_STATE state;
  state.DeviceState = PowerDeviceD0;
  const NTSTATUS status = device_->RequestPowerIrp(IRP_MN_SET_POWER, state, PowerUpComplete, this);
  if (status != STATUS_PENDING) {
    // No completion will come: nobody may wait for it.
    InterlockedExchange(&powerUpPending_, 0);
    KeSetEvent(&powerUpEvent_, IO_NO_INCREMENT, FALSE);
  }
  return status;
}

VOID NTAPI IdleManager::PowerUpComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
  auto* self = static_cast<IdleManager*>(context);
  InterlockedExchange(&self->powerUpPending_, 0);
  KeSetEvent(&self->powerUpEvent_, IO_NO_INCREMENT, FALSE);
}

NTSTATUS IdleManager::PowerUpAndWait() {
  const NTSTATUS status = RequestPowerUp();
  if (KeGetCurrentIrql() < DISPATCH_LEVEL)
    KeWaitForSingleObject(&powerUpEvent_, Executive, KernelMode, FALSE, nullptr);
  return status;
}

VOID IdleManager::Resume() {
  if (InterlockedCompareExchange(&idleIrpPending_, 0, 0) && host_->GetPowerState() != PowerDeviceD0)
    RequestPowerUp();
  else
    CancelIdleIrp();
}

NTSTATUS IdleManager::Shutdown() {
  InterlockedExchange(&shutdown_, 1);
  return RequestPowerUp();
}

VOID NTAPI IdleManager::PowerRequestComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
  if (context) KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
}

VOID IdleManager::RequestDevicePower(DEVICE_POWER_STATE target) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  POWER_STATE state;
  state.DeviceState = target;
  if (device_->RequestPowerIrp(IRP_MN_SET_POWER, state, PowerRequestComplete, &done) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

VOID NTAPI IdleManager::IdleTimerDpc(PKDPC, PVOID context, PVOID, PVOID) {
  static_cast<IdleManager*>(context)->OnTimer();
}

VOID IdleManager::OnTimer() {
  KeAcquireSpinLockAtDpcLevel(&lock_);
  if (stopping_) {
    KeReleaseSpinLockFromDpcLevel(&lock_);
    return;
  }
  if (countdown_ > 0) {
    --countdown_;
  } else if (InterlockedCompareExchange(&idleEnabled_, 0, 0) && !workItem_) {
    KeClearEvent(&workItemEvent_);
    PIO_WORKITEM item = device_->AllocateWorkItem();
    if (item) {
      workItem_ = item;
      IoQueueWorkItem(item, IdleWorkItem, DelayedWorkQueue, this);
    } else {
      KeSetEvent(&workItemEvent_, IO_NO_INCREMENT, FALSE);
    }
  }
  KeReleaseSpinLockFromDpcLevel(&lock_);
}

VOID NTAPI IdleManager::IdleWorkItem(PDEVICE_OBJECT, PVOID context) { static_cast<IdleManager*>(context)->IdleWork(); }

VOID IdleManager::IdleWork() {
  if (InterlockedCompareExchange(&shutdown_, 0, 0)) {
    if (InterlockedCompareExchange(&timerArmed_, 0, 0)) CancelTimer();
  } else if (InterlockedCompareExchange(&idleEnabled_, 0, 0)) {
    if (GetWindowsVersionCode() >= kWindowsVista) {
      CancelTimer();
      RequestDevicePower(PowerDeviceD3);
    } else {
      SubmitIdleIrp();
    }
  }
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  PIO_WORKITEM item = workItem_;
  workItem_ = nullptr;
  KeReleaseSpinLock(&lock_, irql);
  IoFreeWorkItem(item);
  KeSetEvent(&workItemEvent_, IO_NO_INCREMENT, FALSE);
}

NTSTATUS IdleManager::SubmitIdleIrp() {
  if (host_->GetPowerState() != PowerDeviceD0) return STATUS_POWER_STATE_INVALID;
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  if (stopping_ || InterlockedExchange(&idleIrpPending_, 1)) {
    KeReleaseSpinLock(&lock_, irql);
    return stopping_ ? STATUS_UNSUCCESSFUL : STATUS_DEVICE_BUSY;
  }
  KeClearEvent(&idleIrpEvent_);
  auto* record = static_cast<PUSB_IDLE_CALLBACK_INFO>(
      ExAllocatePoolWithTag(DriverPoolType, sizeof(USB_IDLE_CALLBACK_INFO), kTagIdleCallback));
  PIRP irp = IoAllocateIrp(device_->GetLowerStackSize(), FALSE);
  if (!record || !irp) {
    KeSetEvent(&idleIrpEvent_, IO_NO_INCREMENT, FALSE);
    InterlockedExchange(&idleIrpPending_, 0);
    KeReleaseSpinLock(&lock_, irql);
    if (record) ExFreePoolWithTag(record, kTagIdleCallback);
    if (irp) IoFreeIrp(irp);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  record->IdleCallback = IdleNotificationCallback;
  record->IdleContext = this;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION;
  next->Parameters.DeviceIoControl.InputBufferLength = sizeof(USB_IDLE_CALLBACK_INFO);
  next->Parameters.DeviceIoControl.Type3InputBuffer = record;
  IoSetCompletionRoutine(irp, IdleIrpCompletionRoutine, this, TRUE, TRUE, TRUE);
  idleIrp_ = irp;
  // One reference for the completion, one for a cancel that takes the pointer first.
  InterlockedExchange(&idleIrpRefs_, 2);
  KeReleaseSpinLock(&lock_, irql);

  if (InterlockedCompareExchange(&idleEnabled_, 0, 0) && host_->GetPowerState() == PowerDeviceD0) {
    CancelTimer();
    KeAcquireSpinLock(&lock_, &irql);
    callbackInfo_ = record;
    KeReleaseSpinLock(&lock_, irql);
    return device_->IoCallMyDriver(irp);
  }

  // Activity came meanwhile. A cancel may already hold the IRP: the last reference frees it.
  KeAcquireSpinLock(&lock_, &irql);
  const bool took = idleIrp_ == irp;
  idleIrp_ = nullptr;
  KeReleaseSpinLock(&lock_, irql);
  ExFreePoolWithTag(record, kTagIdleCallback);
  if (took || InterlockedDecrement(&idleIrpRefs_) == 0) IoFreeIrp(irp);
  KeAcquireSpinLock(&lock_, &irql);
  InterlockedExchange(&idleIrpPending_, 0);
  KeSetEvent(&idleIrpEvent_, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&lock_, irql);
  return STATUS_UNSUCCESSFUL;
}

VOID IdleManager::IdleNotificationCallback(PVOID context) {
  auto* self = static_cast<IdleManager*>(context);
  KIRQL irql;
  KeAcquireSpinLock(&self->lock_, &irql);
  if (InterlockedIncrement(&self->callbacksRunning_) == 1) KeClearEvent(&self->callbacksDone_);
  KeReleaseSpinLock(&self->lock_, irql);
  self->RequestDevicePower(PowerDeviceD2);
  KeAcquireSpinLock(&self->lock_, &irql);
  const bool last = InterlockedDecrement(&self->callbacksRunning_) == 0;
  KeReleaseSpinLock(&self->lock_, irql);
  if (last) KeSetEvent(&self->callbacksDone_, IO_NO_INCREMENT, FALSE);
}

NTSTATUS NTAPI IdleManager::IdleIrpCompletionRoutine(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  static_cast<IdleManager*>(context)->IdleIrpComplete(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID IdleManager::IdleIrpComplete(PIRP irp) {
  const NTSTATUS status = irp->IoStatus.Status;
  KIRQL irql;
  if (NT_SUCCESS(status)) {
    KeAcquireSpinLock(&lock_, &irql);
    countdown_ = kIdleCountdownAfterNotification;
    KeReleaseSpinLock(&lock_, irql);
  } else if (status != STATUS_NOT_SUPPORTED && status != STATUS_POWER_STATE_INVALID && !IsDisabled() &&
             host_->GetPowerState() != PowerDeviceD0 && host_->GetRequestedPowerState() != PowerDeviceD3) {
    RequestPowerUp();
  }
  KeAcquireSpinLock(&lock_, &irql);
  PUSB_IDLE_CALLBACK_INFO record = callbackInfo_;
  callbackInfo_ = nullptr;
  const bool took = idleIrp_ == irp;
  idleIrp_ = nullptr;
  InterlockedExchange(&idleIrpPending_, 0);
  KeReleaseSpinLock(&lock_, irql);
  if (record) ExFreePoolWithTag(record, kTagIdleCallback);
  if (took || InterlockedDecrement(&idleIrpRefs_) == 0) IoFreeIrp(irp);
  // Re-armed before the event, which is the last thing a stop waits for.
  StartTimer();
  KeSetEvent(&idleIrpEvent_, IO_NO_INCREMENT, FALSE);
}

VOID IdleManager::CancelIdleIrp() {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  PIRP irp = idleIrp_;
  idleIrp_ = nullptr;
  KeReleaseSpinLock(&lock_, irql);
  if (!irp) return;
  IoCancelIrp(irp);
  if (InterlockedDecrement(&idleIrpRefs_) == 0) {
    IoFreeIrp(irp);
    KeSetEvent(&idleIrpEvent_, IO_NO_INCREMENT, FALSE);
  }
  KeWaitForSingleObject(&idleIrpEvent_, Executive, KernelMode, FALSE, nullptr);
}

VOID IdleManager::Stop() {
  InterlockedExchange(&idleEnabled_, 0);
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  stopping_ = 1;
  KeReleaseSpinLock(&lock_, irql);
  CancelTimer();
  // A tick already running finishes here; it found the stopping flag or queued its work item,
  // whose event is then clear.
  KeFlushQueuedDpcs();
  CancelIdleIrp();
  KeWaitForSingleObject(&workItemEvent_, Executive, KernelMode, FALSE, nullptr);
  KeWaitForSingleObject(&idleIrpEvent_, Executive, KernelMode, FALSE, nullptr);
  KeWaitForSingleObject(&powerUpEvent_, Executive, KernelMode, FALSE, nullptr);
  KeWaitForSingleObject(&callbacksDone_, Executive, KernelMode, FALSE, nullptr);
  KeAcquireSpinLock(&lock_, &irql);
  PUSB_IDLE_CALLBACK_INFO record = callbackInfo_;
  callbackInfo_ = nullptr;
  KeReleaseSpinLock(&lock_, irql);
  if (record) ExFreePoolWithTag(record, kTagIdleCallback);
}

}  // namespace kvz
