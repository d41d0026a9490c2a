#include "postproc/effects/effect_overlay.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "kvz/kernel_testing.h"
#include "postproc/effects/bmp_overlay.h"
#include "postproc/base/effect_catalogue.h"
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

// A picture whose every pixel names its own row and column, so that scaling can be traced.
std::vector<uint8_t> CoordinatePicture() {
  return test::MakeOverlayBmp([](int x, int y) -> std::array<uint8_t, 3> {
    return {static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8), static_cast<uint8_t>(y)};
  });
}

// The picture as an effect of the given size holds it (key planes included).
std::vector<uint8_t> Load(const test::SystemRootPictures& pictures, const std::vector<uint8_t>& file, LONG w, LONG h,
                          bool texture = false) {
  pictures.Write("pic.bmp", file);
  std::vector<uint8_t> buffer(static_cast<size_t>(w) * h * (texture ? 5 : 4));
  const NTSTATUS status = texture ? LoadTextureBitmap(buffer.data(), buffer.size(), u"\\SystemRoot\\pic.bmp", w, h, kRgb)
                                  : LoadOverlayBitmap(buffer.data(), buffer.size(), u"\\SystemRoot\\pic.bmp", w, h, kRgb);
  EXPECT_EQ(status, STATUS_SUCCESS);
  return buffer;
}

TEST(OverlayPicture, ScalesByRowAndColumnSampling) {
  test::SystemRootPictures pictures;
  const auto file = CoordinatePicture();
  // 640 x 480 takes the file's pixel bytes unchanged.
  const auto same = Load(pictures, file, 640, 480);
  EXPECT_TRUE(std::equal(file.begin() + 54, file.end(), same.begin()));
  for (auto size : {std::pair<LONG, LONG>{320, 240}, {37, 23}, {1, 1}, {1280, 3}}) {
    const LONG w = size.first, h = size.second;
    const auto scaled = Load(pictures, file, w, h);
    for (LONG i = 0; i < h; ++i)
      for (LONG j = 0; j < w; ++j) {
        const size_t from = 54 + ((480 * i / h) * 640 + 640 * j / w) * 3;
        const size_t to = (static_cast<size_t>(i) * w + j) * 3;
        ASSERT_TRUE(std::equal(file.begin() + from, file.begin() + from + 3, scaled.begin() + to)) << i << "," << j;
      }
  }
}

TEST(OverlayPicture, KeyColoursOfTheFrameAndTheMagnifier) {
  struct Case {
    std::array<uint8_t, 3> colour;
    uint8_t key, window, lens;
  };
  const Case cases[] = {
      {{160, 5, 5}, 255, 0, 0},   {{151, 9, 9}, 255, 0, 0},   {{150, 0, 0}, 0, 0, 0},
      {{151, 10, 0}, 0, 0, 0},    {{255, 0, 0}, 255, 255, 0}, {{254, 0, 0}, 255, 0, 255},
      {{255, 0, 1}, 255, 0, 0},   {{0, 0, 0}, 0, 0, 0},
  };
  test::SystemRootPictures pictures;
  for (const Case& c : cases) {
    const auto file = test::MakeOverlayBmp([&](int, int) { return c.colour; });
    const auto frame = Load(pictures, file, 4, 2);
    const auto magnifier = Load(pictures, file, 4, 2, true);
    for (size_t k = 0; k < 8; ++k) {
      EXPECT_EQ(frame[24 + k], c.key) << int(c.colour[0]) << "," << int(c.colour[1]) << "," << int(c.colour[2]);
      EXPECT_EQ(magnifier[24 + k], c.window);
      EXPECT_EQ(magnifier[32 + k], c.lens);
    }
  }
}

