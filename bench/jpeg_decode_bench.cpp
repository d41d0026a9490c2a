// The JPEG decoder's hot primitives, every processor build side by side:
//   DecodeHuffmanBlock/<build>/<W>x<H>       every block of a real q95 4:2:0 stream written by
//                                            libjpeg-turbo; bytes are entropy-coded bytes
//   DequantizeInverseDct8x8/<build>/8x8      that stream's blocks with its quantisation tables
//   SampleUpH2V1/<build>/<W>x<H>             a 4:2:2 chroma plane to full width
//   YCbCrToBgr/<build>/<W>x<H>               three full planes to packed BGR
// The Huffman decoder is one portable member in every slot; its rows show the same code.
// DecodeHuffmanBlock/libjpeg-turbo is libjpeg-turbo's entropy decoding of the same stream.
#include <cstdint>
#include <string>
#include <vector>

#include "baseline_stream.h"
#include "bench_support.h"
#include "primitives/jpeg/huffman_decode.h"
#include "primitives/jpeg/inverse_colour.h"
#include "primitives/jpeg/inverse_dct.h"
#include "primitives/jpeg/upsample.h"

namespace {

using kvz::prim::HuffmanDecodeState;
using kvz::prim::HuffmanDecodeTable;
using kvz::prim::RoiSize;

struct DecodedStream {
  std::vector<uint8_t> bytes;
  kvz::test::BaselineStream header;
  HuffmanDecodeTable dc[2], ac[2];
  std::vector<int16_t> blocks;      // every block of the scan, natural order
  std::vector<int> blockQuant;      // quantisation table of each block
  uint16_t quant[2][64];
};

// Decodes the whole scan once; returns the blocks decoded.
int DecodeScan(const DecodedStream& s, int16_t* blocks) {
  HuffmanDecodeState st;
  kvz::prim::generic::InitHuffmanDecodeState(&st);
  int32_t pos = s.header.scanStart, marker = 0;
  int16_t pred[3] = {};
  int n = 0;
  const int32_t len = static_cast<int32_t>(s.bytes.size());
  kvz::test::ForEachScanBlock(s.header, [&](int ci, int, int, int) {
    const kvz::test::ScanComponent& c = s.header.components[static_cast<size_t>(ci)];
    kvz::prim::generic::DecodeHuffmanBlock(s.bytes.data(), len, &pos, blocks + 64 * n, &pred[ci], &marker,
                                           &s.dc[c.dcTable], &s.ac[c.acTable], &st);
    ++n;
  });
  return n;
}

const DecodedStream& Stream1080() {
  static const DecodedStream s = [] {
    DecodedStream d;
    d.bytes = kvz::test::EncodeBaseline(1920, 1080, 95, 0, 11);
    kvz::test::ParseBaseline(d.bytes, &d.header);
    for (int i = 0; i < 2; ++i) {
      kvz::prim::generic::InitHuffmanDecodeTable(d.header.dc[i].counts, d.header.dc[i].values, &d.dc[i]);
      kvz::prim::generic::InitHuffmanDecodeTable(d.header.ac[i].counts, d.header.ac[i].values, &d.ac[i]);
      kvz::prim::generic::InitInverseQuantTable(d.header.quant[i], d.quant[i]);
    }
    int total = 0;
    kvz::test::ForEachScanBlock(d.header, [&](int ci, int, int, int) {
      d.blockQuant.push_back(d.header.components[static_cast<size_t>(ci)].quantTable);
      ++total;
    });
    d.blocks.resize(static_cast<size_t>(total) * 64);
    DecodeScan(d, d.blocks.data());
    return d;
  }();
  return s;
}

#define KVZ_REGISTER_JPEG_DECODE_BUILD(ns)                                                          \
  {                                                                                                 \
    namespace p = kvz::prim::ns;                                                                    \
    benchmark::RegisterBenchmark("DecodeHuffmanBlock/" #ns "/1920x1080", [](benchmark::State& st) { \
      const DecodedStream& s = Stream1080();                                                        \
      std::vector<int16_t> out(s.blocks.size());                                                    \
      for (auto _ : st) benchmark::DoNotOptimize(DecodeScan(s, out.data()));                        \
      st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) *                                  \
                           static_cast<int64_t>(s.bytes.size() - s.header.scanStart));              \
    });                                                                                             \
    benchmark::RegisterBenchmark("DequantizeInverseDct8x8/" #ns "/8x8", [](benchmark::State& st) {  \
      const DecodedStream& s = Stream1080();                                                        \
      const size_t n = s.blockQuant.size();                                                         \
      alignas(16) uint8_t pixels[8 * 64];                                                           \
      size_t i = 0;                                                                                 \
      for (auto _ : st) {                                                                           \
        p::DequantizeInverseDct8x8(&s.blocks[64 * i], pixels + 8 * (i & 7), 64,                     \
                                   s.quant[s.blockQuant[i]]);                                       \
        if (++i == n) i = 0;                                                                        \
      }                                                                                             \
      benchmark::DoNotOptimize(pixels);                                                             \
      st.SetItemsProcessed(static_cast<int64_t>(st.iterations()));                                  \
    });                                                                                             \
    kvz::bench::RegisterFrames("SampleUpH2V1", #ns, 1, 2, [](uint8_t* in, uint8_t* out, RoiSize r) { \
      const int32_t srcStep = r.width / 2 + 2;                                                      \
      p::SampleUpH2V1(in + 1, srcStep, RoiSize{r.width / 2, r.height}, out, r.width, r);            \
    });                                                                                             \
    kvz::bench::RegisterFrames("YCbCrToBgr", #ns, 3, 3, [](uint8_t* in, uint8_t* out, RoiSize r) {  \
      const size_t plane = static_cast<size_t>(r.width) * r.height;                                 \
      const uint8_t* planes[3] = {in, in + plane, in + 2 * plane};                                  \
      p::YCbCrToBgr(planes, r.width, out, 3 * r.width, r);                                          \
    });                                                                                             \
  }

// The comparison: libjpeg-turbo's own entropy decoding of the same stream into coefficients.
void LibjpegTurboEntropyDecode(benchmark::State& st) {
  const DecodedStream& s = Stream1080();
  for (auto _ : st) {
    jpeg_decompress_struct d;
    jpeg_error_mgr err;
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, s.bytes.data(), static_cast<unsigned long>(s.bytes.size()));
    jpeg_read_header(&d, TRUE);
    benchmark::DoNotOptimize(jpeg_read_coefficients(&d));
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) *
                       static_cast<int64_t>(s.bytes.size() - s.header.scanStart));
}

const int kRegistered = [] {
  benchmark::RegisterBenchmark("DecodeHuffmanBlock/libjpeg-turbo/1920x1080", LibjpegTurboEntropyDecode);
  KVZ_FOR_EACH_BUILD(KVZ_REGISTER_JPEG_DECODE_BUILD)
  return 0;
}();

}  // namespace
