// Each entry loads the index and continues in that slot's build. With the arguments passed on
// unchanged the compiler makes the call a tail jump, so an entry adds no stack frame.
#include <atomic>

#include "primitives/build_selection.h"
#include "primitives/dispatch.h"
#include "primitives/dispatch_table.h"

namespace kvz::prim {
namespace {
inline int32_t Slot() { return PrimitiveDispatchIndex.load(std::memory_order_relaxed); }
}  // namespace

#define KVZ_ENTRY(Ret, name, params, args) \
  Ret name params { return PrimitiveDispatchTable.name[Slot()] args; }

KVZ_ENTRY(PrimitiveStatus, ResizeImage8uC4,
          (const uint8_t* src, RoiSize srcSize, int32_t srcStep, ResizeRect* srcRect, uint8_t* dst,
           int32_t dstStep, RoiSize dstSize, double xFactor, double yFactor, int32_t mode),
          (src, srcSize, srcStep, srcRect, dst, dstStep, dstSize, xFactor, yFactor, mode))
KVZ_ENTRY(PrimitiveStatus, MirrorImage8uC3InPlace,
          (uint8_t* image, int32_t step, RoiSize roi, int32_t axis), (image, step, roi, axis))
KVZ_ENTRY(PrimitiveStatus, CopyImage8u,
          (const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi),
          (src, srcStep, dst, dstStep, roi))
KVZ_ENTRY(PrimitiveStatus, InterleavePlanes8uP3C3,
          (const uint8_t* const src[3], int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi),
          (src, srcStep, dst, dstStep, roi))
KVZ_ENTRY(PrimitiveStatus, InterleavePlanes8uP4C4,
          (const uint8_t* const src[4], int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi),
          (src, srcStep, dst, dstStep, roi))
KVZ_ENTRY(PrimitiveStatus, ConvertWordsToBytes,
          (const int16_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi),
          (src, srcStep, dst, dstStep, roi))
KVZ_ENTRY(PrimitiveStatus, CopyImage16s,
          (const int16_t* src, int32_t srcStep, int16_t* dst, int32_t dstStep, RoiSize roi),
          (src, srcStep, dst, dstStep, roi))
KVZ_ENTRY(PrimitiveStatus, SplitPixels8uC3P3,
          (const uint8_t* src, int32_t srcStep, uint8_t* const dst[3], int32_t dstStep, RoiSize roi),
          (src, srcStep, dst, dstStep, roi))
KVZ_ENTRY(PrimitiveStatus, SplitPixels8uC4P4,
          (const uint8_t* src, int32_t srcStep, uint8_t* const dst[4], int32_t dstStep, RoiSize roi),
          (src, srcStep, dst, dstStep, roi))
KVZ_ENTRY(PrimitiveStatus, SplitPixels16sC3P3,
          (const int16_t* src, int32_t srcStep, int16_t* const dst[3], int32_t dstStep, RoiSize roi),
          (src, srcStep, dst, dstStep, roi))
KVZ_ENTRY(PrimitiveStatus, SplitPixels16sC4P4,
          (const int16_t* src, int32_t srcStep, int16_t* const dst[4], int32_t dstStep, RoiSize roi),
          (src, srcStep, dst, dstStep, roi))
KVZ_ENTRY(PrimitiveStatus, ConvertBytesToWords,
          (const uint8_t* src, int32_t srcStep, int16_t* dst, int32_t dstStep, RoiSize roi),
          (src, srcStep, dst, dstStep, roi))

KVZ_ENTRY(PrimitiveStatus, GetHuffmanDecodeTableSize, (int32_t* size), (size))
KVZ_ENTRY(PrimitiveStatus, InitHuffmanDecodeTable,
          (const uint8_t* counts, const uint8_t* values, HuffmanDecodeTable* table),
          (counts, values, table))
KVZ_ENTRY(PrimitiveStatus, GetHuffmanDecodeStateSize, (int32_t* size), (size))
KVZ_ENTRY(PrimitiveStatus, InitHuffmanDecodeState, (HuffmanDecodeState* state), (state))
KVZ_ENTRY(PrimitiveStatus, DecodeHuffmanBlock,
          (const uint8_t* src, int32_t srcLength, int32_t* position, int16_t* block,
           int16_t* dcPredictor, int32_t* marker, const HuffmanDecodeTable* dcTable,
           const HuffmanDecodeTable* acTable, HuffmanDecodeState* state),
          (src, srcLength, position, block, dcPredictor, marker, dcTable, acTable, state))
KVZ_ENTRY(PrimitiveStatus, DecodeHuffmanDcFirst,
          (const uint8_t* src, int32_t srcLength, int32_t* position, int16_t* block,
           int16_t* dcPredictor, int32_t* marker, int32_t al, const HuffmanDecodeTable* dcTable,
           HuffmanDecodeState* state),
          (src, srcLength, position, block, dcPredictor, marker, al, dcTable, state))
KVZ_ENTRY(PrimitiveStatus, DecodeHuffmanDcRefine,
          (const uint8_t* src, int32_t srcLength, int32_t* position, int16_t* block,
           int32_t* marker, int32_t al, HuffmanDecodeState* state),
          (src, srcLength, position, block, marker, al, state))
KVZ_ENTRY(PrimitiveStatus, DecodeHuffmanAcFirst,
          (const uint8_t* src, int32_t srcLength, int32_t* position, int16_t* block,
           int32_t* marker, int32_t ss, int32_t se, int32_t al, const HuffmanDecodeTable* acTable,
           HuffmanDecodeState* state),
          (src, srcLength, position, block, marker, ss, se, al, acTable, state))
KVZ_ENTRY(PrimitiveStatus, DecodeHuffmanAcRefine,
          (const uint8_t* src, int32_t srcLength, int32_t* position, int16_t* block,
           int32_t* marker, int32_t ss, int32_t se, int32_t al, const HuffmanDecodeTable* acTable,
           HuffmanDecodeState* state),
          (src, srcLength, position, block, marker, ss, se, al, acTable, state))
KVZ_ENTRY(PrimitiveStatus, DecodeHuffmanOne,
          (const uint8_t* src, int32_t srcLength, int32_t* position, int16_t* value,
           int32_t* marker, const HuffmanDecodeTable* table, HuffmanDecodeState* state),
          (src, srcLength, position, value, marker, table, state))
KVZ_ENTRY(PrimitiveStatus, SampleUpH2V1,
          (const uint8_t* src, int32_t srcStep, RoiSize srcSize, uint8_t* dst, int32_t dstStep,
           RoiSize dstSize),
          (src, srcStep, srcSize, dst, dstStep, dstSize))
KVZ_ENTRY(PrimitiveStatus, SampleUpH2V2,
          (const uint8_t* src, int32_t srcStep, RoiSize srcSize, uint8_t* dst, int32_t dstStep,
           RoiSize dstSize),
          (src, srcStep, srcSize, dst, dstStep, dstSize))
KVZ_ENTRY(PrimitiveStatus, YCbCrToRgb,
          (const uint8_t* const src[3], int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi),
          (src, srcStep, dst, dstStep, roi))
KVZ_ENTRY(PrimitiveStatus, YCbCrToBgr,
          (const uint8_t* const src[3], int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi),
          (src, srcStep, dst, dstStep, roi))
KVZ_ENTRY(PrimitiveStatus, YcckToCmyk,
          (const uint8_t* const src[4], int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi),
          (src, srcStep, dst, dstStep, roi))
KVZ_ENTRY(PrimitiveStatus, DequantizeInverseDct8x8,
          (const int16_t* coefficients, uint8_t* dst, int32_t dstStep, const uint16_t* table),
          (coefficients, dst, dstStep, table))
KVZ_ENTRY(PrimitiveStatus, ReconstructPredFirstRow,
          (const int16_t* differences, int16_t* out, int32_t count, int32_t precision,
           int32_t pointTransform),
          (differences, out, count, precision, pointTransform))
KVZ_ENTRY(PrimitiveStatus, ReconstructPredRow,
          (const int16_t* differences, int16_t* out, const int16_t* previous, int32_t count,
           int32_t predictor),
          (differences, out, previous, count, predictor))
KVZ_ENTRY(PrimitiveStatus, InitInverseQuantTable, (const uint8_t* raw, uint16_t* table),
          (raw, table))
KVZ_ENTRY(const PrimitiveLibraryVersion*, GetLibraryVersion, (), ())
KVZ_ENTRY(PrimitiveStatus, InitHuffmanEncodeState, (HuffmanEncodeState* state), (state))
KVZ_ENTRY(PrimitiveStatus, EncodeHuffmanBlock,
          (const int16_t* block, uint8_t* dst, int32_t dstLength, int32_t* position,
           int16_t* dcPredictor, const HuffmanEncodeTable* dcTable,
           const HuffmanEncodeTable* acTable, HuffmanEncodeState* state, int32_t flush),
          (block, dst, dstLength, position, dcPredictor, dcTable, acTable, state, flush))
KVZ_ENTRY(PrimitiveStatus, RgbToY,
          (const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi),
          (src, srcStep, dst, dstStep, roi))
KVZ_ENTRY(PrimitiveStatus, RgbToYCbCr,
          (const uint8_t* src, int32_t srcStep, uint8_t* const dst[3], int32_t dstStep, RoiSize roi),
          (src, srcStep, dst, dstStep, roi))
KVZ_ENTRY(PrimitiveStatus, BgrToYCbCr,
          (const uint8_t* src, int32_t srcStep, uint8_t* const dst[3], int32_t dstStep, RoiSize roi),
          (src, srcStep, dst, dstStep, roi))
KVZ_ENTRY(PrimitiveStatus, CmykToYcck,
          (const uint8_t* src, int32_t srcStep, uint8_t* const dst[4], int32_t dstStep, RoiSize roi),
          (src, srcStep, dst, dstStep, roi))
KVZ_ENTRY(PrimitiveStatus, SampleDownRowH2V1,
          (const uint8_t* src, int32_t srcLength, uint8_t* dst), (src, srcLength, dst))
KVZ_ENTRY(PrimitiveStatus, SampleDownRowH2V2,
          (const uint8_t* upper, const uint8_t* lower, int32_t srcLength, uint8_t* dst),
          (upper, lower, srcLength, dst))
KVZ_ENTRY(PrimitiveStatus, ForwardDctQuantize8x8,
          (const uint8_t* src, int32_t srcStep, int16_t* block, const uint16_t* table),
          (src, srcStep, block, table))
KVZ_ENTRY(PrimitiveStatus, DiffPredFirstRow,
          (const int16_t* row, int16_t* differences, int32_t count, int32_t precision,
           int32_t pointTransform),
          (row, differences, count, precision, pointTransform))
KVZ_ENTRY(PrimitiveStatus, DiffPredRow,
          (const int16_t* row, int16_t* differences, const int16_t* previous, int32_t count,
           int32_t predictor),
          (row, differences, previous, count, predictor))
KVZ_ENTRY(PrimitiveStatus, ScaleQuantTable, (uint8_t* table, int32_t quality), (table, quality))
KVZ_ENTRY(PrimitiveStatus, InitForwardQuantTable, (const uint8_t* raw, uint16_t* table),
          (raw, table))
KVZ_ENTRY(PrimitiveStatus, GetHuffmanEncodeTableSize, (int32_t* size), (size))
KVZ_ENTRY(PrimitiveStatus, InitHuffmanEncodeTable,
          (const uint8_t* counts, const uint8_t* values, HuffmanEncodeTable* table),
          (counts, values, table))
KVZ_ENTRY(PrimitiveStatus, GetHuffmanEncodeStateSize, (int32_t* size), (size))

KVZ_ENTRY(PrimitiveStatus, CopyBytes, (const uint8_t* src, uint8_t* dst, int32_t count),
          (src, dst, count))
KVZ_ENTRY(PrimitiveStatus, ZeroBytes, (uint8_t* dst, int32_t count), (dst, count))
KVZ_ENTRY(PrimitiveStatus, ShiftLeftWords, (int32_t shift, int16_t* vec, int32_t count),
          (shift, vec, count))
KVZ_ENTRY(PrimitiveStatus, CopyWords, (const int16_t* src, int16_t* dst, int32_t count),
          (src, dst, count))
KVZ_ENTRY(PrimitiveStatus, ShiftRightWords, (int32_t shift, int16_t* vec, int32_t count),
          (shift, vec, count))

KVZ_ENTRY(PrimitiveStatus, RgbToYuv420,
          (const uint8_t* src, int32_t srcStep, uint8_t* const dst[3], const int32_t dstStep[3],
           RoiSize roi),
          (src, srcStep, dst, dstStep, roi))
KVZ_ENTRY(PrimitiveStatus, Yuv420ToBgr,
          (const uint8_t* const src[3], const int32_t srcStep[3], uint8_t* dst, int32_t dstStep,
           RoiSize roi),
          (src, srcStep, dst, dstStep, roi))
KVZ_ENTRY(PrimitiveStatus, YuvToRgb,
          (const uint8_t* const src[3], int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi),
          (src, srcStep, dst, dstStep, roi))
KVZ_ENTRY(PrimitiveStatus, Yuy2ToPlanar422,
          (const uint8_t* src, int32_t srcStep, uint8_t* const dst[3], const int32_t dstStep[3],
           RoiSize roi),
          (src, srcStep, dst, dstStep, roi))

#undef KVZ_ENTRY

}  // namespace kvz::prim
