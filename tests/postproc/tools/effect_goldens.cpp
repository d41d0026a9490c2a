// Renders every golden case of the effect tests to a PNG for review and prints its checksum
// line. Run by hand when an effect's output changes on purpose:
//   build/tests/postproc/kvzcam-effect-goldens <folder>
#include <png.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "kvz/kernel_testing.h"
#include "support/effect_pictures.h"

namespace {

using kvz::test::GoldenCase;

// RGB24 frames are bottom-up blue-green-red; I420 is shown through the BT.601 equations.
std::vector<uint8_t> ToRgbRows(const std::vector<uint8_t>& f, LONG format, int w, int h) {
  std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* o = &rgb[(static_cast<size_t>(y) * w + x) * 3];
      if (format == kvz::kPixelRgb24) {
        const uint8_t* p = &f[(static_cast<size_t>(h - 1 - y) * w + x) * 3];
        o[0] = p[2], o[1] = p[1], o[2] = p[0];
        continue;
      }
      const int cw = w / 2, ch = h / 2;
      const int cx = x / 2 < cw ? x / 2 : cw - 1, cy = y / 2 < ch ? y / 2 : ch - 1;
      int u = 0, v = 0;
      if (cw > 0 && ch > 0) {
        u = f[static_cast<size_t>(w) * h + cy * cw + cx] - 128;
        v = f[static_cast<size_t>(w) * h + static_cast<size_t>(cw) * ch + cy * cw + cx] - 128;
      }
      const int c = (f[static_cast<size_t>(y) * w + x] - 16) * 298;
      auto clip = [](int value) { return static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value)); };
      o[0] = clip((c + 409 * v + 128) >> 8);
      o[1] = clip((c - 100 * u - 208 * v + 128) >> 8);
      o[2] = clip((c + 516 * u + 128) >> 8);
    }
  return rgb;
}

bool WritePng(const std::string& path, const std::vector<uint8_t>& rgb, int w, int h) {
  FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(out);
    return false;
  }
  png_init_io(png, out);
  png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < h; ++y) png_write_row(png, const_cast<png_bytep>(&rgb[static_cast<size_t>(y) * w * 3]));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(out);
  return true;
}

// Every picture on one sheet, small ones doubled, for a review at a glance.
struct Sheet {
  static constexpr int kCell = 330, kColumns = 6;
  std::vector<std::vector<uint8_t>> images;
  std::vector<std::pair<int, int>> sizes;
  void Add(std::vector<uint8_t> rgb, int w, int h) {
    images.push_back(std::move(rgb));
    sizes.push_back({w, h});
  }
  void Write(const std::string& path) const {
    const int rows = static_cast<int>((images.size() + kColumns - 1) / kColumns);
    const int sw = kCell * kColumns, sh = kCell * rows;
    std::vector<uint8_t> sheet(static_cast<size_t>(sw) * sh * 3, 64);
    for (size_t i = 0; i < images.size(); ++i) {
      const int w = sizes[i].first, h = sizes[i].second, scale = w <= 160 ? 2 : 1;
      const int ox = static_cast<int>(i % kColumns) * kCell, oy = static_cast<int>(i / kColumns) * kCell;
      for (int y = 0; y < h * scale; ++y)
        for (int x = 0; x < w * scale; ++x)
          for (int b = 0; b < 3; ++b)
            sheet[(static_cast<size_t>(oy + y) * sw + ox + x) * 3 + b] =
                images[i][(static_cast<size_t>(y / scale) * w + x / scale) * 3 + b];
    }
    WritePng(path, sheet, sw, sh);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  kvz::kernel::SetClockMode(kvz::kernel::ClockMode::Virtual);
  kvz::kernel::KernelThreadScope thread("goldens");
  kvz::test::SystemRootPictures pictures;
  Sheet sheets[2];
  for (LONG format : {kvz::kPixelRgb24, kvz::kPixelI420})
    for (auto size : {std::pair<int, int>{120, 90}, {37, 23}}) {
      const auto input = kvz::test::EffectTestPattern(format, size.first, size.second);
      const auto rgb = ToRgbRows(input, format, size.first, size.second);
      WritePng(folder + "/input-" + (format == kvz::kPixelI420 ? "i420-" : "rgb24-") +
                   std::to_string(size.first) + "x" + std::to_string(size.second) + ".png",
               rgb, size.first, size.second);
      sheets[size.first == 37].Add(rgb, size.first, size.second);
    }
  for (const GoldenCase& c : kvz::test::GoldenCases()) {
    const auto input = kvz::test::EffectTestPattern(c.format, c.width, c.height);
    const auto run = kvz::test::RunEffect(c.id, c.format, c.width, c.height, input, c.frames);
    if (run.setFormat != 0 || run.lastDo != 0 || !run.guardsIntact) {
      std::fprintf(stderr, "%s: SetFormat 0x%08X, Do 0x%08X, guards %s\n", kvz::test::GoldenName(c).c_str(),
                   static_cast<unsigned>(run.setFormat), static_cast<unsigned>(run.lastDo),
                   run.guardsIntact ? "intact" : "broken");
      return 1;
    }
    const auto rgb = ToRgbRows(run.frame, c.format, c.width, c.height);
    WritePng(folder + "/" + kvz::test::GoldenName(c) + ".png", rgb, c.width, c.height);
    sheets[c.width == 37 || c.width == 320].Add(rgb, c.width, c.height);
    std::printf("    {\"%s\", 0x%016" PRIx64 "ull},\n", kvz::test::GoldenName(c).c_str(), kvz::test::Fnv1a64(run.frame));
  }
  sheets[0].Write(folder + "/sheet-large.png");
  sheets[1].Write(folder + "/sheet-small.png");
  kvz::kernel::StopClock();
  return 0;
}
