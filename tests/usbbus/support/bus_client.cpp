#include "bus_client.h"

#include <algorithm>
#include <cstring>

#include "kvz/kernel_testing.h"

namespace kvz::usb::testing {
namespace {

void SetNextStack(PIRP irp, ULONG ioctl, PVOID argument1, PVOID input, ULONG inputLength) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->MinorFunction = 0;
  next->Parameters.DeviceIoControl.IoControlCode = ioctl;
  if (input) {
    next->Parameters.DeviceIoControl.Type3InputBuffer = input;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  } else {
    next->Parameters.Others.Argument1 = argument1;
  }
}

NTSTATUS NTAPI AsyncDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* r = static_cast<AsyncRequest*>(context);
  r->status = irp->IoStatus.Status;
  r->completionIrql = KeGetCurrentIrql();
  r->completedAt = KeQueryInterruptTime();
  r->completedInsideCall = r->inCall.load();
  r->completed = true;
  KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

simcam::VendorGuids TestGuids() {
  simcam::VendorGuids g;
  g.vendorUnit = GUID{0x1229A78C, 0x47B4, 0x4094, {0xB0, 0xCE, 0xDB, 0x07, 0x38, 0x6F, 0xB9, 0x38}};
  g.testUnit = GUID{0x9A1E7291, 0x6843, 0x4683, {0x9D, 0x70, 0x8F, 0x2B, 0x64, 0x41, 0x1B, 0x97}};
  return g;
}

AsyncRequest::~AsyncRequest() {
  if (irp) IoFreeIrp(irp);
}

bool AsyncRequest::Wait(int64_t timeout100ns) {
  LARGE_INTEGER t;
  t.QuadPart = -timeout100ns;
  return KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, timeout100ns < 0 ? nullptr : &t) == STATUS_SUCCESS;
}

std::unique_ptr<AsyncRequest> BusClient::SubmitAsync(PURB urb, ULONG ioctl, PVOID input, ULONG inputLength) {
  auto r = std::make_unique<AsyncRequest>();
  KeInitializeEvent(&r->done, NotificationEvent, FALSE);
  r->irp = IoAllocateIrp(Pdo()->StackSize, FALSE);
  SetNextStack(r->irp, ioctl, urb, input, inputLength);
  IoSetCompletionRoutine(r->irp, AsyncDone, r.get(), TRUE, TRUE, TRUE);
  r->inCall = true;
  r->callStatus = IoCallDriver(Pdo(), r->irp);
  r->inCall = false;
  return r;
}

std::unique_ptr<AsyncRequest> BusClient::SetPower(DEVICE_POWER_STATE state) {
  auto r = std::make_unique<AsyncRequest>();
  KeInitializeEvent(&r->done, NotificationEvent, FALSE);
  r->irp = IoAllocateIrp(Pdo()->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(r->irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = IRP_MN_SET_POWER;
  next->Parameters.Power.Type = DevicePowerState;
  next->Parameters.Power.State.DeviceState = state;
  r->irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoSetCompletionRoutine(r->irp, AsyncDone, r.get(), TRUE, TRUE, TRUE);
  r->inCall = true;
  r->callStatus = IoCallDriver(Pdo(), r->irp);
  r->inCall = false;
  return r;
}

NTSTATUS BusClient::Submit(PURB urb, NTSTATUS* callStatus) {
  std::unique_ptr<AsyncRequest> r = SubmitAsync(urb);
  if (callStatus) *callStatus = r->callStatus;
  r->Wait();
  return r->status;
}

NTSTATUS BusClient::GetDescriptor(uint8_t type, uint16_t length, std::vector<uint8_t>* out, USBD_STATUS* urbStatus) {
  out->assign(length, 0);
  URB urb{};
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, out->data(), nullptr,
                               length, nullptr);
  const NTSTATUS status = Submit(&urb);
  if (urbStatus) *urbStatus = urb.UrbHeader.Status;
  out->resize(NT_SUCCESS(status) ? urb.UrbControlDescriptorRequest.TransferBufferLength : 0);
  return status;
}

std::vector<uint8_t> BusClient::ReadConfiguration() {
  std::vector<uint8_t> head;
  if (!NT_SUCCESS(GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, &head)) || head.size() < 9) return {};
  std::vector<uint8_t> full;
  GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, static_cast<uint16_t>(head[2] | head[3] << 8), &full);
  return full;
}

NTSTATUS BusClient::Configure() {
  config_ = ReadConfiguration();
  if (config_.empty()) return STATUS_UNSUCCESSFUL;
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_.data());
  std::vector<USBD_INTERFACE_LIST_ENTRY> list;
  for (PUCHAR at = reinterpret_cast<PUCHAR>(config);;) {
    PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(config, at, -1, 0, -1, -1, -1);
    if (!d) break;
    list.push_back({d, nullptr});
    at = reinterpret_cast<PUCHAR>(d) + d->bLength;
  }
  list.push_back({nullptr, nullptr});
  PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  const NTSTATUS status = Submit(urb);
  if (NT_SUCCESS(status)) {
    configuration_ = urb->UrbSelectConfiguration.ConfigurationHandle;
    for (auto& e : list) {
      if (!e.Interface) continue;
      // Room for three pipes, for later alternate settings.
      std::vector<uint8_t> copy(GET_USBD_INTERFACE_SIZE(3), 0);
      std::memcpy(copy.data(), e.Interface, e.Interface->Length);
      interfaces_.at(e.Interface->InterfaceNumber) = copy;
    }
  }
  ExFreePool(urb);
  return status;
}

