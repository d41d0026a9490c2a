// The camera's own video formats, read from its configuration descriptor the way lsusb shows them
// beside the driver, and which of them the driver does not deliver and why: the driver offers a
// YUY2 format (as YUY2 and RGB24) and an MJPEG format (as MJPG) of the first streaming
// interface, and stops reading that interface's formats at the first one of any other kind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvz::capture {

struct CameraFormat {
  std::string name;  // the GUID's four characters ("I420", "H264"), "MJPG", or the kind
  std::string kind;  // "uncompressed", "MJPEG", "frame-based", ...
  std::vector<std::pair<int, int>> sizes;
  std::vector<std::pair<int, int>> continuousSizes;  // those whose frame lists a continuous interval range
  std::string skipped;  // why the driver does not deliver it; empty when it does
};

// The formats of the configuration's first video streaming interface, in descriptor order.
std::vector<CameraFormat> ReadCameraFormats(const std::vector<uint8_t>& configuration);

// The formats the driver does not deliver, a heading and one line each ("\t'NV12' uncompressed
// 640x480 (not YUY2)"); empty when it delivers them all.
std::string SkippedFormatsNote(const std::vector<CameraFormat>& formats);

// Why a camera's filter has no capture pin: what the driver delivers and every format the camera
// offers, with the reason each is not delivered.
std::string NoCapturePinMessage(const std::vector<CameraFormat>& formats);

}  // namespace kvz::capture
