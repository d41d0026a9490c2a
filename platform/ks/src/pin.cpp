// Pins: creation from a client's connect request and data format, the state walk through
// adjacent states, data-format changes on a connected pin, and close.
#include <cstring>

#include "ks_objects.h"

namespace kvz::ks {
namespace {

constexpr ULONG kFormatTag = 'fmSK';

// The pin flags whose meaning this class driver implements (the processing priorities and FIFO
// order hold trivially); a pin asking for anything else is refused rather than silently served
// otherwise than it expects.
constexpr ULONG kSupportedPinFlags =
    KSPIN_FLAG_CRITICAL_PROCESSING | KSPIN_FLAG_HYPERCRITICAL_PROCESSING | KSPIN_FLAG_ASYNCHRONOUS_PROCESSING |
    KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING | KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL |
    KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING | KSPIN_FLAG_ENFORCE_FIFO | KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY |
    KSPIN_FLAG_USE_STANDARD_TRANSPORT | KSPIN_FLAG_FIXED_FORMAT | KSPIN_FLAG_DENY_USERMODE_ACCESS;

PKSDATAFORMAT CopyFormat(const KSDATAFORMAT* format, ULONG size) {
  auto* copy = static_cast<PKSDATAFORMAT>(ExAllocatePoolWithTag(KsPoolType(), size, kFormatTag));
  if (copy) memcpy(copy, format, size);
  return copy;
}

void DestroyPinRecord(Pin* p) {
  RetireShell(p);
  for (Frame* frame : p->queue) DiscardFrame(frame);
  delete p;
}

}  // namespace

bool GuidMatches(const GUID& range, const GUID& format) {
  return range == GUID_NULL || format == GUID_NULL || range == format;
}

const KSDATARANGE* MatchDataRange(const KSPIN_DESCRIPTOR_EX* descriptor, const KSDATAFORMAT* format,
                                  const KSDATARANGE* after) {
  const KSPIN_DESCRIPTOR& pd = descriptor->PinDescriptor;
  bool passed = after == nullptr;
  for (ULONG i = 0; i < pd.DataRangesCount; ++i) {
    const KSDATARANGE* range = pd.DataRanges[i];
    if (!passed) {
      passed = range == after;
      continue;
    }
    if (GuidMatches(range->MajorFormat, format->MajorFormat) && GuidMatches(range->SubFormat, format->SubFormat) &&
        GuidMatches(range->Specifier, format->Specifier))
      return range;
  }
  return nullptr;
}

// The minidriver decides among the ranges whose GUIDs fit: the first one it accepts wins.
static NTSTATUS AcceptFormat(Pin* p, PKSDATAFORMAT oldFormat) {
  KSPIN* pub = p->Public();
  const KSPIN_DESCRIPTOR_EX* descriptor = pub->Descriptor;
  const KSDATARANGE* range = nullptr;
  while ((range = MatchDataRange(descriptor, pub->ConnectionFormat, range)) != nullptr) {
    if (!descriptor->Dispatch || !descriptor->Dispatch->SetDataFormat) return STATUS_SUCCESS;
    NTSTATUS status = descriptor->Dispatch->SetDataFormat(pub, oldFormat, nullptr, range, nullptr);
    if (status != STATUS_NO_MATCH) return status;
  }
  return STATUS_NO_MATCH;
}

NTSTATUS CreatePin(Filter* filter, PIRP irp, const uint8_t* data, size_t size) {
  if (size < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT)) return STATUS_INVALID_PARAMETER;
  KSPIN_CONNECT connect;
  memcpy(&connect, data, sizeof(connect));
  KSDATAFORMAT header;
  memcpy(&header, data + sizeof(connect), sizeof(header));
  if (header.FormatSize < sizeof(KSDATAFORMAT) || header.FormatSize > size - sizeof(connect))
    return STATUS_INVALID_PARAMETER;
  if (connect.PinId >= filter->pinFactories.size()) return STATUS_INVALID_PARAMETER;
  PinFactory& pf = filter->pinFactories[connect.PinId];
  const KSPIN_DESCRIPTOR_EX* descriptor = pf.descriptor;
  if (pf.pins.size() >= descriptor->InstancesPossible) return STATUS_UNSUCCESSFUL;
  if (descriptor->Flags & ~kSupportedPinFlags) {
    DbgPrint("ks: pin factory %lu asks for unsupported pin flags 0x%08lX\n", connect.PinId,
             descriptor->Flags & ~kSupportedPinFlags);
    return STATUS_NOT_SUPPORTED;
  }
  if ((descriptor->Flags & KSPIN_FLAG_DENY_USERMODE_ACCESS) && irp->RequestorMode == UserMode)
    return STATUS_ACCESS_DENIED;
  if (descriptor->PinDescriptor.InterfacesCount == 0 && connect.Interface.Set != KSINTERFACESETID_Standard)
    return STATUS_NO_MATCH;
  if (descriptor->PinDescriptor.MediumsCount == 0 && connect.Medium.Set != KSMEDIUMSETID_Standard)
    return STATUS_NO_MATCH;

  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  auto* p = new Pin();
  AdoptShell(p, ObjectKind::Pin);
  p->filter = filter;
  p->factoryId = connect.PinId;
  p->file = file;
  KeInitializeMutex(&p->processingMutex, 0);
  p->bag.SetGuard(&filter->control, "KS pin", kControlMutexName);
  KeInitializeSpinLock(&p->lock);
  KeInitializeEvent(&p->processingIdle, NotificationEvent, TRUE);
  KeInitializeEvent(&p->processReturned, NotificationEvent, TRUE);

