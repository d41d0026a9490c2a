// The status interrupt reader over the bus and the simulated camera: status packets of every
// length reach the device once each, failed transfers stop the reader and free everything,
// cancel racing the resubmission, removal at every stage, allocation failures.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <uvc.h>

#include "kvz/kernel_testing.h"
#include "kvz/kernel_thread.h"
#include "primitives/driver_memory.h"
#include "support/camera_start.h"
#include "support/pool_object.h"
#include "support/recording_device.h"
#include "support/usb_bench.h"
#include "usb/interrupt_pipe_reader.h"
#include "usb/usb_limits.h"

namespace kvz::usbtest {
namespace {

using kvz::kernel::kMillisecond;

size_t LiveBlocks(ULONG tag) { return kvz::kernel::PoolStatsForTag(tag).liveBlocks; }

size_t ReaderBlocks() {
  return LiveBlocks(kTagInterruptData) + LiveBlocks(kTagInterruptUrb) + LiveBlocks(kTagInterruptCopy);
}

const std::vector<UCHAR> kPress = {UVC_STATUS_TYPE_STREAMING, 1, UVC_VS_EVENT_BUTTON_PRESS, 1};

class InterruptReaderTest : public UsbBench {
 protected:
  void SetUp() override {
    UsbBench::SetUp();
    StartCameraWith([this] { DestroyReader(); });
    ASSERT_EQ(STATUS_SUCCESS, Boot(simcam::HighSpeedIsochCamera(DriverGuids())));
    ASSERT_NE(nullptr, Device()->interruptInterface);
    device_ = new RecordingDevice(Usb()->KsDevice());
    device_->SetStillPinOpen(1);
    reader_ = MakeReader(Device()->interruptInterface);
  }

  InterruptPipeReader* MakeReader(PUSBD_INTERFACE_INFORMATION info) {
    return PoolNew<InterruptPipeReader>('pIlC', device_->GetLowerStackSize(), 0, info, device_);
  }

  // What the device's release does: cancel, then destroy.
  void DestroyReader() {
    if (reader_) reader_->CancelInterruptIrp();
    PoolDelete(reader_);
    delete device_;
    device_ = nullptr;
  }

  // The status endpoint is polled every 16 ms.
  void Settle() { kvz::kernel::AdvanceClock(100 * kMillisecond); }