NTSTATUS BusClient::SelectAlternate(uint8_t interfaceNumber, uint8_t alternate, USBD_STATUS* urbStatus) {
  const size_t size = GET_SELECT_INTERFACE_REQUEST_SIZE(3);
  std::vector<uint8_t> block(std::max(size, sizeof(URB)), 0);
  auto* urb = reinterpret_cast<PURB>(block.data());
  UsbBuildSelectInterfaceRequest(urb, size, configuration_, interfaceNumber, alternate);
  const NTSTATUS status = Submit(urb);
  if (urbStatus) *urbStatus = urb->UrbHeader.Status;
  if (NT_SUCCESS(status)) {
    std::vector<uint8_t>& info = interfaces_.at(interfaceNumber);
    info.assign(GET_USBD_INTERFACE_SIZE(3), 0);
    std::memcpy(info.data(), &urb->UrbSelectInterface.Interface, urb->UrbSelectInterface.Interface.Length);
  }
  return status;
}

NTSTATUS BusClient::ClassRequest(bool in, uint8_t request, uint16_t wValue, uint16_t wIndex, std::vector<uint8_t>* data,
                                 USBD_STATUS* urbStatus, ULONG* transferred) {
  URB urb{};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT, 0, request, wValue, wIndex,
                        data->empty() ? nullptr : data->data(), nullptr, static_cast<ULONG>(data->size()), nullptr);
  const NTSTATUS status = Submit(&urb);
  if (urbStatus) *urbStatus = urb.UrbHeader.Status;
  if (transferred) *transferred = urb.UrbControlVendorClassRequest.TransferBufferLength;
  if (in && NT_SUCCESS(status)) data->resize(urb.UrbControlVendorClassRequest.TransferBufferLength);
  return status;
}

NTSTATUS BusClient::PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe) {
  URB urb{};
  urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbHeader.Function = function;
  urb.UrbPipeRequest.PipeHandle = pipe;
  return Submit(&urb);
}

UVC_VIDEO_PROBE_COMMIT BusClient::Commit(uint8_t format, uint8_t frame, uint32_t interval) {
  UVC_VIDEO_PROBE_COMMIT p{};
  p.bFormatIndex = format;
  p.bFrameIndex = frame;
  p.dwFrameInterval = interval;
  std::vector<uint8_t> block(sizeof(p));
  std::memcpy(block.data(), &p, sizeof(p));
  ClassRequest(false, SET_CUR, VS_PROBE_CONTROL << 8, 1, &block);
  ClassRequest(true, GET_CUR, VS_PROBE_CONTROL << 8, 1, &block);
  ClassRequest(false, SET_CUR, VS_COMMIT_CONTROL << 8, 1, &block);
  std::memcpy(&p, block.data(), std::min(block.size(), sizeof(p)));
  return p;
}

// ---- Streaming -----------------------------------------------------------------------------------

BulkRead::BulkRead(BusClient& client, PUSBD_PIPE_INFORMATION pipe, ULONG size) : buffer(size) {
  UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe->PipeHandle,
                                         buffer.data(), nullptr, size, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                         nullptr);
  request = client.SubmitAsync(&urb);
}

IsochRead::IsochRead(BusClient& client, PUSBD_PIPE_INFORMATION pipe, uint32_t packets)
    : urbBytes(GET_ISO_URB_SIZE(packets)), buffer(static_cast<size_t>(packets) * pipe->MaximumPacketSize) {
  auto& t = Urb()->UrbIsochronousTransfer;
  t.Hdr.Length = static_cast<USHORT>(urbBytes.size());
  t.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  t.PipeHandle = pipe->PipeHandle;
  t.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
  t.TransferBuffer = buffer.data();
  t.TransferBufferLength = static_cast<ULONG>(buffer.size());
  t.NumberOfPackets = packets;
  for (uint32_t i = 0; i < packets; ++i) t.IsoPacket[i].Offset = i * pipe->MaximumPacketSize;
  submittedAt = static_cast<int64_t>(KeQueryInterruptTime());
  request = client.SubmitAsync(Urb());
}

