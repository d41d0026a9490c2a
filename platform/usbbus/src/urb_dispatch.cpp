// The URB functions of the bus: configuration and interface selection, pipe abort and reset,
// default-pipe requests, and the queuing of bulk, interrupt and isochronous transfers.
#include <algorithm>
#include <cstring>

#include "port_device.h"
#include "usb100.h"
#include "usbdlib.h"

namespace kvz::usb {
namespace {

// bmRequestType (without the direction bit) of the vendor and class request functions.
bool RequestTypeOf(USHORT function, UCHAR* type) {
  switch (function) {
    case URB_FUNCTION_VENDOR_DEVICE: *type = 0x40; return true;
    case URB_FUNCTION_VENDOR_INTERFACE: *type = 0x41; return true;
    case URB_FUNCTION_VENDOR_ENDPOINT: *type = 0x42; return true;
    case URB_FUNCTION_CLASS_DEVICE: *type = 0x20; return true;
    case URB_FUNCTION_CLASS_INTERFACE: *type = 0x21; return true;
    case URB_FUNCTION_CLASS_ENDPOINT: *type = 0x22; return true;
    case URB_FUNCTION_CLASS_OTHER: *type = 0x23; return true;
    case URB_FUNCTION_VENDOR_OTHER: *type = 0x43; return true;
    default: return false;
  }
}

USBD_PIPE_TYPE PipeTypeOf(uint8_t attributes) {
  switch (attributes & USB_ENDPOINT_TYPE_MASK) {
    case USB_ENDPOINT_TYPE_ISOCHRONOUS: return UsbdPipeTypeIsochronous;
    case USB_ENDPOINT_TYPE_BULK: return UsbdPipeTypeBulk;
    case USB_ENDPOINT_TYPE_INTERRUPT: return UsbdPipeTypeInterrupt;
    default: return UsbdPipeTypeControl;
  }
}

uint32_t BytesPerInterval(const EndpointInfo& e, Speed speed) {
  const USBD_PIPE_TYPE type = PipeTypeOf(e.attributes);
  const bool periodic = type == UsbdPipeTypeIsochronous || type == UsbdPipeTypeInterrupt;
  if (speed == Speed::Super && e.hasCompanion && periodic) return e.bytesPerInterval;
  const uint32_t size = e.wMaxPacketSize & USB_ENDPOINT_MAX_PACKET_SIZE_MASK;
  if (speed == Speed::High && periodic) return size * (USB_ENDPOINT_ADDITIONAL_TRANSACTIONS(e.wMaxPacketSize) + 1);
  return size;
}

uint8_t* BufferOf(PVOID buffer, PMDL mdl) {
  if (buffer) return static_cast<uint8_t*>(buffer);
  return mdl ? static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, 0)) : nullptr;
}

}  // namespace

const AlternateInfo* PortDevice::FindAlternate(uint8_t interfaceNumber, uint8_t alternate) const {
  for (const AlternateInfo& a : alternates_)
    if (a.interfaceNumber == interfaceNumber && a.alternate == alternate) return &a;
  return nullptr;
}

// Called with lock_ held.
Pipe* PortDevice::ActivePipe(USBD_PIPE_HANDLE handle) {
  for (auto& p : pipes_)
    if (p.get() == handle) return p->active ? p.get() : nullptr;
  return nullptr;
}

bool PortDevice::FillInterface(PUSBD_INTERFACE_INFORMATION info, const AlternateInfo& alt, USHORT room,
                               USBD_STATUS* failure) {
  const size_t needed = GET_USBD_INTERFACE_SIZE(alt.endpoints.size());
  if (room < needed || info->Length < needed) {
    *failure = USBD_STATUS_BUFFER_TOO_SMALL;
    return false;
  }
  info->Class = alt.interfaceClass;
  info->SubClass = alt.subClass;
  info->Protocol = alt.protocol;
  info->Reserved = 0;
  info->InterfaceHandle = const_cast<AlternateInfo*>(&alt);
  info->NumberOfPipes = static_cast<ULONG>(alt.endpoints.size());
  return true;
}