  RecordingDevice* device_ = nullptr;
  InterruptPipeReader* reader_ = nullptr;
};

struct PacketCase {
  const char* name;
  std::vector<std::vector<UCHAR>> packets;  // queued in order
  std::vector<uint32_t> cutTo;              // the first packets cut to these lengths
  std::vector<ULONG> lengths;               // what the device is handed
  uint32_t stillTriggers;
};

class StatusPacketTest : public InterruptReaderTest, public ::testing::WithParamInterface<PacketCase> {};

TEST_P(StatusPacketTest, EachPacketReachesTheDeviceOnceWithItsLength) {
  const PacketCase& c = GetParam();
  camera_->Configure([&](simcam::CameraFaults& f, simcam::ControlTable&, simcam::RegisterFile&, simcam::CameraOptions&) {
    for (uint32_t n : c.cutTo) f.shortStatusPackets.push_back(n);
  });
  ASSERT_EQ(STATUS_SUCCESS, reader_->Start());
  for (const auto& p : c.packets) camera_->QueueStatusPacket(p);
  Settle();
  const auto seen = device_->Packets();
  ASSERT_EQ(c.lengths.size(), seen.size());
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(c.lengths[i], seen[i].size()) << i;
    EXPECT_TRUE(std::equal(seen[i].begin(), seen[i].end(), c.packets[i].begin())) << i;
  }
  EXPECT_EQ(c.stillTriggers, camera_->Snapshot().stillTriggers);
  EXPECT_TRUE(reader_->IsRunning());
}

const std::vector<UCHAR> kRelease = {UVC_STATUS_TYPE_STREAMING, 1, UVC_VS_EVENT_BUTTON_PRESS, 0};

INSTANTIATE_TEST_SUITE_P(
    Packets, StatusPacketTest,
    ::testing::Values(PacketCase{"PressThenRelease", {kPress, kRelease}, {}, {4, 4}, 1},
                      PacketCase{"TwoPresses", {kPress, kPress}, {}, {4, 4}, 2},
                      // A zero-length packet after a press must not be read as the press again.
                      PacketCase{"ZeroLengthAfterPress", {kPress, kPress}, {4, 0}, {4, 0}, 1},
                      PacketCase{"ShortPress", {kPress}, {3}, {3}, 0},
                      PacketCase{"ControlChange", {{UVC_STATUS_TYPE_CONTROL, 2, 0, 2, 0, 0x10, 0}}, {}, {7}, 0}),
    [](const ::testing::TestParamInfo<PacketCase>& info) { return std::string(info.param.name); });

struct TransferFaultCase {
  const char* name;
  simcam::TransferFaultKind kind;
  NTSTATUS irpStatus;
  USBD_STATUS urbStatus;
};

class TransferFaultTest : public InterruptReaderTest, public ::testing::WithParamInterface<TransferFaultCase> {};

TEST_P(TransferFaultTest, AFailedTransferStopsTheReaderUntilTheNextStart) {
  const TransferFaultCase& c = GetParam();
  simcam::TransferFault fault;
  fault.kind = c.kind;
  fault.irpStatus = c.irpStatus;
  fault.urbStatus = c.urbStatus;
  camera_->ArmTransferFault(USB_ENDPOINT_TYPE_INTERRUPT, fault);
  ASSERT_EQ(STATUS_SUCCESS, reader_->Start());
  Settle();
  EXPECT_FALSE(reader_->IsRunning());
  EXPECT_EQ(0u, ReaderBlocks());
  EXPECT_EQ(0u, port_->PendingRequests());
  camera_->PressButton();
  Settle();
  EXPECT_TRUE(device_->Packets().empty());

  // The press waited in the camera; the new start reads it and the next one.
  ASSERT_EQ(STATUS_SUCCESS, reader_->Start());
  camera_->PressButton();
  Settle();
  EXPECT_EQ(2u, device_->Packets().size());
  EXPECT_EQ(2u, camera_->Snapshot().stillTriggers);
  EXPECT_TRUE(reader_->IsRunning());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TransferFaultTest,
    ::testing::Values(
        TransferFaultCase{"IrpFailure", simcam::TransferFaultKind::kIrpFailure, STATUS_UNSUCCESSFUL,
                          USBD_STATUS_DEV_NOT_RESPONDING},
        TransferFaultCase{"UrbErrorUnderIrpSuccess", simcam::TransferFaultKind::kUrbErrorIrpSuccess, STATUS_SUCCESS,
                          USBD_STATUS_XACT_ERROR},
        TransferFaultCase{"Cancelled", simcam::TransferFaultKind::kIrpFailure, STATUS_CANCELLED,
                          USBD_STATUS_CANCELED}),
    [](const ::testing::TestParamInfo<TransferFaultCase>& info) { return std::string(info.param.name); });

TEST_F(InterruptReaderTest, StartingARunningReaderKeepsOneTransfer) {
  ASSERT_EQ(STATUS_SUCCESS, reader_->Start());
  ASSERT_EQ(STATUS_SUCCESS, reader_->Start());
  EXPECT_EQ(1u, port_->PendingRequests());
  EXPECT_EQ(1u, LiveBlocks(kTagInterruptCopy));
}

TEST_F(InterruptReaderTest, CancelFreesThePendingTransferBeforeReturning) {
  ASSERT_EQ(STATUS_SUCCESS, reader_->Start());
  reader_->CancelInterruptIrp();
  EXPECT_FALSE(reader_->IsRunning());
  EXPECT_EQ(0u, ReaderBlocks());
  EXPECT_EQ(0u, port_->PendingRequests());
}

// The cancel lands while the completion has the IRP back and before it sends it again, when
// re-arming the IRP wipes the cancel. The reader must still end.
TEST_F(InterruptReaderTest, CancelBetweenCompletionAndResubmissionIsNotLost) {
  PRKEVENT go = static_cast<PRKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), 'tseT'));
  KeInitializeEvent(go, NotificationEvent, FALSE);
  std::atomic<bool> cancelling{false};
  InterruptPipeReader* reader = reader_;
  kvz::kernel::KernelThread canceller("canceller", [&] {
    KeWaitForSingleObject(go, Executive, KernelMode, FALSE, nullptr);
    cancelling = true;
    reader->CancelInterruptIrp();
  });
  device_->hook = [&] {
    KeSetEvent(go, IO_NO_INCREMENT, FALSE);
    // The completion holds the IRP while the other thread cancels it.
    while (!cancelling) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  };
  ASSERT_EQ(STATUS_SUCCESS, reader_->Start());
  camera_->PressButton();
  canceller.Join();
  device_->hook = nullptr;
  Settle();
  EXPECT_FALSE(reader_->IsRunning());
  EXPECT_EQ(0u, ReaderBlocks());
  EXPECT_EQ(0u, port_->PendingRequests());
  ExFreePool(go);
}

