#include "support/codec_check.h"

#include <cstdlib>
#include <cstring>

#include "jpeg/jpeg_constants.h"
#include "jpeg/mjpeg_decoder.h"
#include "primitives/build_selection.h"
#include "primitives/pool_object.h"

namespace kvz::jpegtest {
namespace {

// KVZ_JPEG_BUILD=<slot> runs the codec tests on one processor build instead of the one the
// processor selects.
const bool kBuildForced = [] {
  const char* slot = getenv("KVZ_JPEG_BUILD");
  if (slot) prim::OverrideBuild(atoi(slot));
  return slot != nullptr;
}();

}  // namespace

OurDecode DecodeWithOurs(const std::vector<uint8_t>& stream, int32_t format, int width, int height,
                         int32_t outSize) {
  constexpr size_t kGuard = 64;
  OurDecode d;
  const int64_t size = outSize ? outSize : jpeg::JpegOutputSize(format, width, height);
  d.out.assign(static_cast<size_t>(size > 0 ? size : 0) + kGuard, 0xA5);
  auto* decoder = PoolNew<jpeg::MjpegDecoder>(jpeg::kDecoderPoolTag);
  d.result = decoder->Decode(stream.data(), static_cast<int32_t>(stream.size()), d.out.data(),
                             static_cast<int32_t>(size), &d.width, &d.height, format);
  PoolDelete(decoder, jpeg::kDecoderPoolTag);
  for (size_t i = d.out.size() - kGuard; i < d.out.size(); ++i) d.guardIntact = d.guardIntact && d.out[i] == 0xA5;
  d.out.resize(d.out.size() - kGuard);
  return d;
}

std::vector<uint8_t> ExpectedOutput(const TurboDecoded& ref, Sampling sampling, int32_t format) {
  const int w = ref.width;
  const int h = ref.height;
  if (format == kPixelRgb24) return ref.bgr;
  auto full = [&](int x, int y, int c) {
    x = x < w ? x : w - 1;
    y = y < h ? y : h - 1;
    return static_cast<int>(ref.ycc[(static_cast<size_t>(y) * w + x) * 3 + c]);
  };
  auto native = [&](int c, int x, int y) {
    const TurboDecoded::Plane& p = ref.planes[c];
    return static_cast<int>(p.samples[static_cast<size_t>(y) * p.width + x]);
  };
  const bool grey = sampling == Sampling::kGrey;
  std::vector<uint8_t> out;
  if (format == kPixelYuy2) {
    out.resize(static_cast<size_t>(w) * h * 2);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        uint8_t* px = &out[(static_cast<size_t>(y) * w + x) * 2];
        px[0] = static_cast<uint8_t>(full(x, y, 0));
        const int c = 1 + (x & 1);
        const int p = x >> 1;
        int value = 128;
        if (!grey) value = sampling == Sampling::k422 ? native(c, p, y) : (full(2 * p, y, c) + full(2 * p + 1, y, c) + 1) / 2;
        px[1] = static_cast<uint8_t>(value);
      }
    }
    return out;
  }
  const int cw = (w + 1) / 2;
  const int ch = (h + 1) / 2;
  out.resize(static_cast<size_t>(w) * h + 2 * static_cast<size_t>(cw) * ch);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) out[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(full(x, y, 0));
  }
  for (int c = 1; c <= 2; ++c) {
    uint8_t* plane = &out[static_cast<size_t>(w) * h + static_cast<size_t>(c - 1) * cw * ch];
    for (int y = 0; y < ch; ++y) {
      for (int x = 0; x < cw; ++x) {
        int value = 128;
        if (!grey) {
          value = sampling == Sampling::k420
                      ? native(c, x, y)
                      : (full(2 * x, 2 * y, c) + full(2 * x + 1, 2 * y, c) + full(2 * x, 2 * y + 1, c) +
                         full(2 * x + 1, 2 * y + 1, c) + 2) / 4;
        }
        plane[static_cast<size_t>(y) * cw + x] = static_cast<uint8_t>(value);
      }
    }
  }
  return out;
}

}  // namespace kvz::jpegtest