// Called with lock_ held: deactivates the interface's pipes (their requests complete cancelled)
// and makes new ones for alt, written into info.
void PortDevice::ReplacePipes(uint8_t interfaceNumber, const AlternateInfo* alt, PUSBD_INTERFACE_INFORMATION info) {
  for (auto& p : pipes_) {
    if (!p->active || p->interfaceNumber != interfaceNumber) continue;
    CancelPipeRequests(p.get(), STATUS_CANCELLED, USBD_STATUS_CANCELED);
    p->active = false;
  }
  if (!alt) return;
  PUSBD_PIPE_INFORMATION out = info ? info->Pipes : nullptr;
  for (size_t i = 0; i < alt->endpoints.size(); ++i) {
    const EndpointInfo& e = alt->endpoints[i];
    auto pipe = std::make_unique<Pipe>();
    pipe->endpoint = e.address;
    pipe->interfaceNumber = interfaceNumber;
    pipe->type = PipeTypeOf(e.attributes);
    pipe->bytesPerInterval = BytesPerInterval(e, speed_);
    pipe->interval = e.interval;
    pipe->ordinal = static_cast<uint32_t>(pipes_.size());
    if (pipe->type == UsbdPipeTypeInterrupt) {
      // Full speed counts bInterval in frames; faster buses poll every 2^(bInterval-1) microframes.
      const uint8_t exponent = static_cast<uint8_t>(std::min<uint8_t>(std::max<uint8_t>(e.interval, 1), 16) - 1);
      pipe->pollFrames = speed_ == Speed::Full ? std::max<uint8_t>(e.interval, 1) : 1u << exponent;
    }
    if (out) {
      PUSBD_PIPE_INFORMATION pi = out + i;
      pi->MaximumPacketSize = static_cast<USHORT>(std::min<uint32_t>(pipe->bytesPerInterval, 0xFFFF));
      pi->EndpointAddress = e.address;
      pi->Interval = e.interval;
      pi->PipeType = pipe->type;
      pi->PipeHandle = pipe.get();
      if (pi->MaximumTransferSize == 0) pi->MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
    pipes_.push_back(std::move(pipe));
  }
}

NTSTATUS PortDevice::SubmitUrb(PIRP irp, PURB urb) {
  if (!urb) return FailNow(irp, nullptr, STATUS_INVALID_PARAMETER, 0);
  if (removed_.load()) return FailNow(irp, urb, Gone().irpStatus, Gone().urbStatus);
  const USHORT function = urb->UrbHeader.Function;
  // A suspended port moves no packets; aborting or resetting a pipe needs none.
  const DEVICE_POWER_STATE power = powerState_.load();
  const bool needsBus = function != URB_FUNCTION_ABORT_PIPE && function != URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL &&
                        function != URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
  if (needsBus && power != PowerDeviceD0 && power != PowerDeviceUnspecified)
    return FailNow(irp, urb, STATUS_POWER_STATE_INVALID, USBD_STATUS_SUCCESS);
  urb->UrbHeader.Status = USBD_STATUS_PENDING;
  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return SelectConfiguration(irp, urb);
    case URB_FUNCTION_SELECT_INTERFACE:
      return SelectInterface(irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
      if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST))
        return FailNow(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      return AbortPipe(irp, urb, function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    case URB_FUNCTION_ISOCH_TRANSFER:
      return QueueTransfer(irp, urb);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
      if (urb->UrbHeader.Length < sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER))
        return FailNow(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      urb->UrbGetCurrentFrameNumber.FrameNumber = static_cast<ULONG>(KeQueryInterruptTime() / 10000);
      return CompleteLater(irp, urb, {});
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto& d = urb->UrbControlDescriptorRequest;
      if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) || d.TransferBufferLength > 0xFFFF)
        return FailNow(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      uint8_t* data = BufferOf(d.TransferBuffer, d.TransferBufferMDL);
      if (!data && d.TransferBufferLength) return FailNow(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      const USB_DEFAULT_PIPE_SETUP_PACKET setup{0x80, USB_REQUEST_GET_DESCRIPTOR,
                                                static_cast<USHORT>(d.DescriptorType << 8 | d.Index), d.LanguageId,
                                                static_cast<USHORT>(d.TransferBufferLength)};
      return ControlRequest(irp, urb, setup, data);
    }
    default: {
      UCHAR type;
      if (!RequestTypeOf(function, &type))
        return FailNow(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
      auto& c = urb->UrbControlVendorClassRequest;
      if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) || c.TransferBufferLength > 0xFFFF)
        return FailNow(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      uint8_t* data = BufferOf(c.TransferBuffer, c.TransferBufferMDL);
      if (!data && c.TransferBufferLength) return FailNow(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      const bool in = USBD_TRANSFER_DIRECTION_FLAG(c.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
      const USB_DEFAULT_PIPE_SETUP_PACKET setup{static_cast<UCHAR>(type | (in ? 0x80 : 0) | c.RequestTypeReservedBits),
                                                c.Request, c.Value, c.Index,
                                                static_cast<USHORT>(c.TransferBufferLength)};
      return ControlRequest(irp, urb, setup, data);
    }
  }
}

// A control transfer takes bus time on the default pipe, one after the other: the device sees it
// at completion, when OUT data is read and IN data written. Until then an IN buffer holds a poison
// pattern. A composite parent may complete a success inside the call (syncCompletionShare).
NTSTATUS PortDevice::ControlRequest(PIRP irp, PURB urb, const USB_DEFAULT_PIPE_SETUP_PACKET& setup, uint8_t* data) {
  constexpr uint8_t kPoison = 0xBD;
  auto* r = new Request;
  r->kind = Request::Kind::kControl;
  r->irp = irp;
  r->urb = urb;
  r->setup = setup;
  r->data = data;
  const uint64_t now = KeQueryInterruptTime();
  BusFault fault;
  const bool faulted = TakeFault(BusRequest::kControl, &fault);
  if (!faulted && CompletesInCall()) {
    const Outcome o = AskDevice(r, now);
    if (o.disposition == Disposition::kRemove) {
      delete r;
      return DeviceGone(irp, urb);
    }
    if (o.disposition == Disposition::kHold) {
      r->held = true;
      return Pend(r, &held_);
    }
    if (r->completion.irpStatus == STATUS_SUCCESS) {
      const Completion c = r->completion;
      delete r;
      urb->UrbControlVendorClassRequest.TransferBufferLength = c.length;
      return FailNow(irp, urb, STATUS_SUCCESS, c.urbStatus);
    }
    return MakeReady(r);
  }
  if (data && (setup.bmRequestType & 0x80)) memset(data, kPoison, setup.wLength);
  if (faulted && fault.kind == BusFault::Kind::kHang) {
    r->held = true;
    return Pend(r, &held_);
  }
  if (faulted && fault.kind == BusFault::Kind::kFail) {
    r->failAtDue = true;
    r->completion = {fault.irpStatus, fault.urbStatus, 0};
  }
  const uint64_t unit = FrameUnit();
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  r->due = (std::max(now, control_->busyUntil) / unit + 1) * unit;
  if (faulted && fault.kind == BusFault::Kind::kDelay) r->due += static_cast<uint64_t>(fault.delay);
  control_->busyUntil = r->due;
  KeReleaseSpinLock(&lock_, irql);
  r->pipe = control_.get();
  return Pend(r, &control_->queue);
}

NTSTATUS PortDevice::DeviceGone(PIRP irp, PURB urb) {
  removalRequested_ = true;
  RemoveDevice();
  return FailNow(irp, urb, Gone().irpStatus, Gone().urbStatus);
}

// True when the function removed itself or refused the setting; *status then holds the result.
bool PortDevice::SettingFailed(PIRP irp, PURB urb, const Outcome& o, NTSTATUS* status) {
  if (o.disposition == Disposition::kRemove) {
    *status = DeviceGone(irp, urb);
    return true;
  }
  if (o.disposition == Disposition::kHold) {
    // The device keeps the request: it stays pending, the setting unchanged, until cancel or removal.
    auto* r = new Request;
    r->irp = irp;
    r->urb = urb;
    r->held = true;
    *status = Pend(r, &held_);
    return true;
  }
  if (o.completion.irpStatus == STATUS_SUCCESS && USBD_SUCCESS(o.completion.urbStatus)) return false;
  *status = o.completion.irpStatus == STATUS_SUCCESS
                ? CompleteLater(irp, urb, o.completion)
                : FailNow(irp, urb, o.completion.irpStatus, o.completion.urbStatus);
  return true;
}

NTSTATUS PortDevice::SelectConfiguration(PIRP irp, PURB urb) {
  auto& s = urb->UrbSelectConfiguration;
  const USHORT length = urb->UrbHeader.Length;
  if (length < offsetof(struct _URB_SELECT_CONFIGURATION, Interface))
    return FailNow(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  const uint64_t now = KeQueryInterruptTime();
  if (s.ConfigurationDescriptor == nullptr) {
    const Outcome o = function_->SetConfiguration(0, now);
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    for (const AlternateInfo& a : alternates_) ReplacePipes(a.interfaceNumber, nullptr, nullptr);
    configured_ = false;
    KeReleaseSpinLock(&lock_, irql);
    return o.completion.irpStatus == STATUS_SUCCESS ? CompleteLater(irp, urb, {})
                                                    : FailNow(irp, urb, o.completion.irpStatus, o.completion.urbStatus);
  }
  if (s.ConfigurationDescriptor->bConfigurationValue != configurationValue_)
    return FailNow(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);

  // Every interface record must name an alternate setting the device has and have room for its pipes.
  UCHAR* begin = reinterpret_cast<UCHAR*>(&s.Interface);
  UCHAR* end = reinterpret_cast<UCHAR*>(urb) + length;
  std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, const AlternateInfo*>> records;
  for (UCHAR* p = begin; p + GET_USBD_INTERFACE_SIZE(0) <= end;) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(p);
    if (info->Length < GET_USBD_INTERFACE_SIZE(0) || p + info->Length > end)
      return FailNow(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    const AlternateInfo* alt = FindAlternate(info->InterfaceNumber, info->AlternateSetting);
    if (!alt) return FailNow(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INTERFACE_NOT_FOUND);
    USBD_STATUS failure = USBD_STATUS_SUCCESS;
    if (!FillInterface(info, *alt, static_cast<USHORT>(end - p), &failure))
      return FailNow(irp, urb, STATUS_INVALID_PARAMETER, failure);
    records.emplace_back(info, alt);
    p += info->Length;
  }
  if (records.empty()) return FailNow(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);

  Outcome o = function_->SetConfiguration(configurationValue_, now);
  for (auto& [info, alt] : records) {
    if (o.disposition != Disposition::kComplete || o.completion.irpStatus != STATUS_SUCCESS) break;
    if (alt->alternate != 0) o = function_->SetInterface(alt->interfaceNumber, alt->alternate, now);
  }
  NTSTATUS status;
  if (SettingFailed(irp, urb, o, &status)) return status;
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  for (const AlternateInfo& a : alternates_) ReplacePipes(a.interfaceNumber, nullptr, nullptr);
  for (auto& [info, alt] : records) ReplacePipes(alt->interfaceNumber, alt, info);
  configured_ = true;
  KeReleaseSpinLock(&lock_, irql);
  s.ConfigurationHandle = this;
  return CompleteLater(irp, urb, {});
}

NTSTATUS PortDevice::SelectInterface(PIRP irp, PURB urb) {
  auto& s = urb->UrbSelectInterface;
  const USHORT length = urb->UrbHeader.Length;
  if (length < offsetof(struct _URB_SELECT_INTERFACE, Interface) + GET_USBD_INTERFACE_SIZE(0))
    return FailNow(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  if (!configured_ || s.ConfigurationHandle != this)
    return FailNow(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
  PUSBD_INTERFACE_INFORMATION info = &s.Interface;
  const AlternateInfo* alt = FindAlternate(info->InterfaceNumber, info->AlternateSetting);
  if (!alt) return FailNow(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INTERFACE_NOT_FOUND);
  USBD_STATUS failure = USBD_STATUS_SUCCESS;
  const USHORT room = static_cast<USHORT>(length - offsetof(struct _URB_SELECT_INTERFACE, Interface));
  if (!FillInterface(info, *alt, room, &failure)) return FailNow(irp, urb, STATUS_INVALID_PARAMETER, failure);
  const Outcome o = function_->SetInterface(alt->interfaceNumber, alt->alternate, KeQueryInterruptTime());
  NTSTATUS status;
  if (SettingFailed(irp, urb, o, &status)) return status;
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  ReplacePipes(alt->interfaceNumber, alt, info);
  KeReleaseSpinLock(&lock_, irql);
  return CompleteLater(irp, urb, {});
}

NTSTATUS PortDevice::AbortPipe(PIRP irp, PURB urb, bool reset) {
  BusFault fault;
  const bool faulted = TakeFault(reset ? BusRequest::kResetPipe : BusRequest::kAbortPipe, &fault);
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  Pipe* pipe = ActivePipe(urb->UrbPipeRequest.PipeHandle);
  if (!pipe) {
    KeReleaseSpinLock(&lock_, irql);
    return FailNow(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
  }
  if (reset && !pipe->queue.empty()) {
    // Windows refuses to reset a pipe that still has transfers; they must be aborted first.
    KeReleaseSpinLock(&lock_, irql);
    return FailNow(irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_BUSY);
  }
  KeReleaseSpinLock(&lock_, irql);
  if (faulted && fault.kind == BusFault::Kind::kFail) return FailNow(irp, urb, fault.irpStatus, fault.urbStatus);
  if (faulted && fault.kind == BusFault::Kind::kHang) {
    auto* r = new Request;
    r->irp = irp;
    r->urb = urb;
    r->held = true;
    return Pend(r, &held_);
  }
  KeAcquireSpinLock(&lock_, &irql);
  const uint8_t endpoint = pipe->endpoint;
  if (!reset) {
    CancelPipeRequests(pipe, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    // The (micro)frames the cancelled transfers had reserved are free again.
    pipe->nextFrame = 0;
  } else {
    pipe->nextFrame = 0;
    pipe->readyAt = 0;
    pipe->halted = false;
  }
  KeReleaseSpinLock(&lock_, irql);
  if (reset) function_->PipeReset(endpoint, KeQueryInterruptTime());
  else function_->PipeAborted(endpoint, KeQueryInterruptTime());
  // Queued after the aborted transfers, so they complete first.
  return CompleteLater(irp, urb, {}, faulted ? fault.delay : 0);
}

NTSTATUS PortDevice::QueueTransfer(PIRP irp, PURB urb) {
  const bool isoch = urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER;
  auto& b = urb->UrbBulkOrInterruptTransfer;  // the fields up to hca are shared with the isochronous URB
  if (urb->UrbHeader.Length < (isoch ? sizeof(struct _URB_ISOCH_TRANSFER) : sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)))
    return FailNow(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  if (!BufferOf(b.TransferBuffer, b.TransferBufferMDL) && b.TransferBufferLength)
    return FailNow(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  if (USBD_TRANSFER_DIRECTION_FLAG(b.TransferFlags) != USBD_TRANSFER_DIRECTION_IN)
    return FailNow(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);

  auto* r = new Request;
  r->kind = isoch ? Request::Kind::kIsoch : Request::Kind::kBulk;
  r->irp = irp;
  r->urb = urb;
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  Pipe* pipe = ActivePipe(b.PipeHandle);
  NTSTATUS bad = STATUS_SUCCESS;
  USBD_STATUS badUrb = USBD_STATUS_SUCCESS;
  if (!pipe) {
    bad = STATUS_INVALID_PARAMETER;
    badUrb = USBD_STATUS_INVALID_PIPE_HANDLE;
  } else if (isoch != (pipe->type == UsbdPipeTypeIsochronous) || pipe->type == UsbdPipeTypeControl) {
    bad = STATUS_INVALID_PARAMETER;
    badUrb = USBD_STATUS_INVALID_PARAMETER;
  } else if (isoch) {
    auto& t = urb->UrbIsochronousTransfer;
    const ULONG n = t.NumberOfPackets;
    const bool frames8 = speed_ != Speed::Full;
    bool offsetsOk = n > 0 && n <= 1024 && (!frames8 || n % 8 == 0) &&
                     urb->UrbHeader.Length >= sizeof(struct _URB_ISOCH_TRANSFER) + (n - 1) * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
    for (ULONG i = 0; offsetsOk && i < n; ++i) {
      const ULONG next = i + 1 < n ? t.IsoPacket[i + 1].Offset : t.TransferBufferLength;
      offsetsOk = t.IsoPacket[i].Offset <= next && next <= t.TransferBufferLength;
    }
    if (!offsetsOk) {
      bad = STATUS_INVALID_PARAMETER;
      badUrb = USBD_STATUS_INVALID_PARAMETER;
    } else {
      const uint64_t unit = FrameUnit();
      const uint64_t current = KeQueryInterruptTime() / unit;
      uint64_t start;
      if (t.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
        // An ASAP transfer continues the pipe's stream; when it arrives after its first (micro)frames
        // have passed, those packets are not accessed (late). A stream more than a transfer behind
        // starts afresh.
        const bool late = pipe->nextFrame != 0 && pipe->nextFrame <= current && current + 1 - pipe->nextFrame < n;
        start = late ? pipe->nextFrame : std::max(pipe->nextFrame, current + 1);
        r->lateFrames = late ? static_cast<uint32_t>(current + 1 - start) : 0;
      } else {
        // StartFrame counts 1 ms frames; it must lie within the schedule window ahead.
        const uint64_t perMs = speed_ == Speed::Full ? 1 : 8;
        const uint64_t currentMs = current / perMs;
        if (t.StartFrame <= currentMs || t.StartFrame > currentMs + USBD_ISO_START_FRAME_RANGE) {
          bad = STATUS_UNSUCCESSFUL;
          badUrb = USBD_STATUS_BAD_START_FRAME;
        }
        start = static_cast<uint64_t>(t.StartFrame) * perMs;
      }
      if (bad == STATUS_SUCCESS) {
        t.StartFrame = static_cast<ULONG>(start / (speed_ == Speed::Full ? 1 : 8));
        r->startFrame = start;
        r->due = (start + n) * unit;
        pipe->nextFrame = start + n;
      }
    }
  }
  if (!isoch && pipe) {
    // A bulk transaction takes place in the next (micro)frame at the earliest, so a transfer
    // that fails at once still takes bus time; an interrupt endpoint is polled at its interval.
    const uint64_t unit = FrameUnit();
    const uint64_t now = KeQueryInterruptTime();
    r->due = pipe->type == UsbdPipeTypeInterrupt ? NextPoll(*pipe, now) : (now / unit + 1) * unit;
  }
  KeReleaseSpinLock(&lock_, irql);
  if (bad != STATUS_SUCCESS) {
    delete r;
    return FailNow(irp, urb, bad, badUrb);
  }
  r->pipe = pipe;
  BusFault fault;
  if (TakeFault(BusRequest::kTransfer, &fault)) {
    if (fault.kind == BusFault::Kind::kHang) r->held = true;
    if (fault.kind == BusFault::Kind::kDelay) r->due += static_cast<uint64_t>(fault.delay);
    if (fault.kind == BusFault::Kind::kFail) {
      r->failAtDue = true;
      r->completion = {fault.irpStatus, fault.urbStatus, 0};
    }
  }
  return Pend(r, &pipe->queue);
}

}  // namespace kvz::usb
