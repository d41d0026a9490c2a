// The dispatch groups, in table order: the one list from which the entries' declarations, the
// tables and the entries are all generated. A row is
//   X(group, owner, sharing, return type, name, (parameters), (arguments))
// owner: IMAGE, a primitive of this library; JPEG, one of primitives/jpeg, which defines that
// row and its entry, so this library never refers to it; GEOMETRY, a frame-geometry kernel of
// postproc, which defines its rows and entries likewise; UNBUILT, a JPEG primitive that has no
// builds yet: its entry is declared deleted, so a call does not compile.
// sharing: EVERY, each slot runs its own build; ONE, every slot runs the generic build; TWO, the
// vector slots share the lowest vector build (the one build that every processor selecting any
// of those slots can run).
#pragma once

// Table A.
#define KVZ_DISPATCH_GROUPS_A(X) \
  X(A0, IMAGE, EVERY, PrimitiveStatus, ResizeImage8uC4,                                          \
    (const uint8_t* src, RoiSize srcSize, int32_t srcStep, ResizeRect* srcRect, uint8_t* dst,    \
     int32_t dstStep, RoiSize dstSize, double xFactor, double yFactor, int32_t mode),            \
    (src, srcSize, srcStep, srcRect, dst, dstStep, dstSize, xFactor, yFactor, mode))             \
  X(A1, IMAGE, EVERY, PrimitiveStatus, MirrorImage8uC3InPlace,                                   \
    (uint8_t* image, int32_t step, RoiSize roi, int32_t axis),                                   \
    (image, step, roi, axis))                                                                    \
  X(A2, IMAGE, EVERY, PrimitiveStatus, CopyImage8u,                                              \
    (const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi),           \
    (src, srcStep, dst, dstStep, roi))                                                           \
  X(A3, IMAGE, EVERY, PrimitiveStatus, InterleavePlanes8uP3C3,                                   \
    (const uint8_t* const src[3], int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi),  \
    (src, srcStep, dst, dstStep, roi))                                                           \
  X(A4, IMAGE, EVERY, PrimitiveStatus, InterleavePlanes8uP4C4,                                   \
    (const uint8_t* const src[4], int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi),  \
    (src, srcStep, dst, dstStep, roi))                                                           \
  X(A5, IMAGE, EVERY, PrimitiveStatus, ConvertWordsToBytes,                                      \
    (const int16_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi),           \
    (src, srcStep, dst, dstStep, roi))                                                           \
  X(A6, IMAGE, EVERY, PrimitiveStatus, CopyImage16s,                                             \
    (const int16_t* src, int32_t srcStep, int16_t* dst, int32_t dstStep, RoiSize roi),           \
    (src, srcStep, dst, dstStep, roi))                                                           \
  X(A7, IMAGE, EVERY, PrimitiveStatus, SplitPixels8uC3P3,                                        \
    (const uint8_t* src, int32_t srcStep, uint8_t* const dst[3], int32_t dstStep, RoiSize roi),  \
    (src, srcStep, dst, dstStep, roi))                                                           \
  X(A8, IMAGE, EVERY, PrimitiveStatus, SplitPixels8uC4P4,                                        \
    (const uint8_t* src, int32_t srcStep, uint8_t* const dst[4], int32_t dstStep, RoiSize roi),  \
    (src, srcStep, dst, dstStep, roi))                                                           \
  X(A9, IMAGE, EVERY, PrimitiveStatus, SplitPixels16sC3P3,                                       \
    (const int16_t* src, int32_t srcStep, int16_t* const dst[3], int32_t dstStep, RoiSize roi),  \
    (src, srcStep, dst, dstStep, roi))                                                           \
  X(A10, IMAGE, EVERY, PrimitiveStatus, SplitPixels16sC4P4,                                      \
    (const int16_t* src, int32_t srcStep, int16_t* const dst[4], int32_t dstStep, RoiSize roi),  \
    (src, srcStep, dst, dstStep, roi))                                                           \
  X(A11, IMAGE, EVERY, PrimitiveStatus, ConvertBytesToWords,                                     \
    (const uint8_t* src, int32_t srcStep, int16_t* dst, int32_t dstStep, RoiSize roi),           \
    (src, srcStep, dst, dstStep, roi))                                                           \
  X(A12, JPEG, ONE, PrimitiveStatus, GetHuffmanDecodeTableSize,                                  \
    (int32_t* size),                                                                             \
    (size))                                                                                      \
  X(A13, JPEG, ONE, PrimitiveStatus, InitHuffmanDecodeTable,                                     \
    (const uint8_t* counts, const uint8_t* values, HuffmanDecodeTable* table),                   \
    (counts, values, table))                                                                     \
  X(A14, JPEG, ONE, PrimitiveStatus, GetHuffmanDecodeStateSize,                                  \
    (int32_t* size),                                                                             \
    (size))                                                                                      \
  X(A15, JPEG, ONE, PrimitiveStatus, InitHuffmanDecodeState,                                     \
    (HuffmanDecodeState* state),                                                                 \
    (state))                                                                                     \
  X(A16, JPEG, ONE, PrimitiveStatus, DecodeHuffmanBlock,                                         \
    (const uint8_t* src, int32_t srcLength, int32_t* position, int16_t* block,                   \
     int16_t* dcPredictor, int32_t* marker, const HuffmanDecodeTable* dcTable,                   \
     const HuffmanDecodeTable* acTable, HuffmanDecodeState* state),                              \
    (src, srcLength, position, block, dcPredictor, marker, dcTable, acTable, state))             \
  X(A17, JPEG, ONE, PrimitiveStatus, DecodeHuffmanDcFirst,                                       \
    (const uint8_t* src, int32_t srcLength, int32_t* position, int16_t* block,                   \
     int16_t* dcPredictor, int32_t* marker, int32_t al, const HuffmanDecodeTable* dcTable,       \
     HuffmanDecodeState* state),                                                                 \
    (src, srcLength, position, block, dcPredictor, marker, al, dcTable, state))                  \
  X(A18, JPEG, ONE, PrimitiveStatus, DecodeHuffmanDcRefine,                                      \
    (const uint8_t* src, int32_t srcLength, int32_t* position, int16_t* block, int32_t* marker,  \
     int32_t al, HuffmanDecodeState* state),                                                     \
    (src, srcLength, position, block, marker, al, state))                                        \
  X(A19, JPEG, ONE, PrimitiveStatus, DecodeHuffmanAcFirst,                                       \
    (const uint8_t* src, int32_t srcLength, int32_t* position, int16_t* block, int32_t* marker,  \
     int32_t ss, int32_t se, int32_t al, const HuffmanDecodeTable* acTable,                      \
     HuffmanDecodeState* state),                                                                 \
    (src, srcLength, position, block, marker, ss, se, al, acTable, state))                       \
  X(A20, JPEG, ONE, PrimitiveStatus, DecodeHuffmanAcRefine,                                      \
    (const uint8_t* src, int32_t srcLength, int32_t* position, int16_t* block, int32_t* marker,  \
     int32_t ss, int32_t se, int32_t al, const HuffmanDecodeTable* acTable,                      \
     HuffmanDecodeState* state),                                                                 \
    (src, srcLength, position, block, marker, ss, se, al, acTable, state))                       \
  X(A21, JPEG, ONE, PrimitiveStatus, DecodeHuffmanOne,                                           \
    (const uint8_t* src, int32_t srcLength, int32_t* position, int16_t* value, int32_t* marker,  \
     const HuffmanDecodeTable* table, HuffmanDecodeState* state),                                \
    (src, srcLength, position, value, marker, table, state))                                     \
  X(A22, JPEG, EVERY, PrimitiveStatus, SampleUpH2V1,                                             \
    (const uint8_t* src, int32_t srcStep, RoiSize srcSize, uint8_t* dst, int32_t dstStep,        \
     RoiSize dstSize),                                                                           \
    (src, srcStep, srcSize, dst, dstStep, dstSize))                                              \
  X(A23, JPEG, EVERY, PrimitiveStatus, SampleUpH2V2,                                             \
    (const uint8_t* src, int32_t srcStep, RoiSize srcSize, uint8_t* dst, int32_t dstStep,        \
     RoiSize dstSize),                                                                           \
    (src, srcStep, srcSize, dst, dstStep, dstSize))                                              \
  X(A24, JPEG, EVERY, PrimitiveStatus, YCbCrToRgb,                                               \
    (const uint8_t* const src[3], int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi),  \
    (src, srcStep, dst, dstStep, roi))                                                           \
  X(A25, JPEG, EVERY, PrimitiveStatus, YCbCrToBgr,                                               \
    (const uint8_t* const src[3], int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi),  \
    (src, srcStep, dst, dstStep, roi))                                                           \
  X(A26, JPEG, EVERY, PrimitiveStatus, YcckToCmyk,                                               \
    (const uint8_t* const src[4], int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi),  \
    (src, srcStep, dst, dstStep, roi))                                                           \
  X(A27, JPEG, EVERY, PrimitiveStatus, DequantizeInverseDct8x8,                                  \
    (const int16_t* coefficients, uint8_t* dst, int32_t dstStep, const uint16_t* table),         \
    (coefficients, dst, dstStep, table))                                                         \
  X(A28, JPEG, EVERY, PrimitiveStatus, ReconstructPredFirstRow,                                  \
    (const int16_t* differences, uint16_t* out, int32_t count, int32_t precision,                \
     int32_t pointTransform),                                                                    \
    (differences, out, count, precision, pointTransform))                                        \
  X(A29, JPEG, EVERY, PrimitiveStatus, ReconstructPredRow,                                       \
    (const int16_t* differences, const uint16_t* previous, uint16_t* out, int32_t count,         \
     int32_t predictor),                                                                         \
    (differences, previous, out, count, predictor))                                              \
  X(A30, JPEG, EVERY, PrimitiveStatus, InitInverseQuantTable,                                    \
    (const uint8_t* raw, uint16_t* table),                                                       \
    (raw, table))                                                                                \
  X(A31, IMAGE, EVERY, const PrimitiveLibraryVersion*, GetLibraryVersion,                        \
    (),                                                                                          \
    ())                                                                                          \
  X(A32, JPEG, EVERY, PrimitiveStatus, InitHuffmanEncodeState,                                   \
    (HuffmanEncodeState* state),                                                                 \
    (state))                                                                                     \
  X(A33, JPEG, EVERY, PrimitiveStatus, EncodeHuffmanBlock,                                       \
    (const int16_t* block, uint8_t* dst, int32_t dstLength, int32_t* position,                   \
     int16_t* dcPredictor, const HuffmanEncodeTable* dcTable, const HuffmanEncodeTable* acTable, \
     HuffmanEncodeState* state, int32_t flush),                                                  \
    (block, dst, dstLength, position, dcPredictor, dcTable, acTable, state, flush))              \
  X(A34, JPEG, EVERY, PrimitiveStatus, RgbToY,                                                   \
    (const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi),           \
    (src, srcStep, dst, dstStep, roi))                                                           \
  X(A35, JPEG, EVERY, PrimitiveStatus, RgbToYCbCr,                                               \
    (const uint8_t* src, int32_t srcStep, uint8_t* const dst[3], int32_t dstStep, RoiSize roi),  \
    (src, srcStep, dst, dstStep, roi))                                                           \
  X(A36, JPEG, EVERY, PrimitiveStatus, BgrToYCbCr,                                               \
    (const uint8_t* src, int32_t srcStep, uint8_t* const dst[3], int32_t dstStep, RoiSize roi),  \
    (src, srcStep, dst, dstStep, roi))                                                           \
  X(A37, JPEG, EVERY, PrimitiveStatus, CmykToYcck,                                               \
    (const uint8_t* src, int32_t srcStep, uint8_t* const dst[4], int32_t dstStep, RoiSize roi),  \
    (src, srcStep, dst, dstStep, roi))                                                           \
  X(A38, JPEG, EVERY, PrimitiveStatus, SampleDownRowH2V1,                                        \
    (const uint8_t* src, int32_t srcLength, uint8_t* dst),                                       \
    (src, srcLength, dst))                                                                       \
  X(A39, JPEG, EVERY, PrimitiveStatus, SampleDownRowH2V2,                                        \
    (const uint8_t* upper, const uint8_t* lower, int32_t srcLength, uint8_t* dst),               \
    (upper, lower, srcLength, dst))                                                              \
  X(A40, JPEG, EVERY, PrimitiveStatus, ForwardDctQuantize8x8,                                    \
    (const uint8_t* src, int32_t srcStep, int16_t* block, const uint16_t* table),                \
    (src, srcStep, block, table))                                                                \
  X(A41, JPEG, EVERY, PrimitiveStatus, DiffPredFirstRow,                                         \
    (const uint16_t* samples, int16_t* differences, int32_t count, int32_t precision,            \
     int32_t pointTransform),                                                                    \
    (samples, differences, count, precision, pointTransform))                                    \
  X(A42, JPEG, EVERY, PrimitiveStatus, DiffPredRow,                                              \
    (const uint16_t* samples, const uint16_t* previous, int16_t* differences, int32_t count,     \
     int32_t predictor),                                                                         \
    (samples, previous, differences, count, predictor))                                          \
  X(A43, JPEG, TWO, PrimitiveStatus, ScaleQuantTable,                                            \
    (uint8_t* table, int32_t quality),                                                           \
    (table, quality))                                                                            \
  X(A44, JPEG, EVERY, PrimitiveStatus, InitForwardQuantTable,                                    \
    (const uint8_t* raw, uint16_t* table),                                                       \
    (raw, table))                                                                                \
  X(A45, JPEG, ONE, PrimitiveStatus, GetHuffmanEncodeTableSize,                                  \
    (int32_t* size),                                                                             \
    (size))                                                                                      \
  X(A46, JPEG, EVERY, PrimitiveStatus, InitHuffmanEncodeTable,                                   \
    (const uint8_t* counts, const uint8_t* values, HuffmanEncodeTable* table),                   \
    (counts, values, table))                                                                     \
  X(A47, JPEG, ONE, PrimitiveStatus, GetHuffmanEncodeStateSize,                                  \
    (int32_t* size),                                                                             \
    (size))                                                                                      \
  X(A48, IMAGE, EVERY, PrimitiveStatus, CopyBytes,                                               \
    (const uint8_t* src, uint8_t* dst, int32_t count),                                           \
    (src, dst, count))                                                                           \
  X(A49, IMAGE, EVERY, PrimitiveStatus, ZeroBytes,                                               \
    (uint8_t* dst, int32_t count),                                                               \
    (dst, count))                                                                                \
  X(A50, IMAGE, EVERY, PrimitiveStatus, ShiftLeftWords,                                          \
    (int32_t shift, int16_t* vec, int32_t count),                                                \
    (shift, vec, count))                                                                         \
  X(A51, IMAGE, EVERY, PrimitiveStatus, CopyWords,                                               \
    (const int16_t* src, int16_t* dst, int32_t count),                                           \
    (src, dst, count))                                                                           \
  X(A52, IMAGE, EVERY, PrimitiveStatus, ShiftRightWords,                                         \
    (int32_t shift, int16_t* vec, int32_t count),                                                \
    (shift, vec, count))

