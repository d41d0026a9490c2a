// Selective suspend: counts the device's users, looks every 2 s whether it has been idle and
// then asks for D3 (Vista and later) or sends the USB idle notification and goes to D2 when the
// bus calls back (earlier systems); new activity asks for D0 again.
#pragma once
#include <wdm.h>
#include <usb.h>
#include <usbioctl.h>

namespace kvz {

class UsbDevice;

// The device power states the device object records from its set-power requests.
class IdlePowerHost {
 public:
  virtual DEVICE_POWER_STATE GetPowerState() = 0;
  virtual DEVICE_POWER_STATE GetRequestedPowerState() = 0;

 protected:
  ~IdlePowerHost() = default;
};

class IdleManager {
 public:
  IdleManager(UsbDevice* device, IdlePowerHost* host);
  // Stop must have run.
  ~IdleManager() = default;
  IdleManager(const IdleManager&) = delete;
  IdleManager& operator=(const IdleManager&) = delete;

  // PASSIVE_LEVEL only (does nothing above): arms the tick; idle is enabled when nobody is busy.
  VOID Start();
  // At PASSIVE_LEVEL waits for a queued or running idle work item, so that no D3 lands after
  // the mark: the caller then finds the device in D3 and powers it up, as for any mark in D3.
  VOID Busy();
  VOID Idle();
  VOID StartTimer();
  VOID CancelTimer();
  VOID Disable();
  // STATUS_SUCCESS at once while a power-up is pending; otherwise the D0 request's status.
  NTSTATUS RequestPowerUp();
  // Below DISPATCH_LEVEL waits until the D0 request has completed.
  NTSTATUS PowerUpAndWait();
  // On the way to system sleep: power up when an idle notification left the device suspended,
  // else withdraw the notification.
  VOID Resume();
  // PASSIVE_LEVEL: withdraws a pending idle notification and waits for its completion.
  VOID CancelIdleIrp();
  // Sets the shutdown flag (the idle work no longer lowers the power) and requests D0.
  NTSTATUS Shutdown();
  LONG GetBusyCount() const;
  // PASSIVE_LEVEL: afterwards nothing is outstanding and the manager may be freed.
  VOID Stop();
  // PASSIVE_LEVEL. STATUS_POWER_STATE_INVALID outside D0, STATUS_DEVICE_BUSY while one is
  // pending, STATUS_INSUFFICIENT_RESOURCES, STATUS_UNSUCCESSFUL when activity came meanwhile.
  NTSTATUS SubmitIdleIrp();

 private:
  VOID OnTimer();
  VOID IdleWork();
  VOID RequestDevicePower(DEVICE_POWER_STATE state);
  VOID ArmTimerLocked();
  VOID IdleIrpComplete(PIRP irp);
  bool IsDisabled() const;

  static VOID NTAPI IdleTimerDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
  static VOID NTAPI IdleWorkItem(PDEVICE_OBJECT device, PVOID context);
  static NTSTATUS NTAPI IdleIrpCompletionRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context);
  static VOID IdleNotificationCallback(PVOID context);
  static VOID NTAPI PowerUpComplete(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                                    PIO_STATUS_BLOCK ioStatus);
  static VOID NTAPI PowerRequestComplete(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                                         PIO_STATUS_BLOCK ioStatus);

  USHORT countdown_;
  KDPC timerDpc_;
  KTIMER timer_;
  volatile LONG timerArmed_;
  // Guards the idle IRP, its callback record and pending flag, the power-up pending flag, and the
  // stopping flag against the timer and the completions.
  KSPIN_LOCK lock_;
  KEVENT workItemEvent_;
  KEVENT idleIrpEvent_;
  KEVENT powerUpEvent_;
  volatile LONG powerUpPending_;
  volatile LONG busyCount_;
  volatile LONG idleEnabled_;
  volatile LONG disabled_;
  volatile LONG shutdown_;
  PIO_WORKITEM workItem_;
  PUSB_IDLE_CALLBACK_INFO callbackInfo_;
  UsbDevice* device_;
  IdlePowerHost* host_;
  volatile LONG idleIrpPending_;
  PIRP idleIrp_;
  volatile LONG idleIrpRefs_;
  LONG stopping_;
  // Idle callbacks of the bus still running (each requests D2 and waits for it).
  volatile LONG callbacksRunning_;
  KEVENT callbacksDone_;
};

}  // namespace kvz