  KSPIN* pub = p->Public();
  pub->Descriptor = descriptor;
  pub->Bag = p->bag.Handle();
  pub->Context = filter->Public()->Context;
  pub->Id = connect.PinId;
  pub->Communication = descriptor->PinDescriptor.Communication;
  pub->ConnectionIsExternal = TRUE;
  pub->ConnectionInterface = connect.Interface;
  pub->ConnectionMedium = connect.Medium;
  pub->ConnectionPriority = connect.Priority;
  pub->DataFlow = descriptor->PinDescriptor.DataFlow;
  pub->DeviceState = KSSTATE_STOP;
  pub->ClientState = KSSTATE_STOP;
  pub->ResetState = KSRESET_END;
  pub->StreamHeaderSize = 0;

  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  pub->ConnectionFormat = CopyFormat(reinterpret_cast<const KSDATAFORMAT*>(data + sizeof(connect)), header.FormatSize);
  if (pub->ConnectionFormat) {
    status = p->bag.Add(pub->ConnectionFormat, nullptr);
    if (!NT_SUCCESS(status)) ExFreePool(pub->ConnectionFormat);
  }
  file->FsContext = &p->shell.header;
  if (NT_SUCCESS(status)) status = AcceptFormat(p, nullptr);
  if (NT_SUCCESS(status) && descriptor->Dispatch && descriptor->Dispatch->Create)
    status = descriptor->Dispatch->Create(pub, irp);
  if (!NT_SUCCESS(status)) {
    file->FsContext = nullptr;
    FreeEventsOfObject(pub);
    p->bag.FreeAll();
    DestroyPinRecord(p);
    return status;
  }
  pf.pins.push_back(p);
  return STATUS_SUCCESS;
}

