// The camera's private test: arms the test register, commits a fixed format, keeps two
// isochronous transfers cycling on the streaming pipe (their data is never read) and polls the
// camera's registers until it reports the 16-bit result.
#pragma once
#include <wdm.h>
#include <usb.h>

#include "usb/stream_bandwidth.h"
#include "usb/transfer_slot.h"
#include "usb/urb_irp_source.h"
#include "usb/usb_limits.h"
#include "primitives/test_seam.h"

namespace kvz {

class UsbDevice;

// What the test needs of the camera device besides its USB I/O: the streaming interface's
// alternate setting and the USB 3 flag.
class TestStreamHost : public StreamBandwidth {
 public:
  // Forgets that alternate setting 0 is selected, so the next SelectZeroBandwidth selects it again.
  virtual VOID ClearZeroBandwidthMark() = 0;
  virtual bool IsUsb3() = 0;

 protected:
  ~TestStreamHost() = default;
};

// One look at the camera's test, for this reader's poll and for a test run beside a capture:
// reads the done flag and the progress counter through the register lock. The progress counter
// must move (*lastProgress holds the last one seen) before a done flag counts, since a camera
// may leave the flag set from an earlier test; then the result word is read into *value and
// *finished is set. A failed read of the flag or of the result is returned; a failed read of
// the counter counts as no progress.
NTSTATUS ReadTestProgress(UsbDevice* device, USHORT* lastProgress, bool* finished, USHORT* value);

class TestStreamReader final : public UrbIrpSource {
 public:
  // interfaceInfo is the device's streaming interface record (the one the alternate-setting
  // selection rewrites); it must outlive the reader. slotCount is not used: the test runs two.
  TestStreamReader(PUSBD_INTERFACE_INFORMATION interfaceInfo, ULONG slotCount, ULONG pipeIndex, CCHAR stackSize,
                   UsbDevice* device, TestStreamHost* host);
  ~TestStreamReader();
  TestStreamReader(const TestStreamReader&) = delete;
  TestStreamReader& operator=(const TestStreamReader&) = delete;

  // PASSIVE_LEVEL; one test at a time (the device's busy flag). On success *result holds the
  // camera's 16-bit result. STATUS_TIMEOUT when no transfer completed within 500 ms (result not
  // written), STATUS_IO_TIMEOUT when the camera never reported done (result 0),
  // STATUS_UNSUCCESSFUL after a stop request or removal; a failing register, negotiation or
  // alternate-setting request ends the run with its status.
  NTSTATUS Run(PULONG result);
  // Any IRQL: a running test ends with STATUS_UNSUCCESSFUL.
  VOID RequestStop();
  // PASSIVE_LEVEL: ends the transfers and returns once all of them have been freed.
  VOID Stop();
  // PASSIVE_LEVEL: sends the two transfers; STATUS_INSUFFICIENT_RESOURCES when none could be
  // made, STATUS_INVALID_PARAMETER without a streaming pipe.
  NTSTATUS Start(ULONG payloadSize);

  NTSTATUS OnTransferComplete(TransferSlot* slot) override;

 private:
  template <class T>
  friend struct TestSeam;

  NTSTATUS ArmTestRegister();
  NTSTATUS NegotiateTestFormat();
  NTSTATUS ProbeCommit(PUCHAR block);
  NTSTATUS PollTestResult(PULONG result);
  NTSTATUS AllocTransferSlot(TransferSlot* slot);
  VOID BuildIsochUrb(TransferSlot* slot);
  VOID ResubmitTestTransfer(TransferSlot* slot);
  VOID FreeTransferSlot(TransferSlot* slot);
  bool Stopping() const;
  static VOID NTAPI TestRetryDpc(PKDPC dpc, PVOID context, PVOID, PVOID);

  UsbDevice* device_;
  TestStreamHost* host_;
  ULONG slotCount_;
  ULONG slotBufferSize_;
  ULONG pipeIndex_;
  ULONG packetsPerTransfer_;
  volatile LONG stopFlag_;
  TransferSlot slots_[kTestMaxSlots];
  PUSBD_INTERFACE_INFORMATION interfaceInfo_;
  KEVENT allReturned_;
  KEVENT dataEvent_;
  volatile LONG inFlight_;
  ULONG roundedStride_;
  ULONG stride_;
  ULONG payloadSize_;
  UCHAR windows7OrEarlier_;
  USHORT lastProgress_;
  ULONG result_;
};

}  // namespace kvz
