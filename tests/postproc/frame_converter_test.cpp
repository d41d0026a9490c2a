// The capture stream's conversion on its own, with a host standing in for the capture pin and a
// stand-in for its post-processing: the bytes each pair of camera and offered format delivers,
// the work buffers a YUY2 width request needs, and the MJPEG pass-through decision.
#include "postproc/convert/frame_converter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "postproc/base/frame_format.h"
#include "postproc/processor/frame_processor_pins.h"
#include "simcam/mjpeg_encoder.h"
#include "simcam/test_pattern.h"
#include "support/guarded_buffer.h"

namespace kvz {
namespace {

// What only the capture pin knows: a client buffer always queued, every frame accepted.
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

  test::GuardedBuffer buffer;
  ULONG width = 0;
};

// The pin's post-processing: records what reaches it; inverts the picture when asked, as a flip
// would change it.
class FakeProcessing final : public PinProcessing {
 public:
  NTSTATUS EnsureWorkBuffers(ULONG) override { return STATUS_SUCCESS; }
  PictureUse ReadPictureUse() override { return PictureUse{needs, keeps}; }
  PUCHAR ProcessFrame(PUCHAR frame, LONG w, LONG h) override {
    processed.push_back({w, h});
    if (inverts)
      for (LONG i = 0; i < w * h * 2; ++i) frame[i] = static_cast<UCHAR>(~frame[i]);
    return frame;
  }
  VOID SubmitFrame(const UCHAR*, ULONG length, LONG w, LONG h, LONG layout, LONGLONG) override {
    offers.push_back({layout, static_cast<LONG>(length)});
    offerSizes.push_back({w, h});
  }
  NTSTATUS SetFormats(ULONG, LONG, LONG, LONG, LONG) override { return STATUS_SUCCESS; }
  NTSTATUS RunStillEffects(PUCHAR, ULONG, ULONG, LONG, LONG, LONG, LONG) override { return STATUS_SUCCESS; }
  VOID StartFlickerHold() override {}
  bool IsFlickerRedetectRequested() override { return false; }
  VOID ResetFlicker() override {}