namespace {

struct Stream;

struct Slot {
  Stream* stream = nullptr;
  PIRP irp = nullptr;
  std::vector<uint8_t> urb;
  std::vector<uint8_t> buffer;
};

struct Stream {
  PDEVICE_OBJECT pdo = nullptr;
  PUSBD_PIPE_INFORMATION pipe = nullptr;
  bool isoch = true;
  uint32_t packets = 0;
  uint32_t stride = 0;
  size_t wanted = 0;
  bool stop = false;
  LONG running = 0;
  KEVENT allDone;
  simcam::PayloadAssembler assembler;
  StreamResult result;
  std::vector<std::unique_ptr<Slot>> slots;
};

void Arm(Slot* s);

NTSTATUS NTAPI SlotDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* slot = static_cast<Slot*>(context);
  Stream* st = slot->stream;
  if (KeGetCurrentIrql() != DISPATCH_LEVEL) st->result.allAtDispatch = false;
  ++st->result.transfers;
  const uint64_t now = KeQueryInterruptTime();
  auto* urb = reinterpret_cast<PURB>(slot->urb.data());
  const NTSTATUS status = irp->IoStatus.Status;
  if (!NT_SUCCESS(status)) {
    ++st->result.failed;
    st->result.lastFailure = status;
    st->result.lastUrbFailure = urb->UrbHeader.Status;
  } else if (st->isoch) {
    auto& t = urb->UrbIsochronousTransfer;
    for (ULONG i = 0; i < t.NumberOfPackets; ++i)
      if (USBD_SUCCESS(t.IsoPacket[i].Status))
        st->assembler.Add(slot->buffer.data() + t.IsoPacket[i].Offset, t.IsoPacket[i].Length, now);
  } else {
    st->assembler.Add(slot->buffer.data(), urb->UrbBulkOrInterruptTransfer.TransferBufferLength, now);
  }
  if (st->assembler.Frames().size() >= st->wanted) st->stop = true;
  if (st->stop || status == STATUS_NO_SUCH_DEVICE || status == STATUS_CANCELLED) {
    if (InterlockedDecrement(&st->running) == 0) KeSetEvent(&st->allDone, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  Arm(slot);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void Arm(Slot* s) {
  Stream* st = s->stream;
  auto* urb = reinterpret_cast<PURB>(s->urb.data());
  std::memset(s->urb.data(), 0, s->urb.size());
  if (st->isoch) {
    auto& t = urb->UrbIsochronousTransfer;
    t.Hdr.Length = static_cast<USHORT>(s->urb.size());
    t.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    t.PipeHandle = st->pipe->PipeHandle;
    t.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
    t.TransferBuffer = s->buffer.data();
    t.TransferBufferLength = st->packets * st->stride;
    t.NumberOfPackets = st->packets;
    for (uint32_t i = 0; i < st->packets; ++i) t.IsoPacket[i].Offset = i * st->stride;
  } else {
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), st->pipe->PipeHandle,
                                           s->buffer.data(), nullptr, static_cast<ULONG>(s->buffer.size()),
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
  }
  IoReuseIrp(s->irp, STATUS_SUCCESS);
  SetNextStack(s->irp, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, nullptr, 0);
  IoSetCompletionRoutine(s->irp, SlotDone, s, TRUE, TRUE, TRUE);
  IoCallDriver(st->pdo, s->irp);
}

StreamResult Run(BusClient& client, Stream& st, uint32_t transfers, size_t urbSize, size_t bufferSize,
                 int64_t timeout100ns) {
  st.pdo = client.Pdo();
  KeInitializeEvent(&st.allDone, NotificationEvent, FALSE);
  st.running = static_cast<LONG>(transfers);
  for (uint32_t i = 0; i < transfers; ++i) {
    auto s = std::make_unique<Slot>();
    s->stream = &st;
    s->urb.assign(urbSize, 0);
    s->buffer.assign(bufferSize, 0);
    s->irp = IoAllocateIrp(st.pdo->StackSize, FALSE);
    st.slots.push_back(std::move(s));
  }
  for (auto& s : st.slots) Arm(s.get());
  LARGE_INTEGER t;
  t.QuadPart = -timeout100ns;
  if (KeWaitForSingleObject(&st.allDone, Executive, KernelMode, FALSE, &t) != STATUS_SUCCESS) {
    st.stop = true;
    client.PipeRequest(URB_FUNCTION_ABORT_PIPE, st.pipe->PipeHandle);
    KeWaitForSingleObject(&st.allDone, Executive, KernelMode, FALSE, nullptr);
  }
  for (auto& s : st.slots) IoFreeIrp(s->irp);
  st.result.frames = std::move(st.assembler.Frames());
  return st.result;
}

}  // namespace

StreamResult StreamIsoch(BusClient& client, PUSBD_PIPE_INFORMATION pipe, uint32_t transfers, uint32_t packets,
                         size_t frames, int64_t timeout100ns) {
  Stream st;
  st.pipe = pipe;
  st.isoch = true;
  st.packets = packets;
  st.stride = pipe->MaximumPacketSize;
  st.wanted = frames;
  return Run(client, st, transfers, GET_ISO_URB_SIZE(packets), static_cast<size_t>(packets) * st.stride, timeout100ns);
}

StreamResult StreamBulk(BusClient& client, PUSBD_PIPE_INFORMATION pipe, uint32_t transfers, uint32_t size,
                        size_t frames, int64_t timeout100ns) {
  Stream st;
  st.pipe = pipe;
  st.isoch = false;
  st.wanted = frames;
  return Run(client, st, transfers, sizeof(URB), size, timeout100ns);
}

}  // namespace kvz::usb::testing
