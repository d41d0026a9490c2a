// The capture stream's conversion on its own, with a host standing in for the capture pin: the
// work buffers a YUY2 width request needs, and the MJPEG pass-through decision.
#include "postproc/convert/frame_converter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "postproc/base/frame_format.h"
#include "simcam/mjpeg_encoder.h"
#include "simcam/test_pattern.h"
#include "support/guarded_buffer.h"

namespace kvz {
namespace {

class FakeHost final : public FrameConverterHost {
 public:
  explicit FakeHost(size_t room) : buffer(room) {}
  bool AcceptFrame() override { return true; }
  bool LockClientBuffer(PUCHAR* data, ULONG* room) override {
    *data = buffer.data();
    *room = static_cast<ULONG>(buffer.size());
    return true;
  }
  ULONG WidthRequest() override { return width; }
  VOID OfferSourceFrame(const UCHAR*, ULONG, LONG, LONG, LONG) override {}
  PUCHAR ProcessFrame(PUCHAR frame, LONG w, LONG h) override {
    processed.push_back({w, h});
    return frame;
  }
  bool ProcessorNeedsPicture() override { return needs; }
  bool ProcessorKeepsPicture() override { return keeps; }

  test::GuardedBuffer buffer;
  ULONG width = 0;
  bool needs = false;
  bool keeps = true;
  std::vector<std::pair<LONG, LONG>> processed;
};

// The size in the first baseline start of frame, or 0 x 0.
std::pair<int, int> SofSize(const uint8_t* data, size_t length) {
  for (size_t i = 0; i + 8 < length; ++i)
    if (data[i] == 0xFF && data[i + 1] == 0xC0) return {data[i + 7] << 8 | data[i + 8], data[i + 5] << 8 | data[i + 6]};
  return {0, 0};
}

// A width request widens (through RGB24, both work buffers holding the widened picture) or
// narrows each frame; the work buffers the pin prepared for its own size are grown first, for
// the whole widened picture. A buffer grown short is written past its end: the pool's guard
// stops the test at the release, AddressSanitizer at the write.
TEST(FrameConverter, WidthRequestGrowsTheWorkBuffersForTheWholePicture) {
  const struct {
    const char* name;
    ULONG offeredWidth, offeredHeight;  // the camera sends 320 x 240
    ULONG request;
  } cases[] = {
      {"two pixels wider", 320, 240, 322},
      {"twice as wide", 320, 240, 640},
      {"narrower", 320, 240, 160},
      {"added size, wider", 400, 300, 500},
      {"added size, odd height, wider", 320, 239, 480},
  };
  const std::vector<uint8_t> camera = simcam::MakeYuy2Frame(320, 240, 7);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FrameConverter converter;
    ASSERT_EQ(STATUS_SUCCESS, converter.SetFormats({kSubtypeYuy2, 320, 240, kSubtypeYuy2, c.offeredWidth,
                                                    c.offeredHeight, false}));
    ASSERT_EQ(STATUS_SUCCESS, converter.PrepareWorkBuffers());
    const ULONG bytes = c.request * c.offeredHeight * 2;
    FakeHost host(bytes);
    host.width = c.request;
    for (int frame = 0; frame < 2; ++frame) {
      std::vector<uint8_t> copy = camera;
      EXPECT_EQ(bytes, converter.Convert(copy.data(), static_cast<ULONG>(copy.size()), &host));
      ASSERT_EQ(1u + frame, host.processed.size());
      EXPECT_EQ(static_cast<LONG>(c.request), host.processed.back().first);
      EXPECT_EQ(static_cast<LONG>(c.offeredHeight), host.processed.back().second);
      EXPECT_TRUE(host.buffer.GuardsIntact());
    }
    // The camera's first pixel stays the picture's first: nearest resizes and the widening keep
    // the left edge (the widening goes through RGB24 in the video range).
    const int edge = c.request > c.offeredWidth ? std::min(235, std::max(16, static_cast<int>(camera[0]))) : camera[0];
    EXPECT_NEAR(edge, host.buffer[0], 2);
    converter.Release();
  }
}

// MJPEG is passed through as the camera sent it when nothing changes the picture and it is at
// the camera's size, or for a listed camera; decoded when the processor needs the picture or the
// size differs; and encoded again only when the picture was changed or resized.
TEST(FrameConverter, MjpegPassThroughDecision) {
  const struct {
    const char* name;
    ULONG offeredWidth, offeredHeight;
    bool untouched, needs, keeps;
    bool processed;  // decoded and handed to the processor
    bool same;       // the camera's bytes delivered
  } cases[] = {
      {"nothing to do", 320, 240, false, false, true, false, true},
      {"flicker detection only", 320, 240, false, true, true, true, true},
      {"flipped", 320, 240, false, true, false, true, false},
      {"listed camera, flipped", 320, 240, true, true, false, false, true},
      {"added size", 400, 300, false, false, true, true, false},
  };
  const std::vector<uint8_t> camera = simcam::EncodeYuy2AsJpeg(simcam::MakeYuy2Frame(320, 240, 3), 320, 240, 90, false);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FrameConverter converter;
    ASSERT_EQ(STATUS_SUCCESS, converter.SetFormats({kSubtypeMjpg, 320, 240, kSubtypeMjpg, c.offeredWidth,
                                                    c.offeredHeight, c.untouched}));
    ASSERT_EQ(STATUS_SUCCESS, converter.PrepareWorkBuffers());
    // A frame passed through fills a buffer of exactly its length.
    FakeHost host(c.same ? camera.size() : c.offeredWidth * c.offeredHeight * 2);
    host.needs = c.needs;
    host.keeps = c.keeps;
    std::vector<uint8_t> copy = camera;
    const ULONG used = converter.Convert(copy.data(), static_cast<ULONG>(copy.size()), &host);
    ASSERT_NE(0u, used);
    EXPECT_EQ(c.processed ? 1u : 0u, host.processed.size());
    const std::vector<uint8_t> delivered(host.buffer.data(), host.buffer.data() + used);
    EXPECT_EQ(c.same, delivered == camera);
    EXPECT_EQ(std::make_pair(static_cast<int>(c.offeredWidth), static_cast<int>(c.offeredHeight)),
              SofSize(delivered.data(), delivered.size()));
    EXPECT_TRUE(host.buffer.GuardsIntact());
    converter.Release();
  }
}

}  // namespace
}  // namespace kvz
