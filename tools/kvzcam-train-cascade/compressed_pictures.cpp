// PNG and JPEG pictures of the training data, read with libpng and libjpeg-turbo.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>
#include <png.h>

#include "image_io.h"

namespace kvz::train {
namespace {

uint8_t Luma(int r, int g, int b) {
  return static_cast<uint8_t>((19595 * r + 38470 * g + 7471 * b + 32768) >> 16);
}

bool LoadPngFile(const std::string& path, Grey* out) {
  png_image image;
  std::memset(&image, 0, sizeof(image));
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) return false;
  out->width = image.width;
  out->height = image.height;
  out->pixels.resize(static_cast<size_t>(image.width) * image.height);
  for (size_t i = 0; i < out->pixels.size(); ++i) out->pixels[i] = Luma(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
  return true;
}

bool LoadJpegFile(const std::string& path, Grey* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_decompress(&cinfo);
  jpeg_stdio_src(&cinfo, f);
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_GRAYSCALE;
  jpeg_start_decompress(&cinfo);
  out->width = cinfo.output_width;
  out->height = cinfo.output_height;
  out->pixels.resize(static_cast<size_t>(out->width) * out->height);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out->pixels.data() + static_cast<size_t>(cinfo.output_scanline) * out->width;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  std::fclose(f);
  return true;
}

}  // namespace

void UseCompressedPictures() {
  LoadPngPicture = LoadPngFile;
  LoadJpegPicture = LoadJpegFile;
}

}  // namespace kvz::train
