// The header fields the capture path reads without decoding (SOF0's size, DRI's interval): found
// by the first marker, each field read only when it lies inside the data, at the exact end and
// one byte short of it.
#include "jpeg/jpeg_header.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace kvz::jpegtest {
namespace {

using Bytes = std::vector<uint8_t>;

// A heap copy of exactly the bytes, so a read past them is a sanitizer's finding.
std::unique_ptr<uint8_t[]> Exact(const Bytes& bytes) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size()]);
  std::copy(bytes.begin(), bytes.end(), copy.get());
  return copy;
}

TEST(JpegHeaderFields, ReadOnlyInsideTheData) {
  // SOF0: FF C0, length, precision, height 0x01E0, width 0x0280.
  const Bytes sof = {0x12, 0xFF, 0xC0, 0x00, 0x11, 0x08, 0x01, 0xE0, 0x02, 0x80};
  // DRI: FF DD, length 4, interval 0x0123.
  const Bytes dri = {0xFF, 0xD8, 0xFF, 0xDD, 0x00, 0x04, 0x01, 0x23};
  const struct {
    const char* name;
    Bytes data;
    uint32_t width, height;
    jpeg::JpegHeaderField restart;
    uint32_t interval;
  } cases[] = {
      {"SOF0 ending at the last byte", sof, 640, 480, jpeg::kFieldAbsent, 0},
      {"SOF0 one byte short", Bytes(sof.begin(), sof.end() - 1), 0, 0, jpeg::kFieldAbsent, 0},
      {"DRI ending at the last byte", dri, 0, 0, jpeg::kFieldRead, 0x0123},
      {"DRI one byte short", Bytes(dri.begin(), dri.end() - 1), 0, 0, jpeg::kFieldCut, 0},
      {"the first marker counts", {0xFF, 0xDD, 0x00, 0x04, 0x00, 0x07, 0xFF, 0xDD, 0x00, 0x04, 0x00, 0x09}, 0, 0,
       jpeg::kFieldRead, 7},
      {"a lone marker byte", {0xFF}, 0, 0, jpeg::kFieldAbsent, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto data = Exact(c.data);
    const uint32_t length = static_cast<uint32_t>(c.data.size());
    uint32_t width = 1, height = 1, interval = 0;
    jpeg::FindBaselineFrameSize(data.get(), length, &width, &height);
    EXPECT_EQ(c.width, width);
    EXPECT_EQ(c.height, height);
    EXPECT_EQ(c.restart, jpeg::FindRestartInterval(data.get(), length, &interval));
    EXPECT_EQ(c.interval, interval);
  }
}

}  // namespace
}  // namespace kvz::jpegtest