// Table B: colour conversions.
#define KVZ_DISPATCH_GROUPS_B(X) \
  X(B0, IMAGE, EVERY, PrimitiveStatus, RgbToYuv420,                                              \
    (const uint8_t* src, int32_t srcStep, uint8_t* const dst[3], const int32_t dstStep[3],       \
     RoiSize roi),                                                                               \
    (src, srcStep, dst, dstStep, roi))                                                           \
  X(B1, IMAGE, EVERY, PrimitiveStatus, Yuv420ToBgr,                                              \
    (const uint8_t* const src[3], const int32_t srcStep[3], uint8_t* dst, int32_t dstStep,       \
     RoiSize roi),                                                                               \
    (src, srcStep, dst, dstStep, roi))                                                           \
  X(B2, IMAGE, EVERY, PrimitiveStatus, YuvToRgb,                                                 \
    (const uint8_t* const src[3], int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi),  \
    (src, srcStep, dst, dstStep, roi))                                                           \
  X(B3, IMAGE, EVERY, PrimitiveStatus, Yuy2ToPlanar422,                                          \
    (const uint8_t* src, int32_t srcStep, uint8_t* const dst[3], const int32_t dstStep[3],       \
     RoiSize roi),                                                                               \
    (src, srcStep, dst, dstStep, roi))                                                           \
  X(B4, IMAGE, EVERY, PrimitiveStatus, Yuy2ToBgr24,                                              \
    (const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi),           \
    (src, srcStep, dst, dstStep, roi))

