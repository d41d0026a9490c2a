#include "jpeg_check.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace kvz::simcam::testing {
namespace {

struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

void OnError(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1); }

}  // namespace

JpegInfo DecodeJpeg(const std::vector<uint8_t>& jpeg) {
  JpegInfo d;
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  cinfo.err = jpeg_std_error(&err.base);
  err.base.error_exit = OnError;
  err.base.emit_message = [](j_common_ptr, int) {};
  jpeg_create_decompress(&cinfo);
  std::vector<uint8_t> row;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return JpegInfo{};
  }
  jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&cinfo);
    return d;
  }
  d.components = cinfo.num_components;
  d.h0 = cinfo.comp_info[0].h_samp_factor;
  d.v0 = cinfo.comp_info[0].v_samp_factor;
  d.h1 = cinfo.num_components > 1 ? cinfo.comp_info[1].h_samp_factor : 0;
  cinfo.out_color_space = JCS_YCbCr;
  jpeg_start_decompress(&cinfo);
  d.width = cinfo.output_width;
  d.height = cinfo.output_height;
  row.resize(static_cast<size_t>(cinfo.output_width) * cinfo.output_components);
  double sum = 0;
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW rows[1] = {row.data()};
    jpeg_read_scanlines(&cinfo, rows, 1);
    for (unsigned x = 0; x < cinfo.output_width; ++x) sum += row[static_cast<size_t>(x) * cinfo.output_components];
  }
  d.meanY = sum / (static_cast<double>(d.width) * d.height);
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  d.ok = true;
  return d;
}

}  // namespace kvz::simcam::testing
