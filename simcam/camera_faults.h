// Faults a test can arm on the camera: per request, per transfer, per frame.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "ntstatus.h"
#include "usb.h"

namespace kvz::simcam {

// Which default-pipe requests a fault applies to; -1 matches anything.
struct RequestMatch {
  int bmRequestType = -1;
  int bRequest = -1;
  int wValue = -1;
  int wIndex = -1;
};

enum class RequestFaultKind {
  kStall,               // STALL handshake: USBD_STATUS_STALL_PID under STATUS_UNSUCCESSFUL
  kHold,                // never completes until cancelled
  kPowerStateInvalid,   // STATUS_POWER_STATE_INVALID (0xC00002D3)
  kShortAnswer,         // an IN request answers only shortLength bytes
  kRemove,              // the camera drops off the bus
  kUrbErrorIrpSuccess,  // the URB reports urbStatus while the IRP succeeds
  kFail,                // irpStatus and urbStatus
};

enum class RequestTarget { kControl, kSetConfiguration, kSetInterface };

struct RequestFault {
  RequestTarget target = RequestTarget::kControl;
  RequestMatch match;
  RequestFaultKind kind = RequestFaultKind::kStall;
  uint32_t count = 1;  // how many matching requests it hits; 0 = every one
  uint32_t shortLength = 0;
  NTSTATUS irpStatus = STATUS_UNSUCCESSFUL;
  USBD_STATUS urbStatus = USBD_STATUS_STALL_PID;
};

enum class HeaderFault {
  kNone,
  kBadLength,    // bHeaderLength other than 12
  kNoEndOfHeader,
  kNoSourceClock,
  kNoPresentationTime,
  kError,        // ERR set
  kStillMidFrame,  // STI on a packet in the middle of a video frame
};

struct FrameFault {
  HeaderFault header = HeaderFault::kNone;
  bool lostEndOfFrame = false;
  int32_t sizeDelta = 0;          // bytes added to (positive) or cut from (negative) the frame
  uint32_t payloadExcess = 0;     // bulk: each payload this many bytes larger than announced
};

enum class TransferFaultKind {
  kIrpFailure,          // completes at once with irpStatus / urbStatus
  kUrbErrorIrpSuccess,  // the URB reports urbStatus, the IRP succeeds
  kPacketStatus,        // isochronous: packet packetIndex reports urbStatus and no data
  kShort,               // bulk: the payload cut to shortLength bytes
  kStallThenHalt,       // bulk: STALL, then ENDPOINT_HALTED until the pipe is reset
};

struct TransferFault {
  TransferFaultKind kind = TransferFaultKind::kIrpFailure;
  NTSTATUS irpStatus = STATUS_UNSUCCESSFUL;
  USBD_STATUS urbStatus = USBD_STATUS_DEV_NOT_RESPONDING;
  uint32_t packetIndex = 0;
  uint32_t shortLength = 0;
};

struct CameraFaults {
  std::vector<RequestFault> requests;
  std::map<uint64_t, FrameFault> frames;        // by frame number (0 = the first frame sent)
  std::deque<uint32_t> injectedPackets;         // isochronous packets of these lengths (0-11) come next
  std::deque<TransferFault> isochTransfers;     // applied to the next transfers, in order
  std::deque<TransferFault> bulkTransfers;
  std::deque<TransferFault> interruptTransfers;
  std::deque<uint32_t> shortStatusPackets;      // the next status packets cut to these lengths
  bool holdIsochUntilAbort = false;             // every isochronous transfer stays until the pipe is aborted
  bool holdBulkUntilAbort = false;
  uint64_t removeAfterFrames = 0;               // surprise removal once this many frames were sent (0: never)
};

}  // namespace kvz::simcam