// Table C: kernels of the libraries above the primitives (the codec's output packing, the
// frame geometry). On x86-64 every build of them, the generic one included, keeps its SSE2
// code (SSE2 is part of the architecture); the 32-bit builds run their portable loops.
#define KVZ_DISPATCH_GROUPS_C(X) \
  X(C0, JPEG, ONE, void, PackYuy2Row,                                                            \
    (const uint8_t* luma, const uint8_t* cb, const uint8_t* cr, int32_t width, uint8_t* dst),    \
    (luma, cb, cr, width, dst))                                                                  \
  X(C1, GEOMETRY, EVERY, void, ResizeYuy2Nearest,                                                \
    (const uint8_t* src, uint8_t* dst, uint32_t sw, uint32_t dw, uint32_t dh, uint32_t sx,       \
     uint32_t sy),                                                                               \
    (src, dst, sw, dw, dh, sx, sy))                                                              \
  X(C2, GEOMETRY, EVERY, void, ResampleBilinear,                                                 \
    (uint8_t* dst, uint32_t dstStride, int32_t dstWidth, int32_t dstHeight, const uint8_t* src,  \
     uint32_t srcStride, int32_t srcWidth, int32_t srcHeight, int32_t channels),                 \
    (dst, dstStride, dstWidth, dstHeight, src, srcStride, srcWidth, srcHeight, channels))        \
  X(C3, GEOMETRY, EVERY, void, TurnYuy2Half,                                                     \
    (uint8_t* dst, const uint8_t* src, size_t pixels),                                           \
    (dst, src, pixels))                                                                          \
  X(C4, GEOMETRY, ONE, void, TurnYuy2Quarter,                                                    \
    (uint8_t* dst, const uint8_t* src, int32_t rotation, uint32_t w, uint32_t h),                \
    (dst, src, rotation, w, h))                                                                  \
  X(C5, GEOMETRY, EVERY, void, MirrorFlipYuy2,                                                   \
    (uint8_t* frame, uint8_t* scratch, int32_t mirror, int32_t flip, uint32_t w, uint32_t h),    \
    (frame, scratch, mirror, flip, w, h))

