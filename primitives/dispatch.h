// Dispatch entries: each primitive under its plain name, running the build that
// PrimitiveDispatchIndex selects with the caller's arguments and returning that build's result.
// Callers never name a build.
#pragma once
#include <stdint.h>

#include "primitives/jpeg_primitive_types.h"
#include "primitives/library_version.h"
#include "primitives/primitive_types.h"
#include "primitives/resize.h"

namespace kvz::prim {

// A0-A11: image primitives.
PrimitiveStatus ResizeImage8uC4(const uint8_t* src, RoiSize srcSize, int32_t srcStep,
                                ResizeRect* srcRect, uint8_t* dst, int32_t dstStep,
                                RoiSize dstSize, double xFactor, double yFactor, int32_t mode);
PrimitiveStatus MirrorImage8uC3InPlace(uint8_t* image, int32_t step, RoiSize roi, int32_t axis);
PrimitiveStatus CopyImage8u(const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep,
                            RoiSize roi);
PrimitiveStatus InterleavePlanes8uP3C3(const uint8_t* const src[3], int32_t srcStep, uint8_t* dst,
                                       int32_t dstStep, RoiSize roi);
PrimitiveStatus InterleavePlanes8uP4C4(const uint8_t* const src[4], int32_t srcStep, uint8_t* dst,
                                       int32_t dstStep, RoiSize roi);
PrimitiveStatus ConvertWordsToBytes(const int16_t* src, int32_t srcStep, uint8_t* dst,
                                    int32_t dstStep, RoiSize roi);
PrimitiveStatus CopyImage16s(const int16_t* src, int32_t srcStep, int16_t* dst, int32_t dstStep,
                             RoiSize roi);
PrimitiveStatus SplitPixels8uC3P3(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                  int32_t dstStep, RoiSize roi);
PrimitiveStatus SplitPixels8uC4P4(const uint8_t* src, int32_t srcStep, uint8_t* const dst[4],
                                  int32_t dstStep, RoiSize roi);
PrimitiveStatus SplitPixels16sC3P3(const int16_t* src, int32_t srcStep, int16_t* const dst[3],
                                   int32_t dstStep, RoiSize roi);
PrimitiveStatus SplitPixels16sC4P4(const int16_t* src, int32_t srcStep, int16_t* const dst[4],
                                   int32_t dstStep, RoiSize roi);
PrimitiveStatus ConvertBytesToWords(const uint8_t* src, int32_t srcStep, int16_t* dst,
                                    int32_t dstStep, RoiSize roi);

// A12-A47: JPEG primitives (A31 is the library version).
PrimitiveStatus GetHuffmanDecodeTableSize(int32_t* size);
PrimitiveStatus InitHuffmanDecodeTable(const uint8_t* counts, const uint8_t* values,
                                       HuffmanDecodeTable* table);
PrimitiveStatus GetHuffmanDecodeStateSize(int32_t* size);
PrimitiveStatus InitHuffmanDecodeState(HuffmanDecodeState* state);
PrimitiveStatus DecodeHuffmanBlock(const uint8_t* src, int32_t srcLength, int32_t* position,
                                   int16_t* block, int16_t* dcPredictor, int32_t* marker,
                                   const HuffmanDecodeTable* dcTable,
                                   const HuffmanDecodeTable* acTable, HuffmanDecodeState* state);
PrimitiveStatus DecodeHuffmanDcFirst(const uint8_t* src, int32_t srcLength, int32_t* position,
                                     int16_t* block, int16_t* dcPredictor, int32_t* marker,
                                     int32_t al, const HuffmanDecodeTable* dcTable,
                                     HuffmanDecodeState* state);
PrimitiveStatus DecodeHuffmanDcRefine(const uint8_t* src, int32_t srcLength, int32_t* position,
                                      int16_t* block, int32_t* marker, int32_t al,
                                      HuffmanDecodeState* state);
PrimitiveStatus DecodeHuffmanAcFirst(const uint8_t* src, int32_t srcLength, int32_t* position,
                                     int16_t* block, int32_t* marker, int32_t ss, int32_t se,
                                     int32_t al, const HuffmanDecodeTable* acTable,
                                     HuffmanDecodeState* state);
PrimitiveStatus DecodeHuffmanAcRefine(const uint8_t* src, int32_t srcLength, int32_t* position,
                                      int16_t* block, int32_t* marker, int32_t ss, int32_t se,
                                      int32_t al, const HuffmanDecodeTable* acTable,
                                      HuffmanDecodeState* state);
PrimitiveStatus DecodeHuffmanOne(const uint8_t* src, int32_t srcLength, int32_t* position,
                                 int16_t* value, int32_t* marker, const HuffmanDecodeTable* table,
                                 HuffmanDecodeState* state);
PrimitiveStatus SampleUpH2V1(const uint8_t* src, int32_t srcStep, RoiSize srcSize, uint8_t* dst,
                             int32_t dstStep, RoiSize dstSize);
PrimitiveStatus SampleUpH2V2(const uint8_t* src, int32_t srcStep, RoiSize srcSize, uint8_t* dst,
                             int32_t dstStep, RoiSize dstSize);
PrimitiveStatus YCbCrToRgb(const uint8_t* const src[3], int32_t srcStep, uint8_t* dst,
                           int32_t dstStep, RoiSize roi);
PrimitiveStatus YCbCrToBgr(const uint8_t* const src[3], int32_t srcStep, uint8_t* dst,
                           int32_t dstStep, RoiSize roi);
PrimitiveStatus YcckToCmyk(const uint8_t* const src[4], int32_t srcStep, uint8_t* dst,
                           int32_t dstStep, RoiSize roi);
PrimitiveStatus DequantizeInverseDct8x8(const int16_t* coefficients, uint8_t* dst,
                                        int32_t dstStep, const uint16_t* table);
PrimitiveStatus ReconstructPredFirstRow(const int16_t* differences, int16_t* out, int32_t count,
                                        int32_t precision, int32_t pointTransform);
PrimitiveStatus ReconstructPredRow(const int16_t* differences, int16_t* out,
                                   const int16_t* previous, int32_t count, int32_t predictor);
PrimitiveStatus InitInverseQuantTable(const uint8_t* raw, uint16_t* table);
const PrimitiveLibraryVersion* GetLibraryVersion();
PrimitiveStatus InitHuffmanEncodeState(HuffmanEncodeState* state);
PrimitiveStatus EncodeHuffmanBlock(const int16_t* block, uint8_t* dst, int32_t dstLength,
                                   int32_t* position, int16_t* dcPredictor,
                                   const HuffmanEncodeTable* dcTable,
                                   const HuffmanEncodeTable* acTable, HuffmanEncodeState* state,
                                   int32_t flush);
PrimitiveStatus RgbToY(const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep,
                       RoiSize roi);
PrimitiveStatus RgbToYCbCr(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                           int32_t dstStep, RoiSize roi);
PrimitiveStatus BgrToYCbCr(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                           int32_t dstStep, RoiSize roi);
PrimitiveStatus CmykToYcck(const uint8_t* src, int32_t srcStep, uint8_t* const dst[4],
                           int32_t dstStep, RoiSize roi);
PrimitiveStatus SampleDownRowH2V1(const uint8_t* src, int32_t srcLength, uint8_t* dst);
PrimitiveStatus SampleDownRowH2V2(const uint8_t* upper, const uint8_t* lower, int32_t srcLength,
                                  uint8_t* dst);
PrimitiveStatus ForwardDctQuantize8x8(const uint8_t* src, int32_t srcStep, int16_t* block,
                                      const uint16_t* table);
PrimitiveStatus DiffPredFirstRow(const int16_t* row, int16_t* differences, int32_t count,
                                 int32_t precision, int32_t pointTransform);
PrimitiveStatus DiffPredRow(const int16_t* row, int16_t* differences, const int16_t* previous,
                            int32_t count, int32_t predictor);
PrimitiveStatus ScaleQuantTable(uint8_t* table, int32_t quality);
PrimitiveStatus InitForwardQuantTable(const uint8_t* raw, uint16_t* table);
PrimitiveStatus GetHuffmanEncodeTableSize(int32_t* size);
PrimitiveStatus InitHuffmanEncodeTable(const uint8_t* counts, const uint8_t* values,
                                       HuffmanEncodeTable* table);
PrimitiveStatus GetHuffmanEncodeStateSize(int32_t* size);

// A48-A52: vector memory primitives.
PrimitiveStatus CopyBytes(const uint8_t* src, uint8_t* dst, int32_t count);
PrimitiveStatus ZeroBytes(uint8_t* dst, int32_t count);
PrimitiveStatus ShiftLeftWords(int32_t shift, int16_t* vec, int32_t count);
PrimitiveStatus CopyWords(const int16_t* src, int16_t* dst, int32_t count);
PrimitiveStatus ShiftRightWords(int32_t shift, int16_t* vec, int32_t count);

// B0-B3: colour conversions.
PrimitiveStatus RgbToYuv420(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                            const int32_t dstStep[3], RoiSize roi);
PrimitiveStatus Yuv420ToBgr(const uint8_t* const src[3], const int32_t srcStep[3], uint8_t* dst,
                            int32_t dstStep, RoiSize roi);
PrimitiveStatus YuvToRgb(const uint8_t* const src[3], int32_t srcStep, uint8_t* dst,
                         int32_t dstStep, RoiSize roi);
PrimitiveStatus Yuy2ToPlanar422(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                const int32_t dstStep[3], RoiSize roi);

}  // namespace kvz::prim
