#include "driver/controls/control_property_data.h"

#include "driver/controls/camera_device_controls.h"
#include "driver/controls/control_constants.h"
#include "driver/controls/control_handler.h"

namespace kvz {
NTSTATUS MapControlPropertyData(const KSPROPERTY* property, PVOID data, ULONG dataLength, ControlPropertyData* out) {
  if (!data || dataLength < kPlainPropertyData) return STATUS_BUFFER_TOO_SMALL;
  auto* bytes = static_cast<PUCHAR>(data);
  ULONG offset = kPlainValueOffset;
  out->size = kPlainPropertyData;
  if (property->Flags & KSPROPERTY_TYPE_TOPOLOGY) {
    if (dataLength < kNodePropertyData) return STATUS_BUFFER_TOO_SMALL;
    offset = kNodeValueOffset;
    out->size = kNodePropertyData;
  }
  out->value = reinterpret_cast<LONG*>(bytes + offset);
  out->flags = reinterpret_cast<ULONG*>(bytes + offset + sizeof(LONG));
  out->capabilities = reinterpret_cast<ULONG*>(bytes + offset + 2 * sizeof(LONG));
  return STATUS_SUCCESS;
}

ULONG PropertyDataLength(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

VOID StartGetAnswer(PIRP irp, const VOID* request, PVOID data) {
  const ULONG length = PropertyDataLength(irp);
  if (!data || !length) return;
  const ULONG requestLength = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG copied = request ? (requestLength < length ? requestLength : length) : 0;
  if (copied && data != request) RtlMoveMemory(data, request, copied);
  RtlZeroMemory(static_cast<PUCHAR>(data) + copied, length - copied);
}

NTSTATUS DispatchControlProperty(PIRP irp, HandlerLookup lookup, PKSIDENTIFIER property, PVOID data, bool get) {
  CameraDeviceControls* device = DeviceOf(KsGetFilterFromIrp(irp));
  ControlHandler* handler = device ? lookup(device) : nullptr;
  NTSTATUS status = STATUS_NOT_SUPPORTED;
  if (handler) {
    const ULONG length = PropertyDataLength(irp);
    if (get) StartGetAnswer(irp, property, data);
    status = get ? handler->Get(property, data, length) : handler->Set(property, data, length);
  }
  irp->IoStatus.Status = status;
  return status;
}

NTSTATUS DispatchControlValueProperty(PIRP irp, HandlerLookup lookup, PKSIDENTIFIER property, PVOID data, bool get) {
  const ULONG needed = (property->Flags & KSPROPERTY_TYPE_TOPOLOGY) ? kNodePropertyData : kPlainPropertyData;
  const ULONG length = PropertyDataLength(irp);
  if (length < needed) {
    irp->IoStatus.Information = length == 0 ? needed : 0;
    irp->IoStatus.Status = length == 0 ? STATUS_BUFFER_OVERFLOW : STATUS_BUFFER_TOO_SMALL;
    return irp->IoStatus.Status;
  }
  const NTSTATUS status = DispatchControlProperty(irp, lookup, property, data, get);
  ControlPropertyData layout;
  if (get && NT_SUCCESS(status) &&
      NT_SUCCESS(MapControlPropertyData(property, data, PropertyDataLength(irp), &layout))) {
    irp->IoStatus.Information = layout.size;
  }
  return status;
}

}  // namespace kvz
