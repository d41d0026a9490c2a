// The baseline encoder: YUY2 or BGR24 frames to YCbCr 4:2:2 JPEG with an AVI1 APP0 segment,
// the scaled Annex K quantisation tables, an optional restart interval and no DHT segment (the
// scan uses the Annex K Huffman tables every MJPEG reader assumes).
#pragma once
#include <stdint.h>

#include "jpeg/jpeg_constants.h"
#include "primitives/jpeg_primitive_types.h"

namespace kvz::jpeg {

// The caller's workspace, reused for every frame; its buffers live for one frame only.
struct JpegEncoder {
  const uint8_t* source;
  int32_t sourceStep;
  int32_t sourceFormat;
  int32_t width;
  int32_t height;
  int32_t quality;
  int32_t restartInterval;

  uint8_t* out;
  int32_t capacity;
  int32_t length;

  int32_t mcusPerRow;
  int32_t mcuRows;
  int32_t paddedWidth;
  int32_t restartCountdown;
  int32_t nextRestart;
  int16_t dcPredictor[3];

  alignas(32) uint16_t forward[2][kBlockSize];  // reciprocals, natural order
  uint8_t raw[2][kBlockSize];                   // what DQT carries, zig-zag order
  prim::HuffmanEncodeTable* dcTable[2];
  prim::HuffmanEncodeTable* acTable[2];
  prim::HuffmanEncodeState* state;
  // One MCU row: luma at the padded width, chroma at half of it; the BGR path converts its
  // chroma at full width first.
  uint8_t* luma;
  uint8_t* chroma[2];
  uint8_t* fullChroma[2];

  void Reset();
  void Release();
  int32_t Configure();
  int32_t PutByte(int32_t value);
  int32_t PutWord(int32_t value);
  int32_t PutBytes(const uint8_t* bytes, int32_t count);
  int32_t WriteHeaders();
  int32_t EncodeScan();
  int32_t ConvertMcuRow(int32_t row);
  int32_t EncodeMcu(int32_t column);
  int32_t EmitRestart();
};

// Encodes one frame. sourceFormat 4 YUY2 (2 bytes per pixel, even width) or 1 BGR24 (3 bytes
// per pixel); rows are tightly packed. Width and height 1..65535, restart interval 0..65535 MCUs.
// 0 and the encoded length on success; 1 on any failure, the length then left unwritten.
int32_t JpegEncodeFrame(const uint8_t* source, int32_t sourceFormat, int32_t bytesPerPixel, uint8_t* out,
                        int32_t capacity, int32_t* encodedLength, int32_t width, int32_t height, int32_t quality,
                        int32_t restartInterval, uint32_t cpuMode, JpegEncoder* encoder);

}  // namespace kvz::jpeg
