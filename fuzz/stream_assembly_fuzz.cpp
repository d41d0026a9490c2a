// Payload streams into the stream readers' frame assembly: arbitrary isochronous packet
// sequences (lengths, statuses, headers, data; lengths the bus should never report included) and
// arbitrary bulk payloads, interleaved with failed transfers, removal, a halted endpoint and
// pause/resume, through the readers' real completion path (a loopback lower device holds each
// transfer until the input completes it). After the stop nothing may be in flight or held.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tests/usb/support/transfer_loopback.h"
#include "usb/bulk_stream_reader.h"
#include "usb/isoch_stream_reader.h"

namespace {

using namespace kvz;
using kvz::usbtest::TransferLoopback;

constexpr ULONG kPackets = 8;

void Fill(FuzzedDataProvider& in, PUCHAR to, ULONG room, ULONG length) {
  const ULONG n = length < room ? length : room;
  if (n == 0) return;
  // Mostly well-formed headers, so that frames get assembled and finished.
  const uint8_t shape = in.ConsumeIntegral<uint8_t>();
  std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(n);
  bytes.resize(n, 0x5A);
  if (shape < 200 && n >= 2) {
    bytes[0] = 12;
    bytes[1] = static_cast<uint8_t>(0x8C | (bytes[1] & 0x63));
  }
  std::memcpy(to, bytes.data(), n);
}

void CompleteIsoch(FuzzedDataProvider& in, const TransferLoopback::Held& held, ULONG stride) {
  struct _URB_ISOCH_TRANSFER& t = held.urb->UrbIsochronousTransfer;
  auto* buffer = static_cast<PUCHAR>(t.TransferBuffer);
  for (ULONG i = 0; i < t.NumberOfPackets; ++i) {
    USBD_ISO_PACKET_DESCRIPTOR& p = t.IsoPacket[i];
    p.Length = in.ConsumeIntegralInRange<ULONG>(0, stride + 64);
    p.Status = in.ConsumeIntegralInRange<int>(0, 7) == 0 ? USBD_STATUS_XACT_ERROR : USBD_STATUS_SUCCESS;
    Fill(in, buffer + p.Offset, stride, p.Length);
  }
  held.urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  TransferLoopback::Complete(held, STATUS_SUCCESS);
}

void CompleteBulk(FuzzedDataProvider& in, const TransferLoopback::Held& held) {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER& t = held.urb->UrbBulkOrInterruptTransfer;
  const ULONG size = t.TransferBufferLength;
  const ULONG n = in.ConsumeIntegralInRange<ULONG>(0, size + 64);
  Fill(in, static_cast<PUCHAR>(t.TransferBuffer), size, n);
  t.TransferBufferLength = n;
  held.urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  TransferLoopback::Complete(held, STATUS_SUCCESS);
}

void LetTimeRun(int64_t duration) {
  LARGE_INTEGER interval;
  interval.QuadPart = -duration;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

template <class Reader>
void Feed(FuzzedDataProvider& in, Reader& reader, bool bulk, ULONG stride) {
  TransferLoopback& loopback = TransferLoopback::Instance();
  for (int step = 0; step < 96 && in.remaining_bytes() > 0; ++step) {
    const int op = in.ConsumeIntegralInRange<int>(0, 15);
    if (op == 0) {
      reader.SetTransportPaused(in.ConsumeBool() ? 1 : 0);
      continue;
    }
    if (op == 1) {
      if (FrameBuffer* frame = reader.TakeReadyFrame(in.ConsumeBool() ? kStreamCapture : kStreamStill))
        reader.ReturnFrameBuffer(frame, kStreamCapture);
      continue;
    }
    TransferLoopback::Held held;
    if (!loopback.Take(&held)) {
      LetTimeRun(6 * kvz::kernel::kMillisecond);  // retries fall due
      continue;
    }
    if (op == 2) {
      held.urb->UrbHeader.Status = USBD_STATUS_DEV_NOT_RESPONDING;
      TransferLoopback::Complete(held, STATUS_UNSUCCESSFUL);
    } else if (op == 3) {
      held.urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
      TransferLoopback::Complete(held, STATUS_NO_SUCH_DEVICE);
    } else if (op == 4 && bulk) {
      held.urb->UrbHeader.Status = USBD_STATUS_ENDPOINT_HALTED;
      TransferLoopback::Complete(held, STATUS_UNSUCCESSFUL);
    } else if (bulk) {
      CompleteBulk(in, held);
    } else {
      CompleteIsoch(in, held, stride);
    }
  }
}

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Retry and drain timers cost no real time.
  kvz::kernel::SetClockMode(kvz::kernel::ClockMode::Virtual);
  TransferLoopback::Instance();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  TransferLoopback& loopback = TransferLoopback::Instance();
  const bool bulk = in.ConsumeBool();
  const ULONG frameSize = in.ConsumeIntegralInRange<ULONG>(1, 4096);
  const ULONG stillSize = in.ConsumeIntegralInRange<ULONG>(1, 4096);
  const ULONG stride = in.ConsumeIntegralInRange<ULONG>(1, 1024);
  USBD_INTERFACE_INFORMATION info{};
  info.Length = sizeof(info);
  info.NumberOfPipes = 1;
  info.Pipes[0].MaximumPacketSize = static_cast<USHORT>(stride);
  info.Pipes[0].PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<uintptr_t>(0x1000));
  const CCHAR stackSize = loopback.Device()->GetLowerStackSize();

  if (bulk) {
    BulkStreamReader reader(&info, 0, stackSize, loopback.Device());
    const ULONG payload = in.ConsumeIntegralInRange<ULONG>(0, 2048);
    reader.Start(stillSize, 0, nullptr, nullptr, kStreamStill);
    if (NT_SUCCESS(reader.Start(frameSize, payload, &info, nullptr, kStreamCapture))) {
      Feed(in, reader, true, stride);
      reader.Stop(kStreamCapture);
    }
    Check(reader.TransfersInFlight() <= 0);
  } else {
    IsochStreamReader reader(&info, 5, 0, stackSize, loopback.Device(), false);
    reader.Start(stillSize, 0, 0, nullptr, nullptr, kStreamStill);
    if (NT_SUCCESS(reader.Start(frameSize, kPackets, 0, &info, nullptr, kStreamCapture))) {
      Feed(in, reader, false, stride);
      reader.Stop(kStreamCapture);
    }
    Check(reader.TransfersInFlight() == 0);
  }
  Check(loopback.HeldCount() == 0);
  return 0;
}