NTSTATUS ChangePinState(Pin* p, KSSTATE target) {
  KSPIN* pub = p->Public();
  const KSPIN_DISPATCH* dispatch = pub->Descriptor->Dispatch;
  pub->ClientState = target;
  while (pub->DeviceState != target) {
    KSSTATE from = pub->DeviceState;
    KSSTATE to = static_cast<KSSTATE>(from < target ? from + 1 : from - 1);
    if (dispatch && dispatch->SetDeviceState) {
      NTSTATUS status = dispatch->SetDeviceState(pub, to, from);
      if (!NT_SUCCESS(status)) {
        // The walk ends in the last state the minidriver accepted.
        pub->ClientState = from;
        return status;
      }
    }
    SetDeviceStateOf(p, to);
    if (to == KSSTATE_STOP) {
      WaitProcessingIdle(p);
      FlushQueue(p, STATUS_CANCELLED);
    }
    bool runOnly = (p->Flags() & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) != 0;
    if (to == KSSTATE_RUN || (to == KSSTATE_PAUSE && !runOnly)) TriggerProcessing(p);
  }
  return STATUS_SUCCESS;
}

NTSTATUS ChangePinFormat(Pin* p, const KSDATAFORMAT* format, ULONG size) {
  if (!format || size < sizeof(KSDATAFORMAT) || format->FormatSize > size ||
      format->FormatSize < sizeof(KSDATAFORMAT))
    return STATUS_INVALID_PARAMETER;
  KSPIN* pub = p->Public();
  if (p->Flags() & KSPIN_FLAG_FIXED_FORMAT) return STATUS_INVALID_DEVICE_REQUEST;
  PKSDATAFORMAT copy = CopyFormat(format, format->FormatSize);
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = p->bag.Add(copy, nullptr);
  if (!NT_SUCCESS(status)) {
    ExFreePool(copy);
    return status;
  }
  // The minidriver sees the new format in ConnectionFormat and the old one as the argument.
  PKSDATAFORMAT old = pub->ConnectionFormat;
  pub->ConnectionFormat = copy;
  status = AcceptFormat(p, old);
  if (!NT_SUCCESS(status)) {
    pub->ConnectionFormat = old;
    p->bag.Remove(copy, TRUE);
    return status;
  }
  p->bag.Remove(old, TRUE);
  return STATUS_SUCCESS;
}

// A reset begins by giving the queued buffers back; the minidriver hears of it through Reset.
NTSTATUS ResetPin(Pin* p, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(KSRESET) ||
      !stack->Parameters.DeviceIoControl.Type3InputBuffer)
    return STATUS_INVALID_BUFFER_SIZE;
  KSRESET reset = *static_cast<const KSRESET*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
  if (reset != KSRESET_BEGIN && reset != KSRESET_END) return STATUS_INVALID_PARAMETER;
  KSPIN* pub = p->Public();
  pub->ResetState = reset;
  if (reset == KSRESET_BEGIN) {
    WaitProcessingIdle(p);
    FlushQueue(p, STATUS_CANCELLED);
  }
  const KSPIN_DISPATCH* dispatch = pub->Descriptor->Dispatch;
  if (dispatch && dispatch->Reset) dispatch->Reset(pub);
  return STATUS_SUCCESS;
}

NTSTATUS ClosePin(Pin* p, PIRP irp) {
  KSPIN* pub = p->Public();
  ChangePinState(p, KSSTATE_STOP);
  KIRQL irql;
  KeAcquireSpinLock(&p->lock, &irql);
  p->closing = true;
  KeReleaseSpinLock(&p->lock, irql);
  WaitProcessingIdle(p);
  FlushQueue(p, STATUS_CANCELLED);
  const KSPIN_DISPATCH* dispatch = pub->Descriptor->Dispatch;
  if (dispatch && dispatch->Close) dispatch->Close(pub, irp);
  FreeEventsOfObject(pub);
  p->bag.FreeAll();
  auto& pins = p->filter->pinFactories[p->factoryId].pins;
  for (auto it = pins.begin(); it != pins.end(); ++it) {
    if (*it == p) {
      pins.erase(it);
      break;
    }
  }
  DestroyPinRecord(p);
  return STATUS_SUCCESS;
}

}  // namespace kvz::ks
