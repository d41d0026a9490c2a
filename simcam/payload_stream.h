// Splits the camera's frames into UVC payloads: frames due at the committed interval on the kernel
// clock, FID toggling per frame, EOF on the last payload, PTS and SCR in every header, nothing (or
// header-only payloads) while no data is due, and the armed frame faults and payload attacks.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "simcam/camera_faults.h"
#include "simcam/probe_commit.h"

namespace kvz::simcam {

// What one bulk endpoint gets of the bus, in bytes per second: 19 packets of 64 bytes per 1 ms
// frame at full speed, about 40 MB/s at high speed, about 400 MB/s at SuperSpeed.
uint64_t BulkBytesPerSecond(usb::Speed speed);

class PayloadStream {
 public:
  // The bytes of frame frameNumber in the given selection.
  using FrameSource = std::function<std::vector<uint8_t>(const StreamSelection&, uint64_t frameNumber)>;

  PayloadStream(FrameSource source, uint32_t clockFrequency, usb::Speed speed)
      : source_(std::move(source)), clock_(clockFrequency), bulkBytesPerSecond_(BulkBytesPerSecond(speed)) {}

  void Start(const StreamSelection& video, uint64_t now);
  void Stop();
  bool Running() const { return running_; }
  // The next frame that begins is a still of this selection, with STI in every header.
  void TriggerStill(const StreamSelection& still) { pendingStill_ = still; }
  uint64_t FramesSent() const { return framesSent_; }
  uint64_t FramesBegun() const { return frameNumber_; }
  // Whether the payload just made is lost on the bus (FrameFault::lostPayload, lostLastPayload);
  // clears the mark.
  bool TakeLost() { return std::exchange(lost_, false); }

  // The isochronous payload of the (micro)frame at time, at most capacity bytes; the result is its
  // length (0: nothing due).
  uint32_t NextIsochPacket(uint64_t time, uint64_t busFrame, uint8_t* buffer, uint32_t capacity, CameraFaults& faults);
  // A bulk payload when one is due at now (returns true), else *readyAt says when the next is due.
  bool NextBulkPayload(uint64_t now, uint64_t busFrame, CameraFaults& faults, std::vector<uint8_t>* payload,
                       uint64_t* readyAt);
  // A whole frame of the given selection as bulk payloads (still method 3), sent at once.
  std::vector<std::vector<uint8_t>> StillPayloads(const StreamSelection& still, uint64_t now, CameraFaults& faults);

 private:
  bool BeginFrameIfDue(uint64_t time, CameraFaults& faults);
  uint64_t NextInterval(const PayloadAttacks& attacks);
  uint32_t EmitPayload(uint64_t time, uint64_t busFrame, uint8_t* buffer, uint32_t room, uint32_t announced,
                       const PayloadAttacks& attacks);
  uint32_t IdlePayload(uint64_t time, uint64_t busFrame, uint8_t* buffer, uint32_t room, const PayloadAttacks& attacks);
  uint32_t WriteHeader(uint8_t* buffer, uint32_t room, uint8_t info, uint64_t time, uint64_t busFrame,
                       const PayloadAttacks& attacks);
  uint32_t Random();

  FrameSource source_;
  uint32_t clock_;
  uint64_t bulkBytesPerSecond_;
  bool running_ = false;
  StreamSelection video_;
  StreamSelection pendingStill_;
  uint64_t nextDue_ = 0;
  uint64_t busyUntil_ = 0;
  uint32_t random_ = 1;

  // The frame being sent.
  bool inFrame_ = false;
  std::vector<uint8_t> data_;
  size_t offset_ = 0;
  bool still_ = false;
  bool fid_ = false;
  uint32_t pts_ = 0;
  uint32_t packetInFrame_ = 0;
  bool lost_ = false;
  FrameFault fault_;
  uint64_t frameNumber_ = 0;  // frames begun
  uint64_t framesSent_ = 0;   // frames whose last payload went out
};

}  // namespace kvz::simcam
