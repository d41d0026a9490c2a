// The JPEG codec on camera-like 4:2:2 frames at 720p and 1080p, quality 95, no DHT, restart
// interval 0 and one MCU row, single thread: decode to YUY2, decode to BGR24 and encode YUY2,
// in every processor build; next to libjpeg-turbo (raw planes in and out, islow) at its own
// SIMD choice, or SSE2 when the run has JSIMD_FORCESSE2=1 in its environment.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "jpeg/jpeg_constants.h"
#include "jpeg/jpeg_decoder.h"
#include "jpeg/jpeg_encoder.h"
#include "jpeg/mjpeg_decoder.h"
#include "primitives/build.h"
#include "primitives/build_selection.h"

namespace kvz::bench {
namespace {

#define KVZ_BUILD_NAME_ENTRY(ns) #ns,
const char* const kBuildNames[] = {KVZ_FOR_EACH_BUILD(KVZ_BUILD_NAME_ENTRY)};
#undef KVZ_BUILD_NAME_ENTRY

// The codec on one build: the selection is made at start (bench_main.cpp), so the codec makes
// none later, and the dispatch index names the build.
void RunOnBuild(int32_t slot) { prim::PrimitiveDispatchIndex.store(slot); }

struct Case {
  int width;
  int height;
  bool restartRows;
};
constexpr Case kCases[] = {{1280, 720, false}, {1280, 720, true}, {1920, 1080, false}, {1920, 1080, true}};

std::string Label(const Case& c) {
  return std::to_string(c.width) + "x" + std::to_string(c.height) + (c.restartRows ? "/restart-row" : "/restart-0");
}

// Camera-like YUY2: gradients, a few sharp edges, sensor noise.
std::vector<uint8_t> CameraFrame(int width, int height) {
  std::vector<uint8_t> yuy2(static_cast<size_t>(width) * height * 2);
  uint32_t noise = 7;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      noise = noise * 1664525u + 1013904223u;
      int luma = 60 + (x * 120) / width + (y * 50) / height + static_cast<int>(noise >> 29);
      if ((x / 97 + y / 61) % 5 == 0) luma += 60;
      uint8_t* px = &yuy2[(static_cast<size_t>(y) * width + x) * 2];
      px[0] = static_cast<uint8_t>(luma > 255 ? 255 : luma);
      px[1] = static_cast<uint8_t>((x & 1) ? 128 + (y * 40) / height : 110 + (x * 30) / width);
    }
  }
  return yuy2;
}

struct Planes {
  std::vector<uint8_t> y, cb, cr;
};

Planes Split(const std::vector<uint8_t>& yuy2, int width, int height) {
  Planes p;
  p.y.resize(static_cast<size_t>(width) * height);
  p.cb.resize(p.y.size() / 2);
  p.cr.resize(p.y.size() / 2);
  for (size_t i = 0; i < p.y.size() / 2; ++i) {
    p.y[2 * i] = yuy2[4 * i];
    p.cb[i] = yuy2[4 * i + 1];
    p.y[2 * i + 1] = yuy2[4 * i + 2];
    p.cr[i] = yuy2[4 * i + 3];
  }
  return p;
}

// libjpeg-turbo encoding 4:2:2 planes: the stream our decoder benchmarks read (DHT removed, as
// cameras send it) and the encode benchmark of libjpeg-turbo itself.
std::vector<uint8_t> TurboEncode(const Planes& p, int width, int height, bool restartRows, bool stripDht) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* mem = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &mem, &size);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_YCbCr;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 95, TRUE);
  cinfo.raw_data_in = TRUE;
  cinfo.dct_method = JDCT_ISLOW;
  cinfo.comp_info[0].h_samp_factor = 2;
  cinfo.comp_info[0].v_samp_factor = 1;
  cinfo.restart_in_rows = restartRows ? 1 : 0;
  jpeg_start_compress(&cinfo, TRUE);
  JSAMPROW rows[3][8];
  JSAMPARRAY arrays[3] = {rows[0], rows[1], rows[2]};
  for (int y = 0; y < height; y += 8) {
    for (int r = 0; r < 8; ++r) {
      const int row = y + r < height ? y + r : height - 1;
      rows[0][r] = const_cast<JSAMPROW>(&p.y[static_cast<size_t>(row) * width]);
      rows[1][r] = const_cast<JSAMPROW>(&p.cb[static_cast<size_t>(row) * width / 2]);
      rows[2][r] = const_cast<JSAMPROW>(&p.cr[static_cast<size_t>(row) * width / 2]);
    }
    jpeg_write_raw_data(&cinfo, arrays, 8);
  }
  jpeg_finish_compress(&cinfo);
  std::vector<uint8_t> out(mem, mem + size);
  jpeg_destroy_compress(&cinfo);
  free(mem);
  if (!stripDht) return out;
  std::vector<uint8_t> stripped(out.begin(), out.begin() + 2);
  size_t at = 2;
  while (at + 4 <= out.size() && out[at] == 0xFF && out[at + 1] != 0xDA) {
    const size_t len = static_cast<size_t>(out[at + 2]) << 8 | out[at + 3];
    if (out[at + 1] != 0xC4) stripped.insert(stripped.end(), out.begin() + at, out.begin() + at + 2 + len);
    at += 2 + len;
  }
  stripped.insert(stripped.end(), out.begin() + at, out.end());
  return stripped;
}

