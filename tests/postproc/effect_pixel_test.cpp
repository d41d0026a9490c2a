#include "postproc/effects/effect_pixel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "kvz/kernel_testing.h"
#include "postproc/effects/effect_factory.h"
#include "support/effect_pictures.h"
#include "support/guarded_buffer.h"
#include "support/yuy2_frames.h"

namespace kvz {
namespace {

using test::FrameBytes;
using test::RandomBytes;
using test::RunEffect;

constexpr LONG kRgb = kPixelRgb24;
constexpr LONG kI420 = kPixelI420;

uint8_t Sat(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

// ---- Closed forms, pixel by pixel from the effect's definition -------------------------------

using RgbRule = std::function<void(const uint8_t* in, uint8_t* out)>;

struct RgbClosedForm {
  LONG id;
  RgbRule rule;
};

uint32_t Bright(const uint8_t* p) { return ((p[2] * 304 >> 10) + p[0] / 9 + (p[1] * 606 >> 10)) & 0xFF; }

const RgbClosedForm kRgbForms[] = {
    {769, [](const uint8_t* p, uint8_t* o) { o[0] = o[1] = o[2] = Bright(p) <= 144 ? 0 : 255; }},
    {771, [](const uint8_t* p, uint8_t* o) { o[0] = o[1] = o[2] = (p[2] * 112 >> 10) + (p[1] * 605 >> 10) + (p[0] * 307 >> 10); }},
    {772, [](const uint8_t* p, uint8_t* o) { o[0] = Sat(p[0] + 12), o[1] = p[1], o[2] = Sat(p[2] - 12); }},
    {773, [](const uint8_t* p, uint8_t* o) { for (int b = 0; b < 3; ++b) o[b] = p[b] >= 128 ? 255 - p[b] : p[b]; }},
    {776, [](const uint8_t* p, uint8_t* o) { for (int b = 0; b < 3; ++b) o[b] = 255 - p[b]; }},
    {777, [](const uint8_t* p, uint8_t* o) {
       const int b = static_cast<int>(Bright(p));
       o[0] = b > 43 ? b - 44 : 0, o[1] = b > 29 ? b - 30 : 0, o[2] = b;
     }},
    {778, [](const uint8_t* p, uint8_t* o) { o[0] = Sat(p[0] - 16), o[1] = Sat(p[1] + 10), o[2] = Sat(p[2] + 16); }},
    {780, [](const uint8_t* p, uint8_t* o) { o[0] = Sat(p[0] - 16), o[1] = p[1], o[2] = Sat(p[2] + 16); }},
};

struct Size {
  LONG w, h;
};
const Size kClosedFormSizes[] = {{1, 1}, {7, 5}, {64, 48}, {3, 1}};

TEST(PixelEffects, RgbToneAndThresholdEffectsFollowTheirPixelRule) {
  for (const auto& form : kRgbForms)
    for (const Size s : kClosedFormSizes) {
      SCOPED_TRACE(::testing::Message() << form.id << " " << s.w << "x" << s.h);
      const auto in = RandomBytes(FrameBytes(kRgb, s.w, s.h), form.id + s.w);
      const auto run = RunEffect(form.id, kRgb, s.w, s.h, in);
      ASSERT_EQ(run.lastDo, STATUS_SUCCESS);
      EXPECT_TRUE(run.guardsIntact);
      for (size_t k = 0; k < in.size(); k += 3) {
        uint8_t want[3];
        form.rule(&in[k], want);
        ASSERT_EQ(run.frame[k], want[0]) << "pixel " << k / 3;
        ASSERT_EQ(run.frame[k + 1], want[1]) << "pixel " << k / 3;
        ASSERT_EQ(run.frame[k + 2], want[2]) << "pixel " << k / 3;
      }
    }
}

TEST(PixelEffects, EdgeValuesOfGreyThresholdAndTone) {
  struct Case {
    LONG id;
    uint8_t in[3], out[3];
  };
  const Case cases[] = {
      {771, {255, 0, 0}, {76, 76, 76}},   {771, {0, 0, 255}, {27, 27, 27}},
      {772, {250, 0, 5}, {255, 0, 0}},
  };
  for (const auto& c : cases) {
    const auto run = RunEffect(c.id, kRgb, 1, 1, std::vector<uint8_t>(c.in, c.in + 3));
    EXPECT_EQ(std::vector<uint8_t>(run.frame.begin(), run.frame.end()), std::vector<uint8_t>(c.out, c.out + 3)) << c.id;
  }
  // Brightness 144 from green 242 ((242 x 606) >> 10 = 143) and blue 9 (9 / 9 = 1) is still
  // black; blue 18 makes it 145, white.
  auto bw = [](uint8_t g, uint8_t b) { return RunEffect(769, kRgb, 1, 1, {b, g, 0}).frame[0]; };
  EXPECT_EQ(bw(242, 9), 0) << "v = 144";
  EXPECT_EQ(bw(242, 18), 255) << "v = 145";
}

// I420: the luma rule and the value every chroma sample gets (or its change modulo 256).
struct I420ClosedForm {
  LONG id;
  std::function<uint8_t(uint8_t)> luma;
  std::function<uint8_t(uint8_t)> u, v;
};

const I420ClosedForm kI420Forms[] = {
    {769, [](uint8_t y) -> uint8_t { return y > 144 ? 255 : 0; }, [](uint8_t) -> uint8_t { return 127; },
     [](uint8_t) -> uint8_t { return 127; }},
    {771, [](uint8_t y) { return y; }, [](uint8_t) -> uint8_t { return 127; }, [](uint8_t) -> uint8_t { return 127; }},
    {772, [](uint8_t y) { return y; }, [](uint8_t u) -> uint8_t { return u + 10; },
     [](uint8_t v) -> uint8_t { return v - 10; }},
    {776, [](uint8_t y) -> uint8_t { return 255 - y; }, [](uint8_t u) -> uint8_t { return 255 - u; },
     [](uint8_t v) -> uint8_t { return 255 - v; }},
    {777, [](uint8_t y) { return y; }, [](uint8_t) -> uint8_t { return 116; }, [](uint8_t) -> uint8_t { return 144; }},
    {778, [](uint8_t y) { return y; }, [](uint8_t u) { return u; }, [](uint8_t v) -> uint8_t { return v + 20; }},
    {780, [](uint8_t y) { return y; }, [](uint8_t u) { return u; }, [](uint8_t v) -> uint8_t { return v + 10; }},
};

TEST(PixelEffects, I420EffectsFollowTheirPlaneRulesAndStayInsideTheFrame) {
  for (const auto& form : kI420Forms)
    for (const Size s : kClosedFormSizes) {
      SCOPED_TRACE(::testing::Message() << form.id << " " << s.w << "x" << s.h);
      const size_t luma = static_cast<size_t>(s.w) * s.h, plane = static_cast<size_t>(s.w / 2) * (s.h / 2);
      const auto in = RandomBytes(FrameBytes(kI420, s.w, s.h), form.id * 3 + s.h);
      const auto run = RunEffect(form.id, kI420, s.w, s.h, in);
      ASSERT_EQ(run.lastDo, STATUS_SUCCESS);
      EXPECT_TRUE(run.guardsIntact);
      for (size_t k = 0; k < luma; ++k) ASSERT_EQ(run.frame[k], form.luma(in[k])) << k;
      for (size_t k = 0; k < plane; ++k) {
        ASSERT_EQ(run.frame[luma + k], form.u(in[luma + k])) << k;
        ASSERT_EQ(run.frame[luma + plane + k], form.v(in[luma + plane + k])) << k;
      }
      // Bytes past the two chroma planes of an odd size belong to no plane and stay as they were.
      for (size_t k = luma + 2 * plane; k < in.size(); ++k) ASSERT_EQ(run.frame[k], in[k]);
    }
}

TEST(PixelEffects, I420EmbossOfAUniformRowIs128AndChromaNeutral) {
  std::vector<uint8_t> in(FrameBytes(kI420, 10, 4), 77);
  const auto run = RunEffect(774, kI420, 10, 4, in);
  for (size_t k = 0; k < 40; ++k) ASSERT_EQ(run.frame[k], 128);
  for (size_t k = 40; k < 60; ++k) ASSERT_EQ(run.frame[k], 127);
}

// The I420 blur is a 5 x 5 box over a copy padded by mirroring about the edge sample; frames
// wider than 640 are as good as any.
TEST(PixelEffects, I420BlurIsTheMirroredFiveByFiveBoxMean) {
  for (const Size s : {Size{9, 7}, Size{1300, 6}, Size{3, 3}, Size{2, 1}}) {
    SCOPED_TRACE(::testing::Message() << s.w << "x" << s.h);
    const auto in = RandomBytes(FrameBytes(kI420, s.w, s.h), 99);
    const auto run = RunEffect(770, kI420, s.w, s.h, in);
    ASSERT_EQ(run.lastDo, STATUS_SUCCESS);
    EXPECT_TRUE(run.guardsIntact);
    auto mirror = [](int i, int n) {
      if (i < 0) i = -i;
      if (i >= n) i = 2 * (n - 1) - i;
      return std::clamp(i, 0, n - 1);
    };
    for (int r = 0; r < s.h; ++r)
      for (int c = 0; c < s.w; ++c) {
        int sum = 0;
        for (int dr = -2; dr <= 2; ++dr)
          for (int dc = -2; dc <= 2; ++dc) sum += in[mirror(r + dr, s.h) * s.w + mirror(c + dc, s.w)];
        ASSERT_EQ(run.frame[r * s.w + c], sum / 25) << r << "," << c;
      }
    EXPECT_TRUE(std::equal(in.begin() + s.w * s.h, in.end(), run.frame.begin() + s.w * s.h)) << "chroma untouched";
  }
}

TEST(PixelEffects, NegativeTwiceRestoresAndMosaicKeepsBlockUniformFrames) {
  const auto in = RandomBytes(FrameBytes(kRgb, 13, 11), 5);
  EXPECT_EQ(RunEffect(776, kRgb, 13, 11, RunEffect(776, kRgb, 13, 11, in).frame).frame, in);
  // Uniform within every 8 x 8 block, clipped blocks at the right and bottom included.
  for (const Size s : {Size{24, 16}, Size{13, 11}}) {
    std::vector<uint8_t> blocks(FrameBytes(kRgb, s.w, s.h));
    for (int r = 0; r < s.h; ++r)
      for (int c = 0; c < s.w; ++c)
        for (int b = 0; b < 3; ++b) blocks[(r * s.w + c) * 3 + b] = static_cast<uint8_t>((r / 8) * 70 + (c / 8) * 30 + b);
    EXPECT_EQ(RunEffect(775, kRgb, s.w, s.h, blocks).frame, blocks) << s.w << "x" << s.h;
  }
}

// ---- Bounds: every effect at odd, tiny and awkward sizes, frame and work buffer guarded ----

struct FormatCase {
  LONG id;
  LONG format;
};

std::vector<FormatCase> EveryPixelEffect() {
  std::vector<FormatCase> all;
  for (LONG id = 768; id <= 788; ++id) {
    if (id == 785) continue;
    all.push_back({id, kRgb});
    if (id <= 781) all.push_back({id, kI420});
  }
  return all;
}

TEST(PixelEffects, EveryEffectStaysInsideItsFrameAndWorkBufferAtAnySize) {
  test::SystemRootPictures pictures;  // the canvas texture
  const Size sizes[] = {{1, 1}, {2, 2}, {3, 5}, {7, 5}, {16, 1}, {1, 16}, {33, 17}, {157, 118},
                        {320, 180}, {800, 448}, {1282, 4}};
  for (const FormatCase& e : EveryPixelEffect())
    for (const Size s : sizes) {
      SCOPED_TRACE(::testing::Message() << e.id << (e.format == kI420 ? " I420 " : " RGB24 ") << s.w << "x" << s.h);
      const auto run = RunEffect(e.id, e.format, s.w, s.h, RandomBytes(FrameBytes(e.format, s.w, s.h), s.w), 3);
      EXPECT_TRUE(run.guardsIntact);
      if (e.id == 783 && (s.w < 157 || s.h < 118)) {
        // Tiles has no grid for a frame this small: never ready, frame untouched.
        EXPECT_EQ(run.setFormat, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(run.lastDo, STATUS_DEVICE_NOT_READY);
        continue;
      }
      EXPECT_EQ(run.setFormat, STATUS_SUCCESS);
      EXPECT_EQ(run.lastDo, STATUS_SUCCESS);
    }
}

// The grids made for 320, 800, 960 and 1024 wide frames are taller than these frames; the
// effect falls back to a grid that fits (the guards of the test above), here at full size.
TEST(PixelEffects, TilesDrawOnlyInsideFramesTheirWidthsGridDoesNotFit) {
  for (const Size s : {Size{960, 540}, Size{1024, 576}}) {
    const auto run = RunEffect(783, kRgb, s.w, s.h, RandomBytes(FrameBytes(kRgb, s.w, s.h), 1), 49);
    EXPECT_EQ(run.lastDo, STATUS_SUCCESS);
    EXPECT_TRUE(run.guardsIntact) << s.w << "x" << s.h;
  }
}

TEST(PixelEffects, TilesFirstFrameAt640x480DrawsOneReducedCopyAtColumn5Row321) {
  const LONG w = 640, h = 480;
  const auto in = RandomBytes(FrameBytes(kRgb, w, h), 8);
  const auto out = RunEffect(783, kRgb, w, h, in).frame;
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c) {
      const uint8_t* p = &out[(r * w + c) * 3];
      const bool inTile = r >= 321 && r < 321 + 154 && c >= 5 && c < 5 + 207;
      if (!inTile) {
        ASSERT_TRUE(p[0] == 5 && p[1] == 5 && p[2] == 5) << r << "," << c;
        continue;
      }
      // Every (640 / 207) = 3rd pixel of every (480 / 154) = 3rd row.
      const uint8_t* q = &in[((r - 321) * 3 * w + (c - 5) * 3) * 3];
      ASSERT_TRUE(p[0] == q[0] && p[1] == q[1] && p[2] == q[2]) << r << "," << c;
    }
}

TEST(PixelEffects, WavePhaseWrapsAfter128FramesAndRestsAtItsTurningPoints) {
  const LONG w = 40, h = 30;
  const auto in = RandomBytes(FrameBytes(kRgb, w, h), 3);
  std::unique_ptr<ZQEffect, void (*)(ZQEffect*)> wave(NewCatalogueEffect(782),
                                                        [](ZQEffect* e) { DeleteEffect(e); });
  test::GuardedBuffer work(in.size());
  const EffectFormat format = {kRgb, w, h};
  ASSERT_EQ(wave->SetFormat(&format, work.data(), static_cast<LONG>(in.size()), nullptr), STATUS_SUCCESS);
  std::vector<uint8_t> frame;
  for (int call = 1; call <= 128; ++call) {
    frame = in;
    ASSERT_EQ(wave->Do(frame.data()), STATUS_SUCCESS);
    const LONG s = (call % 128) / 2;
    // s = 0 and s = 32 stretch by nothing; s = 15 and s = 16 both stretch columns by 15.
    if (s == 0 || s == 32) {
      EXPECT_EQ(frame, in) << "call " << call;
    } else if (s == 1) {
      EXPECT_NE(frame, in) << "call " << call;
    }
  }
  EXPECT_EQ(static_cast<ZQEWave*>(wave.get())->phase, 0);
  std::vector<uint8_t> at15, at16;
  for (int call = 1; call <= 33; ++call) {
    frame = in;
    wave->Do(frame.data());
    if (call == 31) at15 = frame;
    if (call == 33) at16 = frame;
  }
  EXPECT_EQ(at15, at16);
}

// Diffuse and sketch each keep their own sequence: two cameras' effects do not steer each other.
TEST(PixelEffects, DiffuseAndSketchSequencesArePerEffect) {
  for (LONG id : {779L, 781L}) {
    const auto in = RandomBytes(FrameBytes(kRgb, 48, 32), 12);
    const auto first = RunEffect(id, kRgb, 48, 32, in);
    const auto second = RunEffect(id, kRgb, 48, 32, in);
    EXPECT_NE(first.frame, in);
    EXPECT_EQ(first.frame, second.frame) << id;
  }
  ULONG state = 0x8002;  // bit 15 set: the shifted state is XORed with 0x457
  EXPECT_EQ(JitterStep(&state), 3u);
  EXPECT_EQ(state, (0x8002u << 1) ^ 0x457u);
}

TEST(PixelEffects, CanvasAddsItsTextureTiledAndSaturated) {
  test::SystemRootPictures pictures;
  const auto texture = test::CanvasTexture();
  std::unique_ptr<ZQEffect, void (*)(ZQEffect*)> canvas(NewCatalogueEffect(784),
                                                        [](ZQEffect* e) { DeleteEffect(e); });
  const LONG w = 640, h = 480;
  std::vector<uint8_t> work(FrameBytes(kRgb, w, h));
  const EffectFormat format = {kRgb, w, h};
  ASSERT_EQ(canvas->SetFormat(&format, work.data(), static_cast<LONG>(work.size()), nullptr), STATUS_SUCCESS);
  auto* c = static_cast<ZQECanvas*>(canvas.get());
  EXPECT_EQ(c->tileWidth, 80);
  EXPECT_EQ(c->tileHeight, 60);
  const auto in = RandomBytes(work.size(), 4);
  auto frame = in;
  ASSERT_EQ(canvas->Do(frame.data()), STATUS_SUCCESS);
  for (int r = 0; r < h; r += 7)
    for (int col = 0; col < w; col += 3)
      for (int b = 0; b < 3; ++b) {
        const size_t k = (static_cast<size_t>(r) * w + col) * 3 + b;
        ASSERT_EQ(frame[k], Sat(in[k] + texture[1078 + (r % 60) * 100 + col % 80]));
      }
}

TEST(PixelEffects, CanvasWithoutItsTextureIsNeverReady) {
  test::SystemRootPictures pictures;
  pictures.Remove("canvastexture.bmp");
  const auto run = RunEffect(784, kRgb, 64, 48, RandomBytes(FrameBytes(kRgb, 64, 48), 1));
  EXPECT_EQ(run.setFormat, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(run.lastDo, STATUS_DEVICE_NOT_READY);
}

TEST(PixelEffects, GlassRefusesFramesWiderThanItsTable) {
  EXPECT_EQ(RunEffect(786, kRgb, 1601, 2, std::vector<uint8_t>(FrameBytes(kRgb, 1601, 2))).setFormat,
            STATUS_NOT_SUPPORTED);
}

// Every buffer an effect takes in Init, failed once: the effect reports it, stays not ready and
// keeps nothing.
TEST(PixelEffects, FailedInitAllocationsLeaveTheEffectNotReadyAndLeakNothing) {
  test::SystemRootPictures pictures;
  const FormatCase cases[] = {{770, kI420}, {773, kI420}, {784, kRgb}, {786, kRgb}, {787, kRgb}, {788, kRgb}};
  for (const FormatCase& e : cases)
    test::SweepInitAllocations(e.id, e.format, {kTagEffectPixel, 'Glas', 'Fish', 'Book'});
}

}  // namespace
}  // namespace kvz