// The bus never completes with STATUS_PENDING (the verifier forbids it), so the completion is
// called directly: such a transfer is not a packet.
TEST_F(InterruptReaderTest, CompletionWithPendingStatusIsNoPacket) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  irp->IoStatus.Status = STATUS_PENDING;
  URB urb = {};
  UCHAR data[4] = {kPress[0], kPress[1], kPress[2], kPress[3]};
  urb.UrbBulkOrInterruptTransfer.TransferBuffer = data;
  urb.UrbBulkOrInterruptTransfer.TransferBufferLength = sizeof(data);
  TransferSlot slot = {};
  slot.irp = irp;
  slot.urb = &urb;
  slot.data = data;
  slot.owner = reader_;
  EXPECT_EQ(STATUS_MORE_PROCESSING_REQUIRED, reader_->OnTransferComplete(&slot));
  EXPECT_TRUE(device_->Packets().empty());
  EXPECT_FALSE(reader_->IsRunning());
  IoFreeIrp(irp);
}

enum class RemovalStage { kBeforeStart, kWhilePending, kAfterTransactionErrors, kAfterAPress };

class RemovalTest : public InterruptReaderTest, public ::testing::WithParamInterface<RemovalStage> {};

TEST_P(RemovalTest, SurpriseRemovalLeavesTheReaderStoppedAndEmpty) {
  const RemovalStage stage = GetParam();
  if (stage == RemovalStage::kBeforeStart) {
    port_->Unplug();
    device_->MarkRemoved();
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, reader_->Start());
  } else {
    ASSERT_EQ(STATUS_SUCCESS, reader_->Start());
    if (stage == RemovalStage::kAfterAPress) {
      camera_->PressButton();
      Settle();
    }
    if (stage == RemovalStage::kAfterTransactionErrors) {
      port_->Remove(STATUS_NO_SUCH_DEVICE, 3);
      camera_->PressButton();
    } else {
      port_->Unplug();
    }
    Settle();
    device_->MarkRemoved();
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, reader_->Start());
  }
  EXPECT_FALSE(reader_->IsRunning());
  EXPECT_EQ(0u, ReaderBlocks());
  EXPECT_EQ(stage == RemovalStage::kAfterAPress ? 1u : 0u, device_->Packets().size());
}

INSTANTIATE_TEST_SUITE_P(Stages, RemovalTest,
                         ::testing::Values(RemovalStage::kBeforeStart, RemovalStage::kWhilePending,
                                           RemovalStage::kAfterTransactionErrors, RemovalStage::kAfterAPress));

struct AllocationCase {
  const char* name;
  ULONG tag;
};

class AllocationFailureTest : public InterruptReaderTest, public ::testing::WithParamInterface<AllocationCase> {};

TEST_P(AllocationFailureTest, FailedAllocationStartsNothingAndKeepsNothing) {
  kvz::kernel::FailNthAllocation(1, GetParam().tag);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, reader_->Start());
  kvz::kernel::ClearPoolFaults();
  EXPECT_FALSE(reader_->IsRunning());
  EXPECT_EQ(0u, ReaderBlocks());
  EXPECT_EQ(0u, port_->PendingRequests());
  EXPECT_EQ(STATUS_SUCCESS, reader_->Start());
}

INSTANTIATE_TEST_SUITE_P(Blocks, AllocationFailureTest,
                         ::testing::Values(AllocationCase{"Copy", kTagInterruptCopy},
                                           AllocationCase{"Data", kTagInterruptData},
                                           AllocationCase{"Urb", kTagInterruptUrb}),
                         [](const ::testing::TestParamInfo<AllocationCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(InterruptReaderTest, StartRefusesAPipeThatIsNotAnInterruptPipeAndDispatchLevel) {
  InterruptPipeReader* streaming = MakeReader(Device()->streamingInterface);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, streaming->Start());
  PoolDelete(streaming);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  const NTSTATUS status = reader_->Start();
  KeLowerIrql(old);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, status);
  EXPECT_EQ(0u, ReaderBlocks());
}

}  // namespace
}  // namespace kvz::usbtest
