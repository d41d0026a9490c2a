#include "workload.h"

#include "primitives/dispatch.h"
#include "primitives/jpeg/huffman_decode.h"
#include "primitives/jpeg/huffman_encode.h"

namespace kvz::test {
namespace {

using prim::PrimitiveStatus;
using prim::RoiSize;

// Odd sizes and steps so that every row ends in a partial vector and no row starts aligned.
constexpr int32_t kW = 45, kH = 11;
constexpr int32_t kStep8 = kW * 4 + 7;       // bytes, 8-bit images of up to 4 channels
constexpr int32_t kStep16 = (kW * 4 + 5) * 2;  // bytes, 16-bit images of up to 4 channels
constexpr int32_t kImageBytes = (kH + 4) * kStep16 + 64;

alignas(16) uint8_t g_in[4][kImageBytes];
alignas(16) uint8_t g_out[4][kImageBytes];
uint32_t g_state;

uint32_t Next() {
  g_state ^= g_state << 13;
  g_state ^= g_state >> 17;
  g_state ^= g_state << 5;
  return g_state;
}

// Fresh inputs, and outputs set to a known pattern so that bytes a primitive skips count too.
void Reset(uint32_t seed) {
  g_state = seed * 2654435761u + 1;
  for (auto& buffer : g_in)
    for (uint8_t& b : buffer) b = static_cast<uint8_t>(Next() >> 24);
  for (auto& buffer : g_out)
    for (int32_t i = 0; i < kImageBytes; ++i) buffer[i] = static_cast<uint8_t>(i * 7);
}

struct Checksum {
  uint32_t h = 2166136261u;
  void Bytes(const void* p, int32_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    for (int32_t i = 0; i < n; ++i) h = (h ^ b[i]) * 16777619u;
  }
  void Status(PrimitiveStatus s) { Bytes(&s, sizeof s); }
  void Outputs() {
    for (const auto& buffer : g_out) Bytes(buffer, kImageBytes);
  }
};

int16_t* In16(int k) { return reinterpret_cast<int16_t*>(g_in[k]); }
int16_t* Out16(int k) { return reinterpret_cast<int16_t*>(g_out[k]); }

void ImageCopies(ChecksumSink sink) {
  const RoiSize roi = {kW, kH};
  const uint8_t* in3[3] = {g_in[0], g_in[1], g_in[2]};
  const uint8_t* in4[4] = {g_in[0], g_in[1], g_in[2], g_in[3]};
  uint8_t* out3[3] = {g_out[0], g_out[1], g_out[2]};
  uint8_t* out4[4] = {g_out[0], g_out[1], g_out[2], g_out[3]};
  int16_t* out16x3[3] = {Out16(0), Out16(1), Out16(2)};
  int16_t* out16x4[4] = {Out16(0), Out16(1), Out16(2), Out16(3)};
  struct Case {
    const char* name;
    int kind;
  };
  static const Case cases[] = {
      {"CopyImage8u", 0},         {"CopyImage16s", 1},         {"InterleavePlanes8uP3C3", 2},
      {"InterleavePlanes8uP4C4", 3}, {"SplitPixels8uC3P3", 4}, {"SplitPixels8uC4P4", 5},
      {"SplitPixels16sC3P3", 6},  {"SplitPixels16sC4P4", 7},   {"ConvertWordsToBytes", 8},
      {"ConvertBytesToWords", 9},
  };
  for (uint32_t c = 0; c < sizeof cases / sizeof cases[0]; ++c) {
    Reset(100 + c);
    Checksum sum;
    switch (cases[c].kind) {
      case 0: sum.Status(prim::CopyImage8u(g_in[0], kStep8, g_out[0], kStep8, roi)); break;
      case 1: sum.Status(prim::CopyImage16s(In16(0), kStep16, Out16(0), kStep16, roi)); break;
      case 2: sum.Status(prim::InterleavePlanes8uP3C3(in3, kStep8, g_out[0], kStep8, roi)); break;
      case 3: sum.Status(prim::InterleavePlanes8uP4C4(in4, kStep8, g_out[0], kStep8, roi)); break;
      case 4: sum.Status(prim::SplitPixels8uC3P3(g_in[0], kStep8, out3, kStep8, roi)); break;
      case 5: sum.Status(prim::SplitPixels8uC4P4(g_in[0], kStep8, out4, kStep8, roi)); break;
      case 6: sum.Status(prim::SplitPixels16sC3P3(In16(0), kStep16, out16x3, kStep16, roi)); break;
      case 7: sum.Status(prim::SplitPixels16sC4P4(In16(0), kStep16, out16x4, kStep16, roi)); break;
      case 8: sum.Status(prim::ConvertWordsToBytes(In16(0), kStep16, g_out[0], kStep8, roi)); break;
      case 9: sum.Status(prim::ConvertBytesToWords(g_in[0], kStep8, Out16(0), kStep16, roi)); break;
    }
    sum.Outputs();
    sink(cases[c].name, sum.h);
  }
}

void VectorMemory(ChecksumSink sink) {
  constexpr int32_t kCount = 1003;
  static const char* const names[] = {"CopyBytes", "ZeroBytes", "CopyWords", "ShiftLeftWords",
                                      "ShiftRightWords"};
  for (int kind = 0; kind < 5; ++kind) {
    Checksum sum;
    for (int32_t offset = 0; offset < 4; ++offset) {
      Reset(200 + 4 * kind + offset);
      switch (kind) {
        case 0: sum.Status(prim::CopyBytes(g_in[0] + offset, g_out[0] + 3 - offset, kCount)); break;
        case 1: sum.Status(prim::ZeroBytes(g_out[0] + offset, kCount)); break;
        case 2: sum.Status(prim::CopyWords(In16(0), Out16(0) + offset, kCount / 2)); break;
        default:
          for (int32_t shift = 0; shift < 17; shift += 3) {
            int16_t* words = In16(shift % 4) + offset;
            sum.Status(kind == 3 ? prim::ShiftLeftWords(shift, words, kCount / 2)
                                 : prim::ShiftRightWords(shift, words, kCount / 2));
            sum.Bytes(words, kCount);
          }
      }
      sum.Bytes(g_out[0], kImageBytes);
    }
    sink(names[kind], sum.h);
  }
}

void MirrorAndResize(ChecksumSink sink) {
  Checksum mirror;
  for (int32_t axis = 0; axis < 3; ++axis) {
    Reset(300 + axis);
    mirror.Status(prim::MirrorImage8uC3InPlace(g_in[0], kStep8, {kW, kH}, axis));
    mirror.Bytes(g_in[0], kImageBytes);
  }
  sink("MirrorImage8uC3InPlace", mirror.h);

  struct Case {
    const char* name;
    int32_t mode;
    RoiSize dstSize;
    double xFactor, yFactor;
  };
  // Packed 4:2:2: even widths and horizontal origin.
  static const Case cases[] = {
      {"ResizeImage8uC4/nearest", prim::kResizeNearest, {42, 14}, 0.93, 1.31},
      {"ResizeImage8uC4/linear", prim::kResizeLinear, {42, 14}, 0.93, 1.31},
      {"ResizeImage8uC4/cubic", prim::kResizeCubic, {42, 14}, 0.93, 1.31},
      {"ResizeImage8uC4/super", prim::kResizeSuper, {20, 7}, 0.47, 0.66},
  };
  for (uint32_t c = 0; c < sizeof cases / sizeof cases[0]; ++c) {
    Reset(310 + c);
    prim::ResizeRect rect = {2, 1, kW - 5, kH - 1};
    Checksum sum;
    sum.Status(prim::ResizeImage8uC4(g_in[0], {kW - 1, kH}, kStep8, &rect, g_out[0], kStep8,
                                     cases[c].dstSize, cases[c].xFactor, cases[c].yFactor,
                                     cases[c].mode));
    sum.Bytes(&rect, sizeof rect);
    sum.Outputs();
    sink(cases[c].name, sum.h);
  }
}

void ColourConversions(ChecksumSink sink) {
  const int32_t steps[3] = {kStep8, kStep8 / 2, kStep8 / 2};
  const uint8_t* in3[3] = {g_in[0], g_in[1], g_in[2]};
  uint8_t* out3[3] = {g_out[0], g_out[1], g_out[2]};
  const RoiSize even = {kW - 1, kH - 1};
  Checksum sum;
  Reset(400);
  sum.Status(prim::RgbToYuv420(g_in[0], kStep8, out3, steps, even));
  sum.Outputs();
  sink("RgbToYuv420", sum.h);
  Reset(401);
  sum = Checksum();
  sum.Status(prim::Yuv420ToBgr(in3, steps, g_out[0], kStep8, even));
  sum.Outputs();
  sink("Yuv420ToBgr", sum.h);
  Reset(402);
  sum = Checksum();
  sum.Status(prim::YuvToRgb(in3, kStep8, g_out[0], kStep8, {kW, kH}));
  sum.Outputs();
  sink("YuvToRgb", sum.h);
  Reset(403);
  sum = Checksum();
  sum.Status(prim::Yuy2ToPlanar422(g_in[0], kStep8, out3, steps, even));
  sum.Outputs();
  sink("Yuy2ToPlanar422", sum.h);
}

void JpegSampling(ChecksumSink sink) {
  const uint8_t* in3[3] = {g_in[0], g_in[1], g_in[2]};
  const uint8_t* in4[4] = {g_in[0], g_in[1], g_in[2], g_in[3]};
  uint8_t* out3[3] = {g_out[0], g_out[1], g_out[2]};
  uint8_t* out4[4] = {g_out[0], g_out[1], g_out[2], g_out[3]};
  const RoiSize roi = {kW, kH};
  struct Case {
    const char* name;
    int kind;
  };
  static const Case cases[] = {
      {"SampleUpH2V1", 0}, {"SampleUpH2V2", 1}, {"YCbCrToRgb", 2},       {"YCbCrToBgr", 3},
      {"YcckToCmyk", 4},   {"RgbToY", 5},       {"RgbToYCbCr", 6},       {"BgrToYCbCr", 7},
      {"CmykToYcck", 8},   {"SampleDownRowH2V1", 9}, {"SampleDownRowH2V2", 10},
  };
  for (uint32_t c = 0; c < sizeof cases / sizeof cases[0]; ++c) {
    Reset(500 + c);
    Checksum sum;
    // The up-samplers read one sample beyond every edge: start a row and a sample in.
    const uint8_t* inner = g_in[0] + kStep8 + 1;
    const RoiSize half = {(kW + 1) / 2, (kH + 1) / 2};
    switch (cases[c].kind) {
      case 0: sum.Status(prim::SampleUpH2V1(inner, kStep8, half, g_out[0], kStep8, {kW, half.height})); break;
      case 1: sum.Status(prim::SampleUpH2V2(inner, kStep8, half, g_out[0], kStep8, roi)); break;
      case 2: sum.Status(prim::YCbCrToRgb(in3, kStep8, g_out[0], kStep8, roi)); break;
      case 3: sum.Status(prim::YCbCrToBgr(in3, kStep8, g_out[0], kStep8, roi)); break;
      case 4: sum.Status(prim::YcckToCmyk(in4, kStep8, g_out[0], kStep8, roi)); break;
      case 5: sum.Status(prim::RgbToY(g_in[0], kStep8, g_out[0], kStep8, roi)); break;
      case 6: sum.Status(prim::RgbToYCbCr(g_in[0], kStep8, out3, kStep8, roi)); break;
      case 7: sum.Status(prim::BgrToYCbCr(g_in[0], kStep8, out3, kStep8, roi)); break;
      case 8: sum.Status(prim::CmykToYcck(g_in[0], kStep8, out4, kStep8, roi)); break;
      case 9:
        for (int32_t n = 2; n <= 2 * kW; n += 7) sum.Status(prim::SampleDownRowH2V1(g_in[0], n, g_out[0] + n));
        break;
      case 10:
        for (int32_t n = 2; n <= 2 * kW; n += 7)
          sum.Status(prim::SampleDownRowH2V2(g_in[0], g_in[1], n, g_out[0] + n));
        break;
    }
    sum.Outputs();
    sink(cases[c].name, sum.h);
  }
}

void Lossless(ChecksumSink sink) {
  constexpr int32_t kCount = 77;
  Checksum diff, recon;
  for (int32_t predictor = 1; predictor <= 7; ++predictor) {
    Reset(600 + predictor);
    uint16_t* samples = reinterpret_cast<uint16_t*>(g_in[0]);
    uint16_t* previous = reinterpret_cast<uint16_t*>(g_in[1]);
    for (int32_t i = 0; i < kCount; ++i) {
      samples[i] &= 0x0FFF;
      previous[i] &= 0x0FFF;
    }
    diff.Status(prim::DiffPredFirstRow(samples, Out16(0), kCount, 12, predictor % 3));
    diff.Status(prim::DiffPredRow(samples, previous, Out16(1), kCount, predictor));
    recon.Status(prim::ReconstructPredFirstRow(In16(2), reinterpret_cast<uint16_t*>(Out16(2)), kCount, 12,
                                               predictor % 3));
    recon.Status(prim::ReconstructPredRow(In16(3), previous, reinterpret_cast<uint16_t*>(Out16(3)), kCount,
                                          predictor));
    diff.Bytes(g_out[0], 2 * kCount);
    diff.Bytes(g_out[1], 2 * kCount);
    recon.Bytes(g_out[2], 2 * kCount);
    recon.Bytes(g_out[3], 2 * kCount);
  }
  sink("DiffPred", diff.h);
  sink("ReconstructPred", recon.h);
}

// A DC list of 12 four-bit codes and an AC list of all 162 symbols as eight-bit codes: complete
// enough for every coefficient the forward DCT can give.
struct HuffmanLists {
  uint8_t dcCounts[16] = {0, 0, 0, 12};
  uint8_t dcValues[12];
  uint8_t acCounts[16] = {0, 0, 0, 0, 0, 0, 0, 162};
  uint8_t acValues[162];
  HuffmanLists() {
    for (int i = 0; i < 12; ++i) dcValues[i] = static_cast<uint8_t>(i);
    int n = 0;
    acValues[n++] = 0x00;
    acValues[n++] = 0xF0;
    for (int r = 0; r < 16; ++r)
      for (int s = 1; s <= 10; ++s) acValues[n++] = static_cast<uint8_t>(r << 4 | s);
  }
};

void DctAndHuffman(ChecksumSink sink) {
  constexpr int kBlocks = 6;
  Reset(700);
  Checksum tables, fdct, idct, encode, decode;
  uint8_t raw[64];
  for (uint8_t& q : raw) q = static_cast<uint8_t>(1 + (Next() >> 26));
  uint16_t forward[64], inverse[64];
  tables.Status(prim::ScaleQuantTable(raw, 85));
  tables.Status(prim::InitForwardQuantTable(raw, forward));
  tables.Status(prim::InitInverseQuantTable(raw, inverse));
  tables.Bytes(raw, sizeof raw);
  tables.Bytes(forward, sizeof forward);
  tables.Bytes(inverse, sizeof inverse);
  sink("QuantTables", tables.h);

  static int16_t blocks[kBlocks][64];
  for (int b = 0; b < kBlocks; ++b) {
    fdct.Status(prim::ForwardDctQuantize8x8(g_in[0] + 8 * b + 3, kStep8, blocks[b], forward));
    fdct.Bytes(blocks[b], sizeof blocks[b]);
    idct.Status(prim::DequantizeInverseDct8x8(blocks[b], g_out[0] + 8 * b + 1, kStep8, inverse));
  }
  idct.Outputs();
  sink("ForwardDctQuantize8x8", fdct.h);
  sink("DequantizeInverseDct8x8", idct.h);

  const HuffmanLists lists;
  prim::HuffmanEncodeTable dcEnc, acEnc;
  prim::HuffmanEncodeState encState;
  encode.Status(prim::InitHuffmanEncodeTable(lists.dcCounts, lists.dcValues, &dcEnc));
  encode.Status(prim::InitHuffmanEncodeTable(lists.acCounts, lists.acValues, &acEnc));
  encode.Status(prim::InitHuffmanEncodeState(&encState));
  static uint8_t stream[4096];
  int32_t length = 0;
  int16_t dcPredictor = 0;
  for (int b = 0; b < kBlocks; ++b)
    encode.Status(prim::EncodeHuffmanBlock(blocks[b], stream, sizeof stream, &length, &dcPredictor,
                                           &dcEnc, &acEnc, &encState, 0));
  encode.Status(prim::EncodeHuffmanBlock(nullptr, stream, sizeof stream, &length, nullptr, nullptr,
                                         nullptr, &encState, 1));
  encode.Bytes(&length, sizeof length);
  encode.Bytes(stream, length);
  sink("EncodeHuffmanBlock", encode.h);

  prim::HuffmanDecodeTable dcDec, acDec;
  prim::HuffmanDecodeState decState;
  decode.Status(prim::InitHuffmanDecodeTable(lists.dcCounts, lists.dcValues, &dcDec));
  decode.Status(prim::InitHuffmanDecodeTable(lists.acCounts, lists.acValues, &acDec));
  decode.Status(prim::InitHuffmanDecodeState(&decState));
  int32_t position = 0, marker = 0;
  dcPredictor = 0;
  for (int b = 0; b < kBlocks; ++b) {
    int16_t block[64] = {};
    decode.Status(prim::DecodeHuffmanBlock(stream, length, &position, block, &dcPredictor, &marker,
                                           &dcDec, &acDec, &decState));
    decode.Bytes(block, sizeof block);
  }
  decode.Bytes(&position, sizeof position);
  decode.Bytes(&marker, sizeof marker);
  sink("DecodeHuffmanBlock", decode.h);
}

}  // namespace

void RunPrimitiveWorkload(ChecksumSink sink) {
  ImageCopies(sink);
  VectorMemory(sink);
  MirrorAndResize(sink);
  ColourConversions(sink);
  JpegSampling(sink);
  Lossless(sink);
  DctAndHuffman(sink);
}

}  // namespace kvz::test
