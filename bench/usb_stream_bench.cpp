// Frame assembly of the stream readers: one 1920x1080 YUY2 frame assembled from its isochronous
// packets (128 packets of 3072 bytes a transfer) or its bulk payloads (64 KiB transfers), through
// the readers' completion path with a loopback lower device in place of the bus. Compare with
// Memcpy/1920x1080 (the same bytes, postproc_bench.cpp) in the same run:
//   kvzcam-bench --benchmark_filter='(IsochAssemble|BulkAssemble|Memcpy)/1920x1080'
#include <benchmark/benchmark.h>

#include "kvz/kernel_testing.h"
#include "tests/usb/support/transfer_loopback.h"
#include "usb/bulk_stream_reader.h"
#include "usb/isoch_stream_reader.h"

namespace {

using namespace kvz;
using kvz::usbtest::TransferLoopback;

constexpr ULONG kWidth = 1920;
constexpr ULONG kHeight = 1080;
constexpr ULONG kFrameBytes = kWidth * kHeight * 2;
constexpr ULONG kHeader = 12;

USBD_INTERFACE_INFORMATION Interface(ULONG maximumPacketSize) {
  USBD_INTERFACE_INFORMATION info{};
  info.Length = sizeof(info);
  info.NumberOfPipes = 1;
  info.Pipes[0].MaximumPacketSize = static_cast<USHORT>(maximumPacketSize);
  info.Pipes[0].PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<uintptr_t>(0x1000));
  return info;
}

void WriteHeader(PUCHAR payload, bool endOfFrame) {
  payload[0] = kHeader;
  payload[1] = static_cast<UCHAR>(0x8C | (endOfFrame ? 0x02 : 0));
}

TransferLoopback& Loopback() {
  kvz::kernel::SetClockMode(kvz::kernel::ClockMode::Virtual);
  return TransferLoopback::Instance();
}

// Completes held transfers, each filled by fill(held, remaining) which returns the bytes of the
// frame it carried, until one frame has been delivered; once per iteration.
template <class Reader, class Fill>
void AssembleFrames(benchmark::State& state, Reader& reader, NTSTATUS started, Fill fill) {
  if (!NT_SUCCESS(started)) {
    state.SkipWithError("start failed");
    return;
  }
  TransferLoopback& loopback = TransferLoopback::Instance();
  for (auto _ : state) {
    ULONG remaining = kFrameBytes;
    while (remaining > 0) {
      TransferLoopback::Held held;
      loopback.Take(&held);
      remaining -= fill(held, remaining);
      held.urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
      TransferLoopback::Complete(held, STATUS_SUCCESS);
    }
  }
  if (reader.Counters().discarded != 0) state.SkipWithError("frames discarded");
  reader.Stop(kStreamCapture);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFrameBytes));
}

void IsochAssemble(benchmark::State& state) {
  TransferLoopback& loopback = Loopback();
  constexpr ULONG kStride = 3072;
  constexpr ULONG kPackets = 128;
  USBD_INTERFACE_INFORMATION info = Interface(kStride);
  IsochStreamReader reader(&info, 5, 0, loopback.Device()->GetLowerStackSize(), loopback.Device(), false);
  const NTSTATUS started = reader.Start(kFrameBytes, kPackets, kStride, &info, nullptr, kStreamCapture);
  AssembleFrames(state, reader, started, [&](const TransferLoopback::Held& held, ULONG remaining) {
    struct _URB_ISOCH_TRANSFER& t = held.urb->UrbIsochronousTransfer;
    auto* buffer = static_cast<PUCHAR>(t.TransferBuffer);
    ULONG carried = 0;
    for (ULONG i = 0; i < t.NumberOfPackets; ++i) {
      const ULONG n = remaining - carried < kStride - kHeader ? remaining - carried : kStride - kHeader;
      carried += n;
      t.IsoPacket[i].Status = USBD_STATUS_SUCCESS;
      t.IsoPacket[i].Length = n ? n + kHeader : 0;
      if (n) WriteHeader(buffer + t.IsoPacket[i].Offset, carried == remaining);
    }
    return carried;
  });
}

void BulkAssemble(benchmark::State& state) {
  TransferLoopback& loopback = Loopback();
  constexpr ULONG kTransfer = 0x10000;
  USBD_INTERFACE_INFORMATION info = Interface(512);
  BulkStreamReader reader(&info, 0, loopback.Device()->GetLowerStackSize(), loopback.Device());
  const NTSTATUS started = reader.Start(kFrameBytes, kTransfer, &info, nullptr, kStreamCapture);
  AssembleFrames(state, reader, started, [&](const TransferLoopback::Held& held, ULONG remaining) {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER& t = held.urb->UrbBulkOrInterruptTransfer;
    const ULONG n = remaining < kTransfer - kHeader ? remaining : kTransfer - kHeader;
    WriteHeader(static_cast<PUCHAR>(t.TransferBuffer), n == remaining);
    t.TransferBufferLength = n + kHeader;
    return n;
  });
}

BENCHMARK(IsochAssemble)->Name("IsochAssemble/1920x1080")->Unit(benchmark::kMicrosecond);
BENCHMARK(BulkAssemble)->Name("BulkAssemble/1920x1080")->Unit(benchmark::kMicrosecond);

}  // namespace