// Picture files are untrusted: anything but a whole 640 x 480 bottom-up 24-bit picture at
// offset 54 is refused, and the effect then stays not ready without touching the frame.
TEST(OverlayPicture, FilesOfAnotherShapeAreRefused) {
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> spoil;
    NTSTATUS status;
  };
  auto put32 = [](std::vector<uint8_t>& f, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) f[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  const Case cases[] = {
      {"empty", [](std::vector<uint8_t>& f) { f.clear(); }, STATUS_END_OF_FILE},
      {"one byte short", [](std::vector<uint8_t>& f) { f.pop_back(); }, STATUS_END_OF_FILE},
      {"header only", [](std::vector<uint8_t>& f) { f.resize(54); }, STATUS_END_OF_FILE},
      {"not BM", [](std::vector<uint8_t>& f) { f[0] = 'X'; }, STATUS_NOT_SUPPORTED},
      {"wider", [&](std::vector<uint8_t>& f) { put32(f, 18, 641); }, STATUS_NOT_SUPPORTED},
      {"huge", [&](std::vector<uint8_t>& f) { put32(f, 18, 0x7FFFFFFF); }, STATUS_NOT_SUPPORTED},
      {"top-down", [&](std::vector<uint8_t>& f) { put32(f, 22, static_cast<uint32_t>(-480)); }, STATUS_NOT_SUPPORTED},
      {"32 bits", [](std::vector<uint8_t>& f) { f[28] = 32; }, STATUS_NOT_SUPPORTED},
      {"pixels elsewhere", [&](std::vector<uint8_t>& f) { put32(f, 10, 1078); }, STATUS_NOT_SUPPORTED},
      {"compressed", [&](std::vector<uint8_t>& f) { put32(f, 30, 1); }, STATUS_NOT_SUPPORTED},
      {"larger info header", [&](std::vector<uint8_t>& f) { put32(f, 14, 124); }, STATUS_NOT_SUPPORTED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::SystemRootPictures pictures;
    auto file = test::FramePicture(false);
    c.spoil(file);
    pictures.Write("ZQGarland.bmp", file);
    const auto in = RandomBytes(FrameBytes(kRgb, 64, 48), 2);
    const auto run = RunEffect(789, kRgb, 64, 48, in);
    EXPECT_EQ(run.setFormat, c.status);
    EXPECT_EQ(run.lastDo, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(run.frame, in);
    EXPECT_TRUE(run.guardsIntact);
    EXPECT_EQ(kernel::PoolStatsForTag(kTagEffectPicture).liveBlocks, 0u);
  }
  // Bytes after the picture are not the picture's business.
  test::SystemRootPictures pictures;
  auto longer = test::FramePicture(false);
  longer.resize(longer.size() + 1000, 7);
  pictures.Write("ZQGarland.bmp", longer);
  EXPECT_EQ(RunEffect(789, kRgb, 64, 48, RandomBytes(FrameBytes(kRgb, 64, 48), 2)).lastDo, STATUS_SUCCESS);
}

TEST(PictureEffects, MissingPictureOrNoNameLeavesTheEffectNeverReady) {
  test::SystemRootPictures pictures;
  pictures.Remove("ZQCCTV.bmp");
  for (LONG id : {796L, 1024L}) {
    const auto in = RandomBytes(FrameBytes(kRgb, 16, 12), 1);
    const auto run = RunEffect(id, kRgb, 16, 12, in, 2);
    EXPECT_EQ(run.setFormat, STATUS_OBJECT_NAME_NOT_FOUND) << id;
    EXPECT_EQ(run.lastDo, STATUS_DEVICE_NOT_READY) << id;
    EXPECT_EQ(run.frame, in);
  }
  for (LONG id : {785L, 799L, 1023L, 1025L}) EXPECT_EQ(NewCatalogueEffect(id), nullptr) << id;
}

// The frame shows through the picture's blue; elsewhere the picture covers it. Snipe keeps
// only the green of what shows, news its grey.
TEST(PictureEffects, OverlayKeepsTheFrameWhereThePictureIsBlue) {
  test::SystemRootPictures pictures;
  const LONG w = 64, h = 48;
  const auto picture = Load(pictures, test::FramePicture(false), w, h);
  const auto in = RandomBytes(FrameBytes(kRgb, w, h), 6);
  for (LONG id : {789L, 790L, 791L, 792L, 793L, 794L, 795L, 798L}) {
    SCOPED_TRACE(id);
    const auto run = RunEffect(id, kRgb, w, h, in);
    ASSERT_EQ(run.lastDo, STATUS_SUCCESS);
    for (size_t k = 0; k < static_cast<size_t>(w) * h; ++k) {
      const uint8_t* p = &in[k * 3];
      const uint8_t* o = &run.frame[k * 3];
      if (picture[w * h * 3 + k] == 0) {
        ASSERT_TRUE(std::equal(o, o + 3, picture.begin() + k * 3)) << k;
      } else if (id == 792) {
        ASSERT_TRUE(o[0] == 0 && o[1] == p[1] && o[2] == 0) << k;
      } else if (id == 793) {
        const uint8_t g = static_cast<uint8_t>((p[2] * 112 >> 10) + (p[1] * 605 >> 10) + (p[0] * 307 >> 10));
        ASSERT_TRUE(o[0] == g && o[1] == g && o[2] == g) << k;
      } else {
        ASSERT_TRUE(std::equal(o, o + 3, p)) << k;
      }
    }
  }
}

TEST(PictureEffects, ScanLinesDoubleTwoBytesPerPairInGroupsOfSixFromTheLastRow) {
  for (LONG h : {5L, 7L, 12L}) {
    const LONG w = 5;
    std::vector<uint8_t> frame = RandomBytes(FrameBytes(kRgb, w, h), h);
    const auto in = frame;
    ScanLinesRgb24(frame.data(), w, h);
    const int doubled[6][2] = {{2, 1}, {2, 0}, {1, 0}, {1, 2}, {0, 2}, {0, 1}};
    for (LONG row = 0; row < h; ++row) {
      const LONG n = h - 1 - row;  // counted from the last row
      const bool grouped = n < h / 6 * 6;
      for (LONG c = 0; c < w; ++c)
        for (int b = 0; b < 3; ++b) {
          const size_t k = (static_cast<size_t>(row) * w + c) * 3 + b;
          const bool hit = grouped && c < w / 2 * 2 && b == doubled[n % 6][c & 1];
          const uint8_t want = hit ? (in[k] >= 128 ? 255 : in[k] * 2) : in[k];
          ASSERT_EQ(frame[k], want) << "h " << h << " row " << row << " col " << c << " byte " << b;
        }
    }
  }
}

TEST(PictureEffects, MagnifierShowsTheEnlargedFrameInTheLensAndThePictureAround) {
  test::SystemRootPictures pictures;
  const LONG w = 640, h = 480;
  const auto picture = Load(pictures, test::FramePicture(true), w, h, true);
  const auto in = RandomBytes(FrameBytes(kRgb, w, h), 10);
  const auto run = RunEffect(797, kRgb, w, h, in);
  ASSERT_EQ(run.lastDo, STATUS_SUCCESS);
  const size_t pixels = static_cast<size_t>(w) * h;
  // a = b = 188, e = 165, f = 37: lens pixel (row R, column C) shows the frame's pixel
  // (R0 - 62 - (2 (R0 - R)) / 3, 227 + (2 (C - 165)) / 3) with R0 = 442.
  size_t lens = 0;
  for (LONG r = 0; r < h; ++r)
    for (LONG c = 0; c < w; ++c) {
      const size_t k = static_cast<size_t>(r) * w + c;
      const uint8_t* o = &run.frame[k * 3];
      if (picture[pixels * 4 + k]) {
        ++lens;
        const LONG fr = 442 - 62 - (2 * (442 - r)) / 3, fc = 165 + 62 + (2 * (c - 165)) / 3;
        ASSERT_TRUE(std::equal(o, o + 3, in.begin() + (static_cast<size_t>(fr) * w + fc) * 3)) << r << "," << c;
      } else if (picture[pixels * 3 + k]) {
        ASSERT_TRUE(std::equal(o, o + 3, in.begin() + k * 3)) << r << "," << c;
      } else {
        ASSERT_TRUE(std::equal(o, o + 3, picture.begin() + k * 3)) << r << "," << c;
      }
    }
  EXPECT_GT(lens, 60000u);
}

TEST(PictureEffects, EveryPictureEffectStaysInsideItsBuffersAtAnySize) {
  test::SystemRootPictures pictures;
  for (LONG id = 789; id <= 798; ++id)
    for (auto s : {std::pair<LONG, LONG>{1, 1}, {2, 3}, {7, 5}, {33, 17}, {1000, 2}, {2, 1000}, {320, 180}}) {
      SCOPED_TRACE(::testing::Message() << id << " " << s.first << "x" << s.second);
      const auto run = RunEffect(id, kRgb, s.first, s.second, RandomBytes(FrameBytes(kRgb, s.first, s.second), 1), 2);
      EXPECT_EQ(run.lastDo, STATUS_SUCCESS);
      EXPECT_TRUE(run.guardsIntact);
    }
}

TEST(PictureEffects, FailedAllocationsLeaveTheEffectNotReadyAndLeakNothing) {
  test::SystemRootPictures pictures;
  for (LONG id : {789L, 797L})
    test::SweepInitAllocations(id, kRgb, {kTagEffectPicture, kTagEffectMagnifier, kTagPictureFile, kTagTextureFile});
}

}  // namespace
}  // namespace kvz