void TurboDecode(const std::vector<uint8_t>& stream, bool bgr, uint8_t* out, int width) {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, stream.data(), static_cast<unsigned long>(stream.size()));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.dct_method = JDCT_ISLOW;
  if (bgr) {
    cinfo.out_color_space = JCS_EXT_BGR;
  } else {
    cinfo.raw_data_out = TRUE;
  }
  jpeg_start_decompress(&cinfo);
  const size_t pixels = static_cast<size_t>(width) * cinfo.output_height;
  while (cinfo.output_scanline < cinfo.output_height) {
    if (bgr) {
      JSAMPROW row = out + static_cast<size_t>(cinfo.output_scanline) * width * 3;
      jpeg_read_scanlines(&cinfo, &row, 1);
    } else {
      JSAMPROW rows[3][8];
      JSAMPARRAY arrays[3] = {rows[0], rows[1], rows[2]};
      for (int r = 0; r < 8; ++r) {
        const size_t row = cinfo.output_scanline + r;
        rows[0][r] = out + row * width;
        rows[1][r] = out + pixels + row * width / 2;
        rows[2][r] = out + pixels * 3 / 2 + row * width / 2;
      }
      jpeg_read_raw_data(&cinfo, arrays, 8);
    }
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
}

void Register() {
  const bool forcedSse2 = getenv("JSIMD_FORCESSE2") != nullptr;
  const std::string turbo = forcedSse2 ? "/turbo-sse2/" : "/turbo-default/";
  for (const Case& c : kCases) {
    const size_t pixels = static_cast<size_t>(c.width) * c.height;
    const std::vector<uint8_t> frame = CameraFrame(c.width, c.height);
    const Planes planes = Split(frame, c.width, c.height);
    const std::vector<uint8_t> stream = TurboEncode(planes, c.width, c.height, c.restartRows, true);
    // Our builds run in either case, so that each comparison is made within one run.
    {
      for (int32_t slot = 0; slot < KVZ_BUILD_COUNT; ++slot) {
        const std::string build = std::string("/") + kBuildNames[slot] + "/";
        for (const int32_t format : {kPixelYuy2, kPixelRgb24}) {
          const std::string name =
              std::string(format == kPixelYuy2 ? "JpegDecodeYuy2" : "JpegDecodeBgr24") + build + Label(c);
          benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
            RunOnBuild(slot);
            // The decode entry on a state with the standard tables, as the decoder object holds it.
            jpeg::JpegDecoder* decoder = new jpeg::JpegDecoder();
            decoder->Reset();
            decoder->InstallStandardTables();
            const int64_t size = jpeg::JpegOutputSize(format, c.width, c.height);
            std::vector<uint8_t> out(static_cast<size_t>(size));
            int32_t w = 0;
            int32_t h = 0;
            for (auto _ : state) {
              if (jpeg::JpegDecodeFrame(static_cast<int32_t>(stream.size()), stream.data(), out.data(),
                                        static_cast<int32_t>(size), &w, &h, format, jpeg::kVendorOther,
                                        decoder) != 0) {
                state.SkipWithError("decode failed");
                break;
              }
              benchmark::ClobberMemory();
            }
            decoder->FreeStandardTables();
            delete decoder;
            prim::SelectBuild();  // back to the processor's build
          });
        }
        benchmark::RegisterBenchmark(("JpegEncodeYuy2" + build + Label(c)).c_str(), [=](benchmark::State& state) {
          RunOnBuild(slot);
          std::vector<uint8_t> out(pixels * 2);
          jpeg::JpegEncoder encoder;
          const int32_t restart = c.restartRows ? c.width / 16 : 0;
          for (auto _ : state) {
            int32_t length = 0;
            if (jpeg::JpegEncodeFrame(frame.data(), kPixelYuy2, 2, out.data(), static_cast<int32_t>(out.size()),
                                      &length, c.width, c.height, 95, restart, 1, &encoder) != 0) {
              state.SkipWithError("encode failed");
              break;
            }
            benchmark::ClobberMemory();
          }
          prim::SelectBuild();  // back to the processor's build
        });
      }
    }
    benchmark::RegisterBenchmark(("JpegDecodeYuy2" + turbo + Label(c)).c_str(), [=](benchmark::State& state) {
      std::vector<uint8_t> out(pixels * 2);
      for (auto _ : state) TurboDecode(stream, false, out.data(), c.width);
    });
    benchmark::RegisterBenchmark(("JpegDecodeBgr24" + turbo + Label(c)).c_str(), [=](benchmark::State& state) {
      std::vector<uint8_t> out(pixels * 3);
      for (auto _ : state) TurboDecode(stream, true, out.data(), c.width);
    });
    benchmark::RegisterBenchmark(("JpegEncodeYuy2" + turbo + Label(c)).c_str(), [=](benchmark::State& state) {
      for (auto _ : state) benchmark::DoNotOptimize(TurboEncode(planes, c.width, c.height, c.restartRows, false));
    });
  }
}

const bool kRegistered = (Register(), true);

}  // namespace
}  // namespace kvz::bench
