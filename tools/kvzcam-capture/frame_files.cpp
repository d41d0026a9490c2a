#include "frame_files.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kvz::capture {

namespace {

uint8_t Clamp(double v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v + 0.5); }

}  // namespace

std::vector<uint8_t> Yuy2ToRgb(const uint8_t* yuy2, int width, int height) {
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const uint8_t* pair = yuy2 + (static_cast<size_t>(y) * width + (x & ~1)) * 2;
      const double luma = 1.164 * ((x & 1 ? pair[2] : pair[0]) - 16);
      const double u = pair[1] - 128, v = pair[3] - 128;
      uint8_t* px = &rgb[(static_cast<size_t>(y) * width + x) * 3];
      px[0] = Clamp(luma + 1.596 * v);
      px[1] = Clamp(luma - 0.392 * u - 0.813 * v);
      px[2] = Clamp(luma + 2.017 * u);
    }
  return rgb;
}

std::vector<uint8_t> BottomUpBgrToRgb(const uint8_t* bgr, int width, int height) {
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    const uint8_t* in = bgr + static_cast<size_t>(height - 1 - y) * width * 3;
    uint8_t* out = &rgb[static_cast<size_t>(y) * width * 3];
    for (int x = 0; x < width; ++x) {
      out[3 * x] = in[3 * x + 2];
      out[3 * x + 1] = in[3 * x + 1];
      out[3 * x + 2] = in[3 * x];
    }
  }
  return rgb;
}

namespace {

void AppendPngBytes(png_structp png, png_bytep data, png_size_t size) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + size);
}

void NoFlush(png_structp) {}

}  // namespace

bool WritePng(const std::string& path, const std::vector<uint8_t>& rgb, int width, int height, std::string* error) {
  // Encoded in memory, so that every failure of the file itself comes from one write with its errno.
  std::vector<uint8_t> encoded;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    *error = "libpng: out of memory";
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    *error = path + ": libpng failed";
    return false;
  }
  png_set_write_fn(png, &encoded, AppendPngBytes, NoFlush);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y)
    png_write_row(png, const_cast<png_bytep>(&rgb[static_cast<size_t>(y) * width * 3]));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return WriteBytes(path, encoded.data(), encoded.size(), error);
}

bool WriteBytes(const std::string& path, const uint8_t* data, size_t size, std::string* error) {
  // Written under a temporary name and renamed once whole: no frame file is ever left half written.
  const std::string part = path + ".part";
  FILE* file = std::fopen(part.c_str(), "wb");
  bool ok = file && std::fwrite(data, 1, size, file) == size && std::fflush(file) == 0;
  int reason = ok ? 0 : errno;
  if (file && std::fclose(file) != 0 && ok) {
    ok = false;
    reason = errno;
  }
  if (ok && std::rename(part.c_str(), path.c_str()) != 0) {
    ok = false;
    reason = errno;
  }
  if (!ok) {
    std::remove(part.c_str());
    *error = path + ": " + std::strerror(reason);
  }
  return ok;
}

}  // namespace kvz::capture
