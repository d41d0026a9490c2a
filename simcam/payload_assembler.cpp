#include "simcam/payload_assembler.h"

#include "uvc.h"

namespace kvz::simcam {

void PayloadAssembler::Finish(bool byEof, uint64_t time) {
  current_.endOfFrame = byEof;
  current_.time = time;
  frames_.push_back(std::move(current_));
  current_ = AssembledFrame{};
  inFrame_ = false;
}

void PayloadAssembler::Add(const uint8_t* payload, size_t length, uint64_t time) {
  if (length == 0) {
    ++empty_;
    return;
  }
  const uint8_t headerLength = payload[0];
  const uint8_t info = length >= 2 ? payload[1] : 0;
  const uint8_t needed = UVC_STREAM_EOH | UVC_STREAM_SCR | UVC_STREAM_PTS;
  if (length < 12 || headerLength != 12 || (info & needed) != needed) {
    ++badHeaders_;
    if (inFrame_) current_.error = true;
    return;
  }
  const bool fid = info & UVC_STREAM_FID;
  if (inFrame_ && fid != fid_) Finish(false, time);
  if (!inFrame_) {
    inFrame_ = true;
    fid_ = fid;
    current_.presentationTime = static_cast<uint32_t>(payload[2] | payload[3] << 8 | payload[4] << 16) |
                                static_cast<uint32_t>(payload[5]) << 24;
  }
  if (info & UVC_STREAM_STI) current_.still = true;
  if (info & UVC_STREAM_ERR) current_.error = true;
  if (length == 12) ++headerOnly_;
  current_.data.insert(current_.data.end(), payload + 12, payload + length);
  if (info & UVC_STREAM_EOF) Finish(true, time);
}

}  // namespace kvz::simcam