#define KVZ_DISPATCH_GROUPS(X) KVZ_DISPATCH_GROUPS_A(X) KVZ_DISPATCH_GROUPS_B(X) KVZ_DISPATCH_GROUPS_C(X)

// Keeps its text for rows of one owner: KVZ_DISPATCH_WHEN(owner, IMAGE, text...).
#define KVZ_DISPATCH_WHEN(owner, want, ...) KVZ_DISPATCH_WHEN_##owner##_##want(__VA_ARGS__)
#define KVZ_DISPATCH_WHEN_IMAGE_IMAGE(...) __VA_ARGS__
#define KVZ_DISPATCH_WHEN_IMAGE_JPEG(...)
#define KVZ_DISPATCH_WHEN_IMAGE_GEOMETRY(...)
#define KVZ_DISPATCH_WHEN_JPEG_IMAGE(...)
#define KVZ_DISPATCH_WHEN_JPEG_JPEG(...) __VA_ARGS__
#define KVZ_DISPATCH_WHEN_JPEG_GEOMETRY(...)
#define KVZ_DISPATCH_WHEN_GEOMETRY_IMAGE(...)
#define KVZ_DISPATCH_WHEN_GEOMETRY_JPEG(...)
#define KVZ_DISPATCH_WHEN_GEOMETRY_GEOMETRY(...) __VA_ARGS__
#define KVZ_DISPATCH_WHEN_UNBUILT_IMAGE(...)
#define KVZ_DISPATCH_WHEN_UNBUILT_JPEG(...)
#define KVZ_DISPATCH_WHEN_UNBUILT_GEOMETRY(...)
