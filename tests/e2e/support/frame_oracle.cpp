#include "frame_oracle.h"

#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdlib>

#include "simcam/test_pattern.h"

namespace kvz::e2e {

std::vector<uint8_t> CameraPicture(int width, int height, uint64_t n) {
  return simcam::MakeYuy2Frame(static_cast<uint16_t>(width), static_cast<uint16_t>(height), n);
}

uint32_t FrameNumber(const std::vector<uint8_t>& yuy2) { return simcam::FrameNumberOfYuy2(yuy2.data(), yuy2.size()); }

namespace {

size_t At(int x, int y, int width) { return (static_cast<size_t>(y) * width + x) * 2; }

}  // namespace

std::vector<uint8_t> MirrorYuy2(const std::vector<uint8_t>& in, int width, int height) {
  std::vector<uint8_t> out(in.size());
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; x += 2) {
      const size_t from = At(width - 2 - x, y, width), to = At(x, y, width);
      out[to] = in[from + 2];
      out[to + 1] = in[from + 1];
      out[to + 2] = in[from];
      out[to + 3] = in[from + 3];
    }
  return out;
}

std::vector<uint8_t> HalfTurnYuy2(const std::vector<uint8_t>& in, int width, int height) {
  std::vector<uint8_t> mirrored = MirrorYuy2(in, width, height);
  std::vector<uint8_t> out(in.size());
  const size_t row = static_cast<size_t>(width) * 2;
  for (int y = 0; y < height; ++y)
    std::copy(mirrored.begin() + y * row, mirrored.begin() + (y + 1) * row, out.begin() + (height - 1 - y) * row);
  return out;
}

std::vector<uint8_t> ZoomTwiceYuy2(const std::vector<uint8_t>& in, int width, int height) {
  std::vector<uint8_t> out(in.size());
  const int x0 = (width / 4) & ~1, y0 = (height / 4) & ~1;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; x += 2) {
      const int sx = x0 + x / 2, sy = y0 + y / 2;
      const size_t pair = At(sx & ~1, sy, width), to = At(x, y, width);
      out[to] = in[At(sx, sy, width)];
      out[to + 1] = in[pair + 1];
      out[to + 2] = in[At(sx, sy, width)];
      out[to + 3] = in[pair + 3];
    }
  return out;
}

std::vector<uint8_t> NearestYuy2(const std::vector<uint8_t>& in, int sw, int sh, int dw, int dh) {
  std::vector<uint8_t> out(static_cast<size_t>(dw) * dh * 2);
  for (int y = 0; y < dh; ++y)
    for (int x = 0; x < dw; ++x) {
      const int sx = static_cast<int>(static_cast<int64_t>(x) * sw / dw);
      const int sy = static_cast<int>(static_cast<int64_t>(y) * sh / dh);
      const size_t from = At(sx, sy, sw), to = At(x, y, dw);
      out[to] = in[from];
      out[to + 1] = in[At(sx & ~1, sy, sw) + 1 + 2 * (x & 1)];
    }
  return out;
}

std::vector<uint8_t> WidenLuma(const std::vector<uint8_t>& luma, int width, int height, int newWidth) {
  std::vector<uint8_t> out(static_cast<size_t>(newWidth) * height);
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = &luma[static_cast<size_t>(y) * width];
    for (int j = 0; j < newWidth; ++j) {
      const double p = static_cast<double>(j) * width / newWidth;
      const int left = static_cast<int>(p);
      const int right = std::min(left + 1, width - 1);
      const double a = p - left;
      const double value = (1 - a) * row[left] + a * row[right];
      out[static_cast<size_t>(y) * newWidth + j] = static_cast<uint8_t>(std::lround(value));
    }
  }
  return out;
}

std::vector<uint8_t> BottomUpBgr(const std::vector<uint8_t>& yuy2, int width, int height) {
  std::vector<uint8_t> bgr(static_cast<size_t>(width) * height * 3);
  auto clamp = [](double v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : std::lround(v)); };
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const size_t pair = At(x & ~1, y, width);
      const double c = 1.164383 * (yuy2[At(x, y, width)] - 16.0);
      const double u = yuy2[pair + 1] - 128.0, v = yuy2[pair + 3] - 128.0;
      uint8_t* px = &bgr[(static_cast<size_t>(height - 1 - y) * width + x) * 3];
      px[0] = clamp(c + 2.017232 * u);
      px[1] = clamp(c - 0.391762 * u - 0.812968 * v);
      px[2] = clamp(c + 1.596027 * v);
    }
  return bgr;
}

int MaxDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size()) return 255;
  int worst = 0;
  for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
  return worst;
}

namespace {

struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

void OnError(j_common_ptr info) { std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1); }

}  // namespace

DecodedJpeg DecodeJpegLuma(const std::vector<uint8_t>& stream) {
  DecodedJpeg result;
  jpeg_decompress_struct info;
  ErrorManager errors;
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = OnError;
  jpeg_create_decompress(&info);
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&info);
    return DecodedJpeg{};
  }
  jpeg_mem_src(&info, stream.data(), static_cast<unsigned long>(stream.size()));
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_GRAYSCALE;
  jpeg_start_decompress(&info);
  result.width = static_cast<int>(info.output_width);
  result.height = static_cast<int>(info.output_height);
  result.luma.resize(static_cast<size_t>(result.width) * result.height);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = &result.luma[static_cast<size_t>(info.output_scanline) * result.width];
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  result.ok = true;
  return result;
}

std::vector<uint8_t> LumaOf(const std::vector<uint8_t>& yuy2) {
  std::vector<uint8_t> luma(yuy2.size() / 2);
  for (size_t i = 0; i < luma.size(); ++i) luma[i] = yuy2[2 * i];
  return luma;
}

double MeanDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 255;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int(a[i]) - int(b[i]));
  return sum / double(a.size());
}

}  // namespace kvz::e2e
