// Reading a pin's data ranges and formats as an application does: the video-info ranges with
// their sizes and frame intervals, and the format a pin is created with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ks_client.h"

namespace kvz::capture {

using ksclient::Bytes;

struct VideoRange {
  size_t index = 0;       // position in the pin's list
  uint32_t subtype = 0;   // first word of the subtype GUID
  GUID subtypeGuid{};
  bool videoInfo2 = false;
  int32_t width = 0;
  int32_t height = 0;
  uint16_t bitCount = 0;
  uint32_t sizeImage = 0;
  int64_t minInterval = 0;  // 100-ns units
  int64_t maxInterval = 0;
  int64_t defaultInterval = 0;
  Bytes raw;
};

// The KS_DATARANGE_VIDEO and KS_DATARANGE_VIDEO2 ranges of a pin's list; others are skipped.
std::vector<VideoRange> ParseVideoRanges(const std::vector<Bytes>& ranges);

struct VideoFormat {
  uint32_t subtype = 0;
  int32_t width = 0;
  int32_t height = 0;  // as biHeight says (RGB24 bottom-up: positive)
  uint16_t bitCount = 0;
  uint32_t sizeImage = 0;
  int64_t interval = 0;
};

// A KS_DATAFORMAT_VIDEOINFOHEADER; false when the bytes are not one.
bool ParseVideoFormat(const Bytes& format, VideoFormat* out);
// Writes AvgTimePerFrame into a KS_DATAFORMAT_VIDEOINFOHEADER.
bool SetFormatInterval(Bytes* format, int64_t interval);

// "YUY2", "MJPG", "RGB24", or the four characters of an unknown code.
std::string SubtypeName(uint32_t subtype);
// A subtype as the listing names it: "RGB24", the FourCC of a FourCC-based GUID, else the whole
// GUID as lsusb prints a format's guidFormat ("{12345678-1234-5678-9abc-def012345678}").
std::string FormatName(const GUID& subtype);
// The GUID text of 16 descriptor bytes (first three fields little-endian), as lsusb prints it.
std::string GuidText(const uint8_t* bytes);
// The FourCC of a FourCC-based GUID's 16 descriptor bytes, else its GUID text.
std::string DescriptorFormatName(const uint8_t* bytes);
// The inverse for the names the tool accepts; 0 for any other.
uint32_t SubtypeByName(const std::string& name);

constexpr int64_t kHundredNsPerSecond = 10000000;

}  // namespace kvz::capture