  bool needs = false;
  bool keeps = true;
  bool inverts = false;
  std::vector<std::pair<LONG, LONG>> processed;
  std::vector<std::pair<LONG, LONG>> offers;      // layout, length
  std::vector<std::pair<LONG, LONG>> offerSizes;  // width, height
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
    FakeProcessing processing;
    FrameConverter converter(&processing);
    ASSERT_EQ(STATUS_SUCCESS, converter.SetFormats({kSubtypeYuy2, 320, 240, kSubtypeYuy2, c.offeredWidth,
                                                    c.offeredHeight, false}));
    ASSERT_EQ(STATUS_SUCCESS, converter.PrepareWorkBuffers());
    const ULONG bytes = c.request * c.offeredHeight * 2;
    FakeHost host(bytes);
    host.width = c.request;
    for (int frame = 0; frame < 2; ++frame) {
      std::vector<uint8_t> copy = camera;
      EXPECT_EQ(bytes, converter.Convert(copy.data(), static_cast<ULONG>(copy.size()), frame, &host));
      ASSERT_EQ(1u + frame, processing.processed.size());
      EXPECT_EQ(static_cast<LONG>(c.request), processing.processed.back().first);
      EXPECT_EQ(static_cast<LONG>(c.offeredHeight), processing.processed.back().second);
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
    FakeProcessing processing;
    FrameConverter converter(&processing);
    ASSERT_EQ(STATUS_SUCCESS, converter.SetFormats({kSubtypeMjpg, 320, 240, kSubtypeMjpg, c.offeredWidth,
                                                    c.offeredHeight, c.untouched}));
    ASSERT_EQ(STATUS_SUCCESS, converter.PrepareWorkBuffers());
    // A frame passed through fills a buffer of exactly its length.
    FakeHost host(c.same ? camera.size() : c.offeredWidth * c.offeredHeight * 2);
    processing.needs = c.needs;
    processing.keeps = c.keeps;
    std::vector<uint8_t> copy = camera;
    const ULONG used = converter.Convert(copy.data(), static_cast<ULONG>(copy.size()), 0, &host);
    ASSERT_NE(0u, used);
    EXPECT_EQ(c.processed ? 1u : 0u, processing.processed.size());
    const std::vector<uint8_t> delivered(host.buffer.data(), host.buffer.data() + used);
    EXPECT_EQ(c.same, delivered == camera);
    EXPECT_EQ(std::make_pair(static_cast<int>(c.offeredWidth), static_cast<int>(c.offeredHeight)),
              SofSize(delivered.data(), delivered.size()));
    EXPECT_TRUE(host.buffer.GuardsIntact());
    converter.Release();
  }
}

// A 16 x 16 camera picture, dark above (Y 40) and light below (Y 200), grey. RGB24 is delivered
// bottom-up, so its first row is the camera's last; a processed picture (here inverted) is what
// is delivered, never the camera's; the camera's picture is offered to face detection before it
// is processed, on the first of every six frames.
TEST(FrameConverter, EachFormatPairDeliversItsBytes) {
  constexpr LONG kPassed = -1;  // the camera's own bytes
  constexpr int kJpeg = -1;     // no pixel checks: a JPEG stream
  const struct {
    const char* name;
    ULONG camera, offered, offeredSide;
    bool inverts;      // the processor changes the picture (needs it, does not keep it)
    LONG used;         // bytes delivered, or kPassed
    int first, last;   // first byte of the first and of the last delivered row, or kJpeg
    int tolerance;
    LONG offerLayout;
  } cases[] = {
      {"YUY2 to YUY2", kSubtypeYuy2, kSubtypeYuy2, 16, false, 512, 40, 200, 0, kPixelYuy2},
      {"YUY2 to YUY2, processed", kSubtypeYuy2, kSubtypeYuy2, 16, true, 512, 215, 55, 0, kPixelYuy2},
      {"YUY2 to RGB24", kSubtypeYuy2, kSubtypeRgb24, 16, false, 768, 214, 28, 1, kPixelYuy2},
      {"YUY2 at an added size", kSubtypeYuy2, kSubtypeYuy2, 32, false, 2048, 40, 200, 0, kPixelYuy2},
      {"MJPEG passed through", kSubtypeMjpg, kSubtypeMjpg, 16, false, kPassed, kJpeg, kJpeg, 0, kPixelMjpeg},
      {"MJPEG processed, encoded again", kSubtypeMjpg, kSubtypeMjpg, 16, true, 0, kJpeg, kJpeg, 0, kPixelYuy2},
      {"MJPEG to RGB24", kSubtypeMjpg, kSubtypeRgb24, 16, false, 768, 214, 28, 4, kPixelYuy2},
  };
  std::vector<uint8_t> picture(16 * 16 * 2);
  for (size_t i = 0; i < picture.size(); ++i) picture[i] = i % 2 ? 128 : (i < picture.size() / 2 ? 40 : 200);
  const std::vector<uint8_t> jpeg = simcam::EncodeYuy2AsJpeg(picture, 16, 16, 90, false);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t>& camera = c.camera == kSubtypeMjpg ? jpeg : picture;
    FakeProcessing processing;
    processing.needs = processing.inverts = c.inverts;
    processing.keeps = !c.inverts;
    FrameConverter converter(&processing);
    ASSERT_EQ(STATUS_SUCCESS,
              converter.SetFormats({c.camera, 16, 16, c.offered, c.offeredSide, c.offeredSide, false}));
    ASSERT_EQ(STATUS_SUCCESS, converter.PrepareWorkBuffers());
    FakeHost host(4096);
    for (LONGLONG delivered = 0; delivered < 2; ++delivered) {
      std::vector<uint8_t> copy = camera;
      const ULONG used = converter.Convert(copy.data(), static_cast<ULONG>(copy.size()), delivered, &host);
      const std::vector<uint8_t> out(host.buffer.data(), host.buffer.data() + used);
      if (c.used == kPassed) {
        EXPECT_EQ(camera, out);
      } else if (c.used == 0) {
        EXPECT_NE(0u, used);
        EXPECT_NE(camera, out);
        EXPECT_EQ(std::make_pair(16, 16), SofSize(out.data(), out.size()));
      } else {
        ASSERT_EQ(static_cast<ULONG>(c.used), used);
      }
      if (c.first != kJpeg) {
        EXPECT_NEAR(c.first, out[0], c.tolerance);
        EXPECT_NEAR(c.last, out[used - used / c.offeredSide], c.tolerance);
      }
    }
    ASSERT_EQ(1u, processing.offers.size());
    EXPECT_EQ(c.offerLayout, processing.offers[0].first);
    EXPECT_EQ(c.offerLayout == kPixelMjpeg ? static_cast<LONG>(jpeg.size()) : 512, processing.offers[0].second);
    EXPECT_EQ(std::make_pair(16, 16), processing.offerSizes[0]);
    EXPECT_TRUE(host.buffer.GuardsIntact());
    converter.Release();
  }
}

}  // namespace
}  // namespace kvz
