#include "simcam/mjpeg_encoder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

#include "simcam/test_pattern.h"

namespace kvz::simcam {
namespace {

// Drops every DHT (0xFFC4) segment before the scan; the decoder then uses the standard tables.
std::vector<uint8_t> StripHuffmanTables(const std::vector<uint8_t>& jpeg) {
  std::vector<uint8_t> out;
  out.reserve(jpeg.size());
  size_t at = 0;
  if (jpeg.size() < 4) return jpeg;
  out.insert(out.end(), jpeg.begin(), jpeg.begin() + 2);
  at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
    const uint8_t marker = jpeg[at + 1];
    const size_t len = static_cast<size_t>(jpeg[at + 2]) << 8 | jpeg[at + 3];
    if (marker == 0xDA) break;  // start of scan: the rest is copied whole
    if (marker != 0xC4) out.insert(out.end(), jpeg.begin() + at, jpeg.begin() + at + 2 + len);
    at += 2 + len;
  }
  out.insert(out.end(), jpeg.begin() + at, jpeg.end());
  return out;
}

}  // namespace

std::vector<uint8_t> EncodeYuy2AsJpeg(const std::vector<uint8_t>& yuy2, uint16_t width, uint16_t height, int quality,
                                      bool withHuffmanTables) {
  // libjpeg ends the process on a size it cannot code; such a camera sends empty pictures.
  constexpr uint16_t kLargestSide = 65500;
  if (width == 0 || height == 0 || width > kLargestSide || height > kLargestSide ||
      yuy2.size() < static_cast<size_t>(width) * height * 2)
    return {};
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* mem = nullptr;
  unsigned long memSize = 0;
  jpeg_mem_dest(&cinfo, &mem, &memSize);
  cinfo.image_width = width;
  cinfo.image_height = height;
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_YCbCr;
  jpeg_set_defaults(&cinfo);
  jpeg_set_colorspace(&cinfo, JCS_YCbCr);
  cinfo.comp_info[0].h_samp_factor = 2;
  cinfo.comp_info[0].v_samp_factor = 1;
  cinfo.comp_info[1].h_samp_factor = 1;
  cinfo.comp_info[1].v_samp_factor = 1;
  cinfo.comp_info[2].h_samp_factor = 1;
  cinfo.comp_info[2].v_samp_factor = 1;
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  std::vector<uint8_t> row(static_cast<size_t>(width) * 3);
  while (cinfo.next_scanline < cinfo.image_height) {
    const uint8_t* src = yuy2.data() + static_cast<size_t>(cinfo.next_scanline) * width * 2;
    for (unsigned x = 0; x < width; ++x) {
      const size_t pair = (x & ~1u) * 2;
      row[x * 3] = src[x * 2];
      row[x * 3 + 1] = src[pair + 1];
      row[x * 3 + 2] = pair + 3 < static_cast<size_t>(width) * 2 ? src[pair + 3] : 128;
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  std::vector<uint8_t> out(mem, mem + memSize);
  jpeg_destroy_compress(&cinfo);
  free(mem);
  return withHuffmanTables ? out : StripHuffmanTables(out);
}

const std::vector<uint8_t>& MjpegFrameCache::Frame(uint16_t width, uint16_t height, uint64_t frameNumber,
                                                   bool withHuffmanTables) {
  const uint64_t phase = frameNumber % kPhases;
  auto key = std::make_tuple(width, height, phase, withHuffmanTables);
  auto it = cache_.find(key);
  if (it != cache_.end()) return it->second;
  const std::vector<uint8_t> picture = MakeYuy2Frame(width, height, phase);
  return cache_[key] = EncodeYuy2AsJpeg(picture, width, height, 80, withHuffmanTables);
}

}  // namespace kvz::simcam
