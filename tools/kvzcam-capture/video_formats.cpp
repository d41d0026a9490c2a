#include "video_formats.h"

#include <cstdio>
#include <cstring>

#include "ksmedia.h"

namespace kvz::capture {

namespace {

constexpr uint32_t kRgb24 = 0xE436EB7D;
constexpr uint32_t kYuy2 = 0x32595559;
constexpr uint32_t kMjpg = 0x47504A4D;

template <class T>
bool Read(const Bytes& bytes, T* out) {
  if (bytes.size() < sizeof(T)) return false;
  std::memcpy(out, bytes.data(), sizeof(T));
  return true;
}

template <class Range>
VideoRange FromRange(const Range& r, size_t index, const Bytes& raw, bool videoInfo2) {
  VideoRange v;
  v.index = index;
  v.subtype = r.DataRange.SubFormat.Data1;
  v.subtypeGuid = r.DataRange.SubFormat;
  v.videoInfo2 = videoInfo2;
  v.width = r.VideoInfoHeader.bmiHeader.biWidth;
  v.height = r.VideoInfoHeader.bmiHeader.biHeight;
  v.bitCount = r.VideoInfoHeader.bmiHeader.biBitCount;
  v.sizeImage = r.VideoInfoHeader.bmiHeader.biSizeImage;
  v.minInterval = r.ConfigCaps.MinFrameInterval;
  v.maxInterval = r.ConfigCaps.MaxFrameInterval;
  v.defaultInterval = r.VideoInfoHeader.AvgTimePerFrame;
  v.raw = raw;
  return v;
}

}  // namespace

std::vector<VideoRange> ParseVideoRanges(const std::vector<Bytes>& ranges) {
  std::vector<VideoRange> out;
  for (size_t i = 0; i < ranges.size(); ++i) {
    KSDATARANGE head;
    if (!Read(ranges[i], &head)) continue;
    if (head.Specifier == KSDATAFORMAT_SPECIFIER_VIDEOINFO) {
      KS_DATARANGE_VIDEO r;
      if (Read(ranges[i], &r)) out.push_back(FromRange(r, i, ranges[i], false));
    } else if (head.Specifier == KSDATAFORMAT_SPECIFIER_VIDEOINFO2) {
      KS_DATARANGE_VIDEO2 r;
      if (Read(ranges[i], &r)) out.push_back(FromRange(r, i, ranges[i], true));
    }
  }
  return out;
}

bool ParseVideoFormat(const Bytes& format, VideoFormat* out) {
  KS_DATAFORMAT_VIDEOINFOHEADER f;
  if (!Read(format, &f) || f.DataFormat.Specifier != KSDATAFORMAT_SPECIFIER_VIDEOINFO) return false;
  out->subtype = f.DataFormat.SubFormat.Data1;
  out->width = f.VideoInfoHeader.bmiHeader.biWidth;
  out->height = f.VideoInfoHeader.bmiHeader.biHeight;
  out->bitCount = f.VideoInfoHeader.bmiHeader.biBitCount;
  out->sizeImage = f.VideoInfoHeader.bmiHeader.biSizeImage;
  out->interval = f.VideoInfoHeader.AvgTimePerFrame;
  return true;
}

bool SetFormatInterval(Bytes* format, int64_t interval) {
  KS_DATAFORMAT_VIDEOINFOHEADER f;
  if (!Read(*format, &f)) return false;
  f.VideoInfoHeader.AvgTimePerFrame = interval;
  std::memcpy(format->data(), &f, sizeof(f));
  return true;
}

std::string SubtypeName(uint32_t subtype) {
  if (subtype == kRgb24) return "RGB24";
  std::string name(4, ' ');
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((subtype >> (8 * i)) & 0xFF);
    name[i] = (c >= 32 && c < 127) ? c : '.';
  }
  return name;
}

std::string GuidText(const uint8_t* b) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x}", b[3], b[2],
                b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

std::string DescriptorFormatName(const uint8_t* b) {
  // xxxxxxxx-0000-0010-8000-00AA00389B71: the FourCC in the first four bytes.
  static const uint8_t kFourCcBase[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  bool fourCc = std::memcmp(b + 4, kFourCcBase, sizeof(kFourCcBase)) == 0;
  for (int i = 0; i < 4 && fourCc; ++i) fourCc = (b[i] >= 32 && b[i] < 127);
  if (!fourCc) return GuidText(b);
  std::string name(reinterpret_cast<const char*>(b), 4);
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name;
}

std::string FormatName(const GUID& subtype) {
  if (subtype.Data1 == kRgb24) return "RGB24";
  uint8_t bytes[16];
  std::memcpy(bytes, &subtype.Data1, 4);
  std::memcpy(bytes + 4, &subtype.Data2, 2);
  std::memcpy(bytes + 6, &subtype.Data3, 2);
  std::memcpy(bytes + 8, subtype.Data4, 8);
  return DescriptorFormatName(bytes);
}

uint32_t SubtypeByName(const std::string& name) {
  if (name == "YUY2" || name == "YUYV") return kYuy2;
  if (name == "RGB24" || name == "RGB3" || name == "BGR3") return kRgb24;
  if (name == "MJPG") return kMjpg;
  return 0;
}

}  // namespace kvz::capture
