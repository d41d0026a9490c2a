// Plug and play and power requests of a KS device: each maps to the minidriver's device dispatch
// (Start after the lower driver started, Stop before Remove when the device was started, also
// after a surprise removal; device power requests through SetPower on their way down).
#include <cstdio>
#include <vector>

#include "ks_objects.h"
#include "kvz/worker_queue.h"

namespace kvz::ks {
namespace {

NTSTATUS NTAPI SignalForwarded(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits for the lower driver to finish with it.
NTSTATUS ForwardAndWait(KSDEVICE* pub, PIRP irp, bool power) {
  if (!pub->NextDeviceObject) return STATUS_SUCCESS;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalForwarded, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = power ? PoCallDriver(pub->NextDeviceObject, irp) : IoCallDriver(pub->NextDeviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS PassDown(KSDEVICE* pub, PIRP irp, bool power) {
  if (!pub->NextDeviceObject) {
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return power ? PoCallDriver(pub->NextDeviceObject, irp) : IoCallDriver(pub->NextDeviceObject, irp);
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void CreateStaticFactories(Device* d) {
  const KSDEVICE_DESCRIPTOR* descriptor = d->Public()->Descriptor;
  if (!descriptor) return;
  for (ULONG i = 0; i < descriptor->FilterDescriptorsCount; ++i) {
    const KSFILTER_DESCRIPTOR* fd = descriptor->FilterDescriptors[i];
    WCHAR reference[40] = {};
    if (fd->ReferenceGuid) {
      char text[40];
      const GUID& g = *fd->ReferenceGuid;
      snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
               g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
      for (int k = 0; text[k]; ++k) reference[k] = static_cast<WCHAR>(text[k]);
    }
    KsCreateFilterFactory(d->Public()->FunctionalDeviceObject, fd, reference, nullptr, KSCREATE_ITEM_FREEONSTOP,
                          nullptr, nullptr, nullptr);
  }
}

void DestroyFactories(Device* d, bool onlyFreeOnStop) {
  std::vector<FilterFactory*> gone;
  KeWaitForSingleObject(&d->listLock, Executive, KernelMode, FALSE, nullptr);
  auto& list = d->factories;
  for (auto it = list.begin(); it != list.end();) {
    if (!onlyFreeOnStop || ((*it)->createItemFlags & KSCREATE_ITEM_FREEONSTOP)) {
      gone.push_back(*it);
      it = list.erase(it);
    } else {
      ++it;
    }
  }
  KeReleaseMutex(&d->listLock, FALSE);
  for (FilterFactory* f : gone) DestroyFactory(f);
}

// After a surprise removal nothing more will stream: client buffers come back with an error.
void FailQueuedBuffers(Device* d) {
  KeWaitForSingleObject(&d->listLock, Executive, KernelMode, FALSE, nullptr);
  for (Filter* f : d->filters) {
    KsFilterAcquireControl(f->Public());
    for (PinFactory& pf : f->pinFactories) {
      for (Pin* p : pf.pins) {
        WaitProcessingIdle(p);
        FlushQueue(p, STATUS_DEVICE_REMOVED);
      }
    }
    KsFilterReleaseControl(f->Public());
  }
  KeReleaseMutex(&d->listLock, FALSE);
}

void StopIfStarted(Device* d, PIRP irp) {
  KSDEVICE* pub = d->Public();
  if (!pub->Started) return;
  const KSDEVICE_DISPATCH* dispatch = pub->Descriptor ? pub->Descriptor->Dispatch : nullptr;
  if (dispatch && dispatch->Stop) dispatch->Stop(pub, irp);
  pub->Started = FALSE;
}

}  // namespace

NTSTATUS DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp) {
  Device* d = DeviceOfDeviceObject(deviceObject);
  if (!d) return CompleteWith(irp, STATUS_NO_SUCH_DEVICE);
  KSDEVICE* pub = d->Public();
  const KSDEVICE_DISPATCH* dispatch = pub->Descriptor ? pub->Descriptor->Dispatch : nullptr;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status;

  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = ForwardAndWait(pub, irp, false);
      if (NT_SUCCESS(status) && dispatch && dispatch->Start)
        status = dispatch->Start(pub, irp, static_cast<PCM_RESOURCE_LIST>(stack->Parameters.StartDevice.AllocatedResourcesTranslated),
                                 static_cast<PCM_RESOURCE_LIST>(stack->Parameters.StartDevice.AllocatedResources));
      if (NT_SUCCESS(status)) {
        CreateStaticFactories(d);
        pub->Started = TRUE;
        if (dispatch && dispatch->PostStart) dispatch->PostStart(pub);
      }
      return CompleteWith(irp, status);

    case IRP_MN_QUERY_STOP_DEVICE:
      if (dispatch && dispatch->QueryStop) {
        status = dispatch->QueryStop(pub, irp);
        if (!NT_SUCCESS(status)) return CompleteWith(irp, status);
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(pub, irp, false);

    case IRP_MN_CANCEL_STOP_DEVICE:
      if (dispatch && dispatch->CancelStop) dispatch->CancelStop(pub, irp);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(pub, irp, false);

    case IRP_MN_STOP_DEVICE:
      StopIfStarted(d, irp);
      DestroyFactories(d, true);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(pub, irp, false);

    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (dispatch && dispatch->QueryRemove) {
        status = dispatch->QueryRemove(pub, irp);
        if (!NT_SUCCESS(status)) return CompleteWith(irp, status);
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(pub, irp, false);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
      if (dispatch && dispatch->CancelRemove) dispatch->CancelRemove(pub, irp);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(pub, irp, false);

    case IRP_MN_SURPRISE_REMOVAL:
      d->removed = true;
      if (dispatch && dispatch->SurpriseRemoval) dispatch->SurpriseRemoval(pub, irp);
      KeWaitForSingleObject(&d->listLock, Executive, KernelMode, FALSE, nullptr);
      for (FilterFactory* f : d->factories) {
        for (UNICODE_STRING& link : f->interfaceLinks) IoSetDeviceInterfaceState(&link, FALSE);
      }
      KeReleaseMutex(&d->listLock, FALSE);
      FailQueuedBuffers(d);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(pub, irp, false);

    case IRP_MN_REMOVE_DEVICE: {
      d->removed = true;
      FailQueuedBuffers(d);
      StopIfStarted(d, irp);
      DestroyFactories(d, false);
      if (dispatch && dispatch->Remove) dispatch->Remove(pub, irp);
      irp->IoStatus.Status = STATUS_SUCCESS;
      status = PassDown(pub, irp, false);
      DeviceRemoved(d);
      return status;
    }

    case IRP_MN_QUERY_CAPABILITIES:
      status = ForwardAndWait(pub, irp, false);
      if (NT_SUCCESS(status) && dispatch && dispatch->QueryCapabilities)
        status = dispatch->QueryCapabilities(pub, irp, stack->Parameters.DeviceCapabilities.Capabilities);
      return CompleteWith(irp, status);

    case IRP_MN_QUERY_INTERFACE:
      if (dispatch && dispatch->QueryInterface) {
        status = dispatch->QueryInterface(pub, irp);
        if (status != STATUS_NOT_SUPPORTED) return CompleteWith(irp, status);
      }
      return PassDown(pub, irp, false);

    default:
      return PassDown(pub, irp, false);
  }
}

NTSTATUS DispatchPowerAtPassive(PDEVICE_OBJECT deviceObject, PIRP irp);

// The minidriver's power routines run at PASSIVE_LEVEL: a request sent from a DPC or a
// completion routine is handled on a worker thread.
NTSTATUS DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp) {
  if (KeGetCurrentIrql() == PASSIVE_LEVEL) return DispatchPowerAtPassive(deviceObject, irp);
  IoMarkIrpPending(irp);
  kvz::kernel::QueueSystemWork(
      DelayedWorkQueue, [deviceObject, irp] { DispatchPowerAtPassive(deviceObject, irp); }, "KS power request");
  return STATUS_PENDING;
}

NTSTATUS DispatchPowerAtPassive(PDEVICE_OBJECT deviceObject, PIRP irp) {
  Device* d = DeviceOfDeviceObject(deviceObject);
  if (!d) {
    PoStartNextPowerIrp(irp);
    return CompleteWith(irp, STATUS_NO_SUCH_DEVICE);
  }
  KSDEVICE* pub = d->Public();
  const KSDEVICE_DISPATCH* dispatch = pub->Descriptor ? pub->Descriptor->Dispatch : nullptr;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  auto type = stack->Parameters.Power.Type;

  if (stack->MinorFunction == IRP_MN_SET_POWER && type == DevicePowerState) {
    DEVICE_POWER_STATE to = stack->Parameters.Power.State.DeviceState;
    DEVICE_POWER_STATE from = pub->DevicePowerState;
    POWER_STATE state;
    state.DeviceState = to;
    if (to < from) {
      // Powering up: the lower drivers first, then the minidriver.
      NTSTATUS status = ForwardAndWait(pub, irp, true);
      if (NT_SUCCESS(status)) {
        if (dispatch && dispatch->SetPower) dispatch->SetPower(pub, irp, to, from);
        pub->DevicePowerState = to;
        PoSetPowerState(deviceObject, DevicePowerState, state);
      }
      PoStartNextPowerIrp(irp);
      return CompleteWith(irp, status);
    }
    if (dispatch && dispatch->SetPower) dispatch->SetPower(pub, irp, to, from);
    pub->DevicePowerState = to;
    PoSetPowerState(deviceObject, DevicePowerState, state);
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(pub, irp, true);
  }
  if (stack->MinorFunction == IRP_MN_SET_POWER && type == SystemPowerState) {
    pub->SystemPowerState = stack->Parameters.Power.State.SystemState;
  }
  if (stack->MinorFunction == IRP_MN_QUERY_POWER && type == DevicePowerState && dispatch && dispatch->QueryPower) {
    NTSTATUS status = dispatch->QueryPower(pub, irp, stack->Parameters.Power.State.DeviceState,
                                           pub->DevicePowerState, pub->SystemPowerState, pub->SystemPowerState,
                                           stack->Parameters.Power.ShutdownType);
    if (!NT_SUCCESS(status)) {
      PoStartNextPowerIrp(irp);
      return CompleteWith(irp, status);
    }
  }
  PoStartNextPowerIrp(irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
    irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(pub, irp, true);
}

}  // namespace kvz::ks
