#include "jpeg/jpeg_encoder.h"

#include <wdm.h>

#include "jpeg/jpeg_tables.h"
#include "primitives/aligned_alloc.h"
#include "primitives/build_selection.h"
#include "primitives/dispatch.h"

namespace kvz::jpeg {
namespace {

constexpr int32_t kMcuWidth = 16;  // 4:2:2: two luma blocks across, one of each chroma
constexpr int32_t kMcuHeight = 8;

// APP0 "AVI1" as MJPEG frames carry it: version 1.1, 120 x 120 dots per inch, no thumbnail.
const uint8_t kApp0[] = {0xFF, 0xE0, 0x00, 0x21, 'A', 'V', 'I', '1', 0x00, 0x01, 0x01, 0x01, 0x00, 0x78,
                         0x00, 0x78, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
// SOS of the one interleaved scan: components 0, 1, 2 with table pairs 0/0, 1/1, 1/1.
const uint8_t kSos[] = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x00, 0x00, 0x01, 0x11, 0x02, 0x11, 0x00, 0x3F, 0x00};

int32_t AllocTable(prim::HuffmanEncodeTable** table, const HuffmanSpec& source) {
  int32_t size = 0;
  if (prim::GetHuffmanEncodeTableSize(&size) != 0 || size <= 0) return kJpegPrimitiveFailed;
  *table = reinterpret_cast<prim::HuffmanEncodeTable*>(prim::AllocAligned8u(size));
  if (!*table) return kJpegNoMemory;
  return prim::InitHuffmanEncodeTable(source.bits, source.values, *table) == 0 ? kJpegOk : kJpegPrimitiveFailed;
}

// Repeats the last real sample of each row over the padding columns.
void PadColumns(uint8_t* plane, int32_t step, int32_t real, int32_t rows) {
  if (real >= step) return;
  for (int32_t y = 0; y < rows; ++y) {
    uint8_t* row = plane + static_cast<int64_t>(y) * step;
    RtlFillMemory(row + real, step - real, row[real - 1]);
  }
}

// Repeats the last real row over the rows below it.
void PadRows(uint8_t* plane, int32_t step, int32_t rows) {
  for (int32_t y = rows; y < kMcuHeight; ++y) {
    RtlCopyMemory(plane + static_cast<int64_t>(y) * step, plane + static_cast<int64_t>(rows - 1) * step, step);
  }
}

}  // namespace

void JpegEncoder::Reset() { RtlZeroMemory(this, sizeof(*this)); }

void JpegEncoder::Release() {
  for (int32_t i = 0; i < 2; ++i) {
    prim::FreeAligned(dcTable[i]);
    prim::FreeAligned(acTable[i]);
    prim::FreeAligned(chroma[i]);
    prim::FreeAligned(fullChroma[i]);
  }
  prim::FreeAligned(state);
  prim::FreeAligned(luma);
  Reset();
}

int32_t JpegEncoder::Configure() {
  mcusPerRow = (width + kMcuWidth - 1) / kMcuWidth;
  mcuRows = (height + kMcuHeight - 1) / kMcuHeight;
  paddedWidth = mcusPerRow * kMcuWidth;
  const uint8_t* base[2] = {kLuminanceQuantZigzag, kChrominanceQuantZigzag};
  for (int32_t i = 0; i < 2; ++i) {
    RtlCopyMemory(raw[i], base[i], kBlockSize);
    // Quality 0 keeps Annex K's tables as they are.
    if (quality != 0 && prim::ScaleQuantTable(raw[i], quality) != 0) return kJpegPrimitiveFailed;
    if (prim::InitForwardQuantTable(raw[i], forward[i]) != 0) return kJpegPrimitiveFailed;
  }
  int32_t status = AllocTable(&dcTable[0], kStandardDcLuminance);
  if (status == kJpegOk) status = AllocTable(&acTable[0], kStandardAcLuminance);
  if (status == kJpegOk) status = AllocTable(&dcTable[1], kStandardDcChrominance);
  if (status == kJpegOk) status = AllocTable(&acTable[1], kStandardAcChrominance);
  if (status != kJpegOk) return status;
  int32_t stateSize = 0;
  if (prim::GetHuffmanEncodeStateSize(&stateSize) != 0 || stateSize <= 0) return kJpegPrimitiveFailed;
  state = reinterpret_cast<prim::HuffmanEncodeState*>(prim::AllocAligned8u(stateSize));
  luma = prim::AllocAligned8u(paddedWidth * kMcuHeight);
  for (int32_t i = 0; i < 2; ++i) {
    chroma[i] = prim::AllocAligned8u(paddedWidth / 2 * kMcuHeight);
    if (sourceFormat == kPixelRgb24) {
      fullChroma[i] = prim::AllocAligned8u(paddedWidth * kMcuHeight);
      if (!fullChroma[i]) return kJpegNoMemory;
    }
    if (!chroma[i]) return kJpegNoMemory;
  }
  return state && luma ? kJpegOk : kJpegNoMemory;
}

int32_t JpegEncoder::PutByte(int32_t value) {
  if (length >= capacity) return kJpegDataExhausted;
  out[length++] = static_cast<uint8_t>(value);
  return kJpegOk;
}

int32_t JpegEncoder::PutWord(int32_t value) {
  const int32_t status = PutByte(value >> 8);
  return status == kJpegOk ? PutByte(value & 0xFF) : status;
}

int32_t JpegEncoder::PutBytes(const uint8_t* bytes, int32_t count) {
  int32_t status = kJpegOk;
  for (int32_t i = 0; i < count && status == kJpegOk; ++i) status = PutByte(bytes[i]);
  return status;
}

int32_t JpegEncoder::WriteHeaders() {
  int32_t status = PutWord(0xFF00 | kMarkerSoi);
  if (status == kJpegOk) status = PutBytes(kApp0, sizeof(kApp0));
  for (int32_t i = 0; i < 2 && status == kJpegOk; ++i) {
    status = PutWord(0xFF00 | kMarkerDqt);
    if (status == kJpegOk) status = PutWord(2 + 1 + kBlockSize);
    if (status == kJpegOk) status = PutByte(i);
    if (status == kJpegOk) status = PutBytes(raw[i], kBlockSize);
  }
  if (status == kJpegOk) status = PutWord(0xFF00 | kMarkerSof0);
  if (status == kJpegOk) status = PutWord(8 + 3 * 3);
  if (status == kJpegOk) status = PutByte(8);
  if (status == kJpegOk) status = PutWord(height);
  if (status == kJpegOk) status = PutWord(width);
  if (status == kJpegOk) status = PutByte(3);
  // Component identifiers start at 0; luma 2x1 with table 0, chroma 1x1 with table 1.
  const uint8_t components[9] = {0, 0x21, 0, 1, 0x11, 1, 2, 0x11, 1};
  if (status == kJpegOk) status = PutBytes(components, sizeof(components));
  if (status == kJpegOk && restartInterval != 0) {
    status = PutWord(0xFF00 | kMarkerDri);
    if (status == kJpegOk) status = PutWord(4);
    if (status == kJpegOk) status = PutWord(restartInterval);
  }
  if (status == kJpegOk) status = PutBytes(kSos, sizeof(kSos));
  return status;
}

int32_t JpegEncoder::ConvertMcuRow(int32_t row) {
  const int32_t rows = height - row * kMcuHeight < kMcuHeight ? height - row * kMcuHeight : kMcuHeight;
  const uint8_t* src = source + static_cast<int64_t>(row) * kMcuHeight * sourceStep;
  const int32_t halfWidth = paddedWidth / 2;
  const prim::RoiSize region = {width, rows};
  if (sourceFormat == kPixelYuy2) {
    uint8_t* planes[3] = {luma, chroma[0], chroma[1]};
    const int32_t steps[3] = {paddedWidth, halfWidth, halfWidth};
    if (prim::Yuy2ToPlanar422(src, sourceStep, planes, steps, region) != 0) return kJpegPrimitiveFailed;
    PadColumns(chroma[0], halfWidth, width / 2, rows);
    PadColumns(chroma[1], halfWidth, width / 2, rows);
  } else {
    uint8_t* planes[3] = {luma, fullChroma[0], fullChroma[1]};
    if (prim::BgrToYCbCr(src, sourceStep, planes, paddedWidth, region) != 0) return kJpegPrimitiveFailed;
    for (int32_t i = 0; i < 2; ++i) {
      PadColumns(fullChroma[i], paddedWidth, width, rows);
      for (int32_t y = 0; y < rows; ++y) {
        if (prim::SampleDownRowH2V1(fullChroma[i] + y * paddedWidth, paddedWidth, chroma[i] + y * halfWidth) != 0) {
          return kJpegPrimitiveFailed;
        }
      }
    }
  }
  PadColumns(luma, paddedWidth, width, rows);
  PadRows(luma, paddedWidth, rows);
  PadRows(chroma[0], halfWidth, rows);
  PadRows(chroma[1], halfWidth, rows);
  return kJpegOk;
}

int32_t JpegEncoder::EmitRestart() {
  if (prim::EncodeHuffmanBlock(nullptr, out, capacity, &length, nullptr, nullptr, nullptr, state, 1) != 0) {
    return kJpegPrimitiveFailed;
  }
  int32_t status = PutWord(0xFF00 | (kMarkerRst0 + nextRestart));
  nextRestart = (nextRestart + 1) & 7;
  for (int16_t& predictor : dcPredictor) predictor = 0;
  restartCountdown = restartInterval;
  return status;
}

// Blocks in the order of the scan: luma left, luma right, Cb, Cr.
int32_t JpegEncoder::EncodeMcu(int32_t column) {
  alignas(32) int16_t blocks[4][kBlockSize];
  const uint8_t* sources[4] = {luma + column * kMcuWidth, luma + column * kMcuWidth + 8, chroma[0] + column * 8,
                               chroma[1] + column * 8};
  const int32_t steps[4] = {paddedWidth, paddedWidth, paddedWidth / 2, paddedWidth / 2};
  const int32_t table[4] = {0, 0, 1, 1};
  const int32_t component[4] = {0, 0, 1, 2};
  for (int32_t b = 0; b < 4; ++b) {
    if (prim::ForwardDctQuantize8x8(sources[b], steps[b], blocks[b], forward[table[b]]) != 0) {
      return kJpegPrimitiveFailed;
    }
  }
  if (restartInterval != 0 && restartCountdown == 0) {
    const int32_t status = EmitRestart();
    if (status != kJpegOk) return status;
  }
  for (int32_t b = 0; b < 4; ++b) {
    if (prim::EncodeHuffmanBlock(blocks[b], out, capacity, &length, &dcPredictor[component[b]], dcTable[table[b]],
                                 acTable[table[b]], state, 0) != 0) {
      return kJpegPrimitiveFailed;
    }
  }
  if (restartInterval != 0) --restartCountdown;
  return kJpegOk;
}

int32_t JpegEncoder::EncodeScan() {
  if (prim::InitHuffmanEncodeState(state) != 0) return kJpegPrimitiveFailed;
  restartCountdown = restartInterval;
  int32_t status = kJpegOk;
  for (int32_t row = 0; row < mcuRows && status == kJpegOk; ++row) {
    status = ConvertMcuRow(row);
    for (int32_t column = 0; column < mcusPerRow && status == kJpegOk; ++column) status = EncodeMcu(column);
  }
  if (status == kJpegOk &&
      prim::EncodeHuffmanBlock(nullptr, out, capacity, &length, nullptr, nullptr, nullptr, state, 1) != 0) {
    status = kJpegPrimitiveFailed;
  }
  if (status == kJpegOk) status = PutWord(0xFF00 | kMarkerEoi);
  return status;
}

int32_t JpegEncodeFrame(const uint8_t* source, int32_t sourceFormat, int32_t bytesPerPixel, uint8_t* out,
                        int32_t capacity, int32_t* encodedLength, int32_t width, int32_t height, int32_t quality,
                        int32_t restartInterval, uint32_t /*cpuMode*/, JpegEncoder* encoder) {
  prim::EnsureBuildSelected();
  if (capacity <= 0 || !source || !out || !encoder) return 1;
  const bool yuy2 = sourceFormat == kPixelYuy2 && bytesPerPixel == 2;
  const bool bgr = sourceFormat == kPixelRgb24 && bytesPerPixel == 3;
  // An odd YUY2 width has no chroma for its last pixel.
  if ((!yuy2 && !bgr) || width < 1 || height < 1 || width > kMaxDimension || height > kMaxDimension ||
      (yuy2 && (width & 1) != 0) || restartInterval < 0 || restartInterval > 0xFFFF) {
    return 1;
  }
  encoder->Reset();
  encoder->source = source;
  encoder->sourceStep = bytesPerPixel * width;
  encoder->sourceFormat = sourceFormat;
  encoder->width = width;
  encoder->height = height;
  encoder->quality = quality;
  encoder->restartInterval = restartInterval;
  encoder->out = out;
  encoder->capacity = capacity;
  int32_t status = encoder->Configure();
  if (status == kJpegOk) status = encoder->WriteHeaders();
  if (status == kJpegOk) status = encoder->EncodeScan();
  if (status == kJpegOk && encodedLength) *encodedLength = encoder->length;
  encoder->Release();
  return status == kJpegOk ? 0 : 1;
}

}  // namespace kvz::jpeg
