// Power manager: power IRPs requested by drivers, the recorded power state of device objects.
#include "io/io_manager.h"
#include "ke/irql_check.h"

namespace {

struct PowerRequest {
  PDEVICE_OBJECT target;  // as given to PoRequestPowerIrp
  UCHAR minor;
  POWER_STATE state;
  PREQUEST_POWER_COMPLETE completion;
  PVOID context;
};

constexpr ULONG kPowerTag = 'rwPI';

// Runs in the stack location that PoRequestPowerIrp keeps for itself, above the device stack.
NTSTATUS NTAPI PowerRequestComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* request = static_cast<PowerRequest*>(context);
  if (request->completion)
    request->completion(request->target, request->minor, request->state, request->context, &irp->IoStatus);
  ObfDereferenceObject(request->target);
  ExFreePoolWithTag(request, kPowerTag);
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

using namespace kvz::kernel;

extern "C" NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                            PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE)
    return STATUS_INVALID_PARAMETER_2;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(top->StackSize + 1), FALSE);
  auto* request = static_cast<PowerRequest*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PowerRequest), kPowerTag));
  if (!irp || !request) {
    if (irp) IoFreeIrp(irp);
    if (request) ExFreePoolWithTag(request, kPowerTag);
    ObfDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ObfReferenceObject(DeviceObject);
  *request = PowerRequest{DeviceObject, MinorFunction, PowerState, CompletionFunction, Context};
  // The first location belongs to the power manager: its completion runs above the stack.
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->DeviceObject = DeviceObject;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = PowerState;
    next->Parameters.Power.ShutdownType = PowerActionNone;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoSetCompletionRoutine(irp, PowerRequestComplete, request, TRUE, TRUE, TRUE);
  if (Irp) *Irp = irp;
  PoCallDriver(top, irp);
  ObfDereferenceObject(top);
  return STATUS_PENDING;
}

extern "C" POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  _DEVOBJ_EXTENSION* extension = DeviceObject->DeviceObjectExtension;
  POWER_STATE previous;
  if (Type == DevicePowerState) {
    previous.DeviceState = extension->devicePower;
    extension->devicePower = State.DeviceState;
  } else {
    previous.SystemState = extension->systemPower;
    extension->systemPower = State.SystemState;
  }
  return previous;
}

extern "C" VOID NTAPI PoStartNextPowerIrp(PIRP) {}

extern "C" NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "PoCallDriver with IRP %p that is not a power IRP",
             static_cast<void*>(Irp));
  return IofCallDriver(DeviceObject, Irp);
}
