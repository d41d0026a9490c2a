#include "support/jpeg_oracle.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

namespace kvz::jpegtest {
namespace {

struct ErrorManager {
  jpeg_error_mgr base;
  jmp_buf escape;
  int warnings;
};

void ExitOnError(j_common_ptr cinfo) { longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->escape, 1); }

void CountWarning(j_common_ptr cinfo, int level) {
  if (level < 0) ++reinterpret_cast<ErrorManager*>(cinfo->err)->warnings;
}

void InstallErrors(ErrorManager* errors) {
  jpeg_std_error(&errors->base);
  errors->base.error_exit = ExitOnError;
  errors->base.emit_message = CountWarning;
  errors->warnings = 0;
}

int Clamp255(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

// Scripts for three components or one.
std::vector<jpeg_scan_info> Script(Progression progression, int components) {
  std::vector<jpeg_scan_info> scans;
  auto add = [&](int count, int c0, int ss, int se, int ah, int al) {
    jpeg_scan_info s = {};
    s.comps_in_scan = count;
    for (int i = 0; i < count; ++i) s.component_index[i] = c0 + i;
    s.Ss = ss;
    s.Se = se;
    s.Ah = ah;
    s.Al = al;
    scans.push_back(s);
  };
  switch (progression) {
    case Progression::kSpectralOnly:
      add(components, 0, 0, 0, 0, 0);
      for (int c = 0; c < components; ++c) {
        add(1, c, 1, 5, 0, 0);
        add(1, c, 6, 63, 0, 0);
      }
      break;
    case Progression::kSeparateDc:
      for (int c = 0; c < components; ++c) add(1, c, 0, 0, 0, 0);
      for (int c = 0; c < components; ++c) add(1, c, 1, 63, 0, 0);
      break;
    case Progression::kSuccessive:
      add(components, 0, 0, 0, 0, 1);
      for (int c = 0; c < components; ++c) add(1, c, 1, 63, 0, 2);
      for (int c = 0; c < components; ++c) add(1, c, 1, 63, 2, 1);
      add(components, 0, 0, 0, 1, 0);
      for (int c = 0; c < components; ++c) add(1, c, 1, 63, 1, 0);
      break;
    default:
      break;
  }
  return scans;
}

std::vector<uint8_t> StripHuffmanTables(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out(in.begin(), in.begin() + 2);
  size_t at = 2;
  while (at + 4 <= in.size() && in[at] == 0xFF && in[at + 1] != 0xDA) {
    const size_t len = static_cast<size_t>(in[at + 2]) << 8 | in[at + 3];
    if (in[at + 1] != 0xC4) out.insert(out.end(), in.begin() + at, in.begin() + at + 2 + len);
    at += 2 + len;
  }
  out.insert(out.end(), in.begin() + at, in.end());
  return out;
}

}  // namespace

Picture MakePicture(int width, int height, uint32_t seed) {
  Picture p;
  p.width = width;
  p.height = height;
  p.rgb.resize(static_cast<size_t>(width) * height * 3);
  uint32_t noise = seed * 2654435761u + 1;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      noise = noise * 1664525u + 1013904223u;
      const int n = static_cast<int>(noise >> 28) - 8;
      int r = 40 + x * 180 / (width > 1 ? width - 1 : 1) + n;
      int g = 200 - y * 150 / (height > 1 ? height - 1 : 1) + n;
      int b = 90 + ((x + 2 * y) * 3 % 120) + n;
      // A saturated block with sharp edges, a third of the way in.
      if (x >= width / 3 && x < width / 3 + width / 5 + 3 && y >= height / 3 && y < height / 3 + height / 5 + 3) {
        r = 230;
        g = 30;
        b = 60 + (y & 1) * 120;
      }
      uint8_t* px = &p.rgb[(static_cast<size_t>(y) * width + x) * 3];
      px[0] = static_cast<uint8_t>(Clamp255(r));
      px[1] = static_cast<uint8_t>(Clamp255(g));
      px[2] = static_cast<uint8_t>(Clamp255(b));
    }
  }
  return p;
}

std::vector<uint8_t> MakeYuy2(int width, int height, uint32_t seed) {
  const Picture p = MakePicture(width, height, seed);
  std::vector<uint8_t> yuy2(static_cast<size_t>(width) * height * 2);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; x += 2) {
      int cb = 0;
      int cr = 0;
      for (int i = 0; i < 2; ++i) {
        const int xx = x + i < width ? x + i : x;
        const uint8_t* px = &p.rgb[(static_cast<size_t>(y) * width + xx) * 3];
        const int yy = (19595 * px[0] + 38470 * px[1] + 7471 * px[2] + 32768) >> 16;
        cb += ((-11059 * px[0] - 21709 * px[1] + 32768 * px[2] + 8421375) >> 16);
        cr += ((32768 * px[0] - 27439 * px[1] - 5329 * px[2] + 8421375) >> 16);
        if (x + i < width) yuy2[(static_cast<size_t>(y) * width + x + i) * 2] = static_cast<uint8_t>(yy);
      }
      uint8_t* pair = &yuy2[(static_cast<size_t>(y) * width + x) * 2];
      pair[1] = static_cast<uint8_t>(cb / 2);
      if (x + 1 < width) pair[3] = static_cast<uint8_t>(cr / 2);
    }
  }
  return yuy2;
}

