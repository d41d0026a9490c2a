#include "camera_formats.h"

#include <cstdio>

#include "video_formats.h"

namespace kvz::capture {

namespace {

constexpr uint8_t kInterface = 0x04;
constexpr uint8_t kCsInterface = 0x24;
constexpr uint8_t kVideoClass = 0x0E;
constexpr uint8_t kVideoStreaming = 0x02;

// Video streaming descriptor subtypes.
constexpr uint8_t kFormatUncompressed = 0x04;
constexpr uint8_t kFrameUncompressed = 0x05;
constexpr uint8_t kFormatMjpeg = 0x06;
constexpr uint8_t kFrameMjpeg = 0x07;
constexpr uint8_t kFormatFrameBased = 0x10;
constexpr uint8_t kFrameFrameBased = 0x11;
constexpr uint8_t kFormatStreamBased = 0x12;

constexpr char kDelivered[] = "the driver delivers YUY2, RGB24 and MJPG";

std::string KindOf(uint8_t subtype) {
  switch (subtype) {
    case kFormatUncompressed: return "uncompressed";
    case kFormatMjpeg: return "MJPEG";
    case 0x0A: return "MPEG-2 TS";
    case 0x0C: return "DV";
    case kFormatFrameBased: return "frame-based";
    case kFormatStreamBased: return "stream-based";
    case 0x13: return "H.264";
    case 0x15: return "H.264 simulcast";
    case 0x16: return "VP8";
    default: {
      char text[32];
      std::snprintf(text, sizeof(text), "subtype 0x%02X", subtype);
      return text;
    }
  }
}

bool IsFormat(uint8_t subtype) {
  return subtype == kFormatUncompressed || subtype == kFormatMjpeg || subtype == 0x0A || subtype == 0x0C ||
         subtype == kFormatFrameBased || subtype == kFormatStreamBased || subtype == 0x13 || subtype == 0x15 ||
         subtype == 0x16;
}

bool IsSizedFrame(uint8_t subtype) {
  return subtype == kFrameUncompressed || subtype == kFrameMjpeg || subtype == kFrameFrameBased;
}

// One line per format ("\t'I420' uncompressed 640x480, 320x240 (not YUY2)\n"), the skipped ones
// only unless every format is wanted.
std::string FormatLines(const std::vector<CameraFormat>& formats, bool skippedOnly) {
  std::string text;
  for (const CameraFormat& f : formats) {
    if (skippedOnly && f.skipped.empty()) continue;
    text += "\t'" + f.name + "' " + f.kind;
    for (size_t i = 0; i < f.sizes.size(); ++i)
      text += (i ? ", " : " ") + std::to_string(f.sizes[i].first) + "x" + std::to_string(f.sizes[i].second);
    if (!f.skipped.empty()) text += " (" + f.skipped + ")";
    text += "\n";
  }
  return text;
}

}  // namespace

std::vector<CameraFormat> ReadCameraFormats(const std::vector<uint8_t>& configuration) {
  std::vector<CameraFormat> formats;
  int streaming = -1;  // the first video streaming interface's number
  bool inStreaming = false;
  // The driver reads formats up to the first one that is neither uncompressed nor MJPEG.
  std::string stoppedAt;
  for (size_t at = 0; at + 2 < configuration.size() && configuration[at] >= 2;
       at += configuration[at]) {
    const uint8_t* d = configuration.data() + at;
    const uint8_t length = d[0];
    if (at + length > configuration.size()) break;
    if (d[1] == kInterface && length >= 9) {
      if (streaming < 0 && d[5] == kVideoClass && d[6] == kVideoStreaming) streaming = d[2];
      inStreaming = streaming >= 0 && d[2] == streaming;
      continue;
    }
    if (!inStreaming || d[1] != kCsInterface || length < 3) continue;
    if (IsFormat(d[2])) {
      CameraFormat f;
      f.kind = KindOf(d[2]);
      const bool guid = d[2] == kFormatUncompressed || d[2] == kFormatFrameBased || d[2] == kFormatStreamBased;
      f.name = d[2] == kFormatMjpeg ? "MJPG" : guid && length >= 21 ? DescriptorFormatName(d + 5) : f.kind;
      const bool yuy2 = d[2] == kFormatUncompressed && length >= 22 && f.name == "YUY2" && d[21] == 16;
      if (!stoppedAt.empty()) {
        f.skipped = "after the " + stoppedAt + " format";
      } else if (d[2] == kFormatUncompressed && !yuy2) {
        f.skipped = "not YUY2";
      } else if (d[2] != kFormatUncompressed && d[2] != kFormatMjpeg) {
        f.skipped = "the driver reads no format from this one on";
        stoppedAt = f.kind;
      }
      formats.push_back(f);
    } else if (IsSizedFrame(d[2]) && length >= 9 && !formats.empty()) {
      formats.back().sizes.emplace_back(d[5] | d[6] << 8, d[7] | d[8] << 8);
      // bFrameIntervalType 0: a continuous range (uncompressed and MJPEG frames).
      if (d[2] != kFrameFrameBased && length >= 26 && d[25] == 0)
        formats.back().continuousSizes.emplace_back(d[5] | d[6] << 8, d[7] | d[8] << 8);
    }
  }
  return formats;
}

std::string NoCapturePinMessage(const std::vector<CameraFormat>& formats) {
  if (formats.empty()) return std::string("the filter has no capture pin: the camera offers no video format (") +
                              kDelivered + ")";
  std::string lines = FormatLines(formats, false);
  lines.pop_back();
  return std::string("the filter has no capture pin: ") + kDelivered +
         " from a camera's YUY2 and MJPEG formats, and the camera offers\n" + lines;
}

std::string SkippedFormatsNote(const std::vector<CameraFormat>& formats) {
  const std::string lines = FormatLines(formats, true);
  return lines.empty() ? lines : std::string("Camera formats not offered (") + kDelivered + "):\n" + lines;
}

}  // namespace kvz::capture
