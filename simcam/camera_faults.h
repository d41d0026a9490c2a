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
  kOversizeAnswer,      // an IN request claims excessLength bytes more than were asked
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
  uint32_t excessLength = 0;
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
  // Payloads lost on the bus, as a damaged packet is: the payload at this index of the frame
  // (-1: none) and the frame's last payload (the one with EOF). Isochronous: the packet reports
  // USBD_STATUS_XACT_ERROR without data; bulk: the read fails with it. The camera goes on.
  int32_t lostPayload = -1;
  bool lostLastPayload = false;
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

// How the FID bit behaves.
enum class FidMode {
  kToggle,              // once per frame, as UVC wants
  kStuck,               // never changes; EOF still ends each frame
  kToggleInsideFrame,   // changes on every payload, also inside a frame
  kStuckLostEof,        // never changes and no EOF: frames cannot be told apart
};

// A rough camera's ways of bending the payload and negotiation rules. All off by default; each is
// switched on per test through SimCamera::Configure.
struct PayloadAttacks {
  int headerLength = -1;          // bHeaderLength of every payload (0-255; -1: 12). 2, 6 and 12 come
                                  // with the matching PTS/SCR bits, other lengths claim both.
  bool headerOnlyIdle = false;    // header-only payloads (FID of the last frame, no EOF) while nothing is due
  FidMode fid = FidMode::kToggle;
  uint16_t mjpegWidth = 0;        // MJPEG pictures encoded at this size, whatever the frame descriptor says
  uint16_t mjpegHeight = 0;
  bool garbageTimestamps = false; // PTS and SCR random
  uint32_t jitterPercent = 0;     // each frame starts up to this share of an interval early or late
  uint32_t burstFrames = 0;       // frames come this many back to back, then a pause as long
  uint32_t badPacketsPerTransfer = 0;  // isochronous: the first N packets of each transfer fail
  USBD_STATUS badPacketStatus = USBD_STATUS_XACT_ERROR;
  bool badPacketsCarryData = false;    // a failed packet still reports its bytes
  bool ignoreNegotiatedPayload = false;  // isochronous packets as large as the alternate setting allows
  bool bulkZeroLengthPackets = false;  // a bulk payload of whole packets ends with a zero-length packet
  bool descriptorsChangeBetweenReads = false;  // every second configuration read is longer, with a junk tail
  // Probe and commit answers (GET_CUR) with these sizes; -1: the negotiated ones.
  int64_t probeMaxVideoFrameSize = -1;
  int64_t probeMaxPayloadTransferSize = -1;
  uint32_t seed = 1;
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
  PayloadAttacks attacks;
};

}  // namespace kvz::simcam