std::string Describe(const EncodeOptions& o) {
  static const char* const kSampling[] = {"444", "422", "420", "grey"};
  static const char* const kProgression[] = {"", " progressive", " spectral-only", " separate-dc", " successive"};
  std::string s = kSampling[static_cast<int>(o.sampling)];
  s += " q" + std::to_string(o.quality);
  if (o.optimize) s += " optimised";
  if (o.restartMcus) s += " restart " + std::to_string(o.restartMcus);
  if (o.restartRows) s += " restart-rows " + std::to_string(o.restartRows);
  s += kProgression[static_cast<int>(o.progression)];
  if (o.stripHuffmanTables) s += " no-DHT";
  return s;
}

std::vector<uint8_t> TurboEncode(const Picture& picture, const EncodeOptions& options) {
  jpeg_compress_struct cinfo;
  ErrorManager errors;
  InstallErrors(&errors);
  cinfo.err = &errors.base;
  unsigned char* mem = nullptr;
  unsigned long size = 0;
  std::vector<jpeg_scan_info> scans;
  if (setjmp(errors.escape)) {
    jpeg_destroy_compress(&cinfo);
    free(mem);
    return {};
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &mem, &size);
  cinfo.image_width = static_cast<JDIMENSION>(picture.width);
  cinfo.image_height = static_cast<JDIMENSION>(picture.height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  const bool grey = options.sampling == Sampling::kGrey;
  if (grey) jpeg_set_colorspace(&cinfo, JCS_GRAYSCALE);
  jpeg_set_quality(&cinfo, options.quality, TRUE);
  if (!grey) {
    const int h = options.sampling == Sampling::k444 ? 1 : 2;
    const int v = options.sampling == Sampling::k420 ? 2 : 1;
    cinfo.comp_info[0].h_samp_factor = h;
    cinfo.comp_info[0].v_samp_factor = v;
    for (int c = 1; c < 3; ++c) cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
  }
  cinfo.optimize_coding = options.optimize ? TRUE : FALSE;
  cinfo.restart_interval = static_cast<unsigned>(options.restartMcus);
  cinfo.restart_in_rows = options.restartRows;
  cinfo.dct_method = JDCT_ISLOW;
  if (options.progression == Progression::kSimple) {
    jpeg_simple_progression(&cinfo);
  } else if (options.progression != Progression::kNone) {
    scans = Script(options.progression, grey ? 1 : 3);
    cinfo.scan_info = scans.data();
    cinfo.num_scans = static_cast<int>(scans.size());
  }
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(&picture.rgb[static_cast<size_t>(cinfo.next_scanline) * picture.width * 3]);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  std::vector<uint8_t> out(mem, mem + size);
  jpeg_destroy_compress(&cinfo);
  free(mem);
  return options.stripHuffmanTables ? StripHuffmanTables(out) : out;
}

namespace {

// One decompression pass with the given output colour space (JCS_UNKNOWN: raw planes).
bool DecodePass(const std::vector<uint8_t>& stream, J_COLOR_SPACE space, TurboDecoded* result) {
  jpeg_decompress_struct cinfo;
  ErrorManager errors;
  InstallErrors(&errors);
  cinfo.err = &errors.base;
  if (setjmp(errors.escape)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, stream.data(), static_cast<unsigned long>(stream.size()));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.dct_method = JDCT_ISLOW;
  // A progressive frame that ends early is shown as its coefficients say, not smoothed.
  cinfo.do_block_smoothing = FALSE;
  const bool raw = space == JCS_UNKNOWN;
  if (raw) {
    cinfo.raw_data_out = TRUE;
  } else {
    cinfo.out_color_space = cinfo.num_components == 1 && space == JCS_YCbCr ? JCS_GRAYSCALE : space;
  }
  jpeg_start_decompress(&cinfo);
  const int w = static_cast<int>(cinfo.output_width);
  const int h = static_cast<int>(cinfo.output_height);
  result->width = w;
  result->height = h;
  result->restartInterval = static_cast<int>(cinfo.restart_interval);
  for (int q = 0; q < 4; ++q) {
    result->quant[q].clear();
    if (cinfo.quant_tbl_ptrs[q]) result->quant[q].assign(cinfo.quant_tbl_ptrs[q]->quantval, cinfo.quant_tbl_ptrs[q]->quantval + 64);
  }
  if (raw) {
    const int n = cinfo.num_components;
    result->planes.assign(n, {});
    std::vector<std::vector<uint8_t>> buffers(n);
    std::vector<std::vector<JSAMPROW>> rows(n);
    std::vector<JSAMPARRAY> arrays(n);
    for (int c = 0; c < n; ++c) {
      const jpeg_component_info& ci = cinfo.comp_info[c];
      const int stride = static_cast<int>(ci.width_in_blocks) * 8;
      buffers[c].resize(static_cast<size_t>(stride) * ci.v_samp_factor * 8);
      rows[c].resize(ci.v_samp_factor * 8);
      for (size_t r = 0; r < rows[c].size(); ++r) rows[c][r] = &buffers[c][r * stride];
      arrays[c] = rows[c].data();
      result->planes[c].width = static_cast<int>(ci.downsampled_width);
      result->planes[c].height = static_cast<int>(ci.downsampled_height);
    }
    const int groupRows = cinfo.max_v_samp_factor * 8;
    for (int group = 0; cinfo.output_scanline < cinfo.output_height; ++group) {
      jpeg_read_raw_data(&cinfo, arrays.data(), static_cast<JDIMENSION>(groupRows));
      for (int c = 0; c < n; ++c) {
        TurboDecoded::Plane& p = result->planes[c];
        const int rowsPerGroup = cinfo.comp_info[c].v_samp_factor * 8;
        for (int r = 0; r < rowsPerGroup; ++r) {
          const int y = group * rowsPerGroup + r;
          if (y >= p.height) break;
          p.samples.insert(p.samples.end(), rows[c][r], rows[c][r] + p.width);
        }
      }
    }
  } else {
    std::vector<uint8_t>& target = space == JCS_EXT_BGR ? result->bgr : result->ycc;
    const int channels = static_cast<int>(cinfo.output_components);
    std::vector<uint8_t> pixels(static_cast<size_t>(w) * h * channels);
    while (cinfo.output_scanline < cinfo.output_height) {
      JSAMPROW row = &pixels[static_cast<size_t>(cinfo.output_scanline) * w * channels];
      jpeg_read_scanlines(&cinfo, &row, 1);
    }
    // Grey frames come out with one channel: give every pixel three equal ones.
    if (channels == 1) {
      target.resize(pixels.size() * 3);
      for (size_t i = 0; i < pixels.size(); ++i) {
        target[3 * i] = pixels[i];
        target[3 * i + 1] = space == JCS_EXT_BGR ? pixels[i] : 128;
        target[3 * i + 2] = space == JCS_EXT_BGR ? pixels[i] : 128;
      }
    } else {
      target = std::move(pixels);
    }
  }
  jpeg_finish_decompress(&cinfo);
  result->warnings += errors.warnings;
  jpeg_destroy_decompress(&cinfo);
  return true;
}

}  // namespace

TurboDecoded TurboDecode(const std::vector<uint8_t>& stream) {
  TurboDecoded result;
  result.ok = DecodePass(stream, JCS_EXT_BGR, &result) && DecodePass(stream, JCS_YCbCr, &result) &&
              DecodePass(stream, JCS_UNKNOWN, &result);
  return result;
}

Coefficients TurboReadCoefficients(const std::vector<uint8_t>& stream) {
  Coefficients result;
  jpeg_decompress_struct cinfo;
  ErrorManager errors;
  InstallErrors(&errors);
  cinfo.err = &errors.base;
  if (setjmp(errors.escape)) {
    jpeg_destroy_decompress(&cinfo);
    return result;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, stream.data(), static_cast<unsigned long>(stream.size()));
  jpeg_read_header(&cinfo, TRUE);
  jvirt_barray_ptr* arrays = jpeg_read_coefficients(&cinfo);
  for (int c = 0; c < cinfo.num_components; ++c) {
    const jpeg_component_info& ci = cinfo.comp_info[c];
    const int wide = static_cast<int>(ci.width_in_blocks);
    const int high = static_cast<int>(ci.height_in_blocks);
    result.blocksWide.push_back(wide);
    result.blocksHigh.push_back(high);
    std::vector<int16_t> values;
    for (int by = 0; by < high; ++by) {
      JBLOCKARRAY row = (*cinfo.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&cinfo), arrays[c],
                                                          static_cast<JDIMENSION>(by), 1, FALSE);
      for (int bx = 0; bx < wide; ++bx) values.insert(values.end(), row[0][bx], row[0][bx] + 64);
    }
    result.values.push_back(std::move(values));
  }
  jpeg_finish_decompress(&cinfo);
  result.warnings = errors.warnings;
  result.ok = true;
  jpeg_destroy_decompress(&cinfo);
  return result;
}

long FindSegment(const std::vector<uint8_t>& stream, uint8_t code) {
  for (size_t i = 0; i + 1 < stream.size(); ++i) {
    if (stream[i] == 0xFF && stream[i + 1] == code) return static_cast<long>(i);
  }
  return -1;
}

int MaxDifference(const uint8_t* a, const uint8_t* b, size_t count) {
  int worst = 0;
  for (size_t i = 0; i < count; ++i) {
    const int d = a[i] > b[i] ? a[i] - b[i] : b[i] - a[i];
    if (d > worst) worst = d;
  }
  return worst;
}

}  // namespace kvz::jpegtest
