#include "primitives/dispatch_table.h"

#include "primitives/colour_convert.h"
#include "primitives/library_version.h"
#include "primitives/mirror.h"
#include "primitives/region_copy.h"
#include "primitives/resize.h"
#include "primitives/vector_ops.h"

namespace kvz::prim {

#if defined(__i386__)
#define KVZ_ALL_BUILDS(name) \
  { &generic::name, &sse::name, &sse2::name, &sse3::name, &ssse3::name }
#else
#define KVZ_ALL_BUILDS(name) \
  { &generic::name, &sse3::name, &ssse3::name }
#endif
// The JPEG primitives' groups stay empty until that library provides its builds; their entries
// must not be called before then.
#define KVZ_JPEG_GROUP(name) \
  {}

const PrimitiveDispatchGroups PrimitiveDispatchTable = {
    KVZ_ALL_BUILDS(ResizeImage8uC4),
    KVZ_ALL_BUILDS(MirrorImage8uC3InPlace),
    KVZ_ALL_BUILDS(CopyImage8u),
    KVZ_ALL_BUILDS(InterleavePlanes8uP3C3),
    KVZ_ALL_BUILDS(InterleavePlanes8uP4C4),
    KVZ_ALL_BUILDS(ConvertWordsToBytes),
    KVZ_ALL_BUILDS(CopyImage16s),
    KVZ_ALL_BUILDS(SplitPixels8uC3P3),
    KVZ_ALL_BUILDS(SplitPixels8uC4P4),
    KVZ_ALL_BUILDS(SplitPixels16sC3P3),
    KVZ_ALL_BUILDS(SplitPixels16sC4P4),
    KVZ_ALL_BUILDS(ConvertBytesToWords),
    KVZ_JPEG_GROUP(GetHuffmanDecodeTableSize),
    KVZ_JPEG_GROUP(InitHuffmanDecodeTable),
    KVZ_JPEG_GROUP(GetHuffmanDecodeStateSize),
    KVZ_JPEG_GROUP(InitHuffmanDecodeState),
    KVZ_JPEG_GROUP(DecodeHuffmanBlock),
    KVZ_JPEG_GROUP(DecodeHuffmanDcFirst),
    KVZ_JPEG_GROUP(DecodeHuffmanDcRefine),
    KVZ_JPEG_GROUP(DecodeHuffmanAcFirst),
    KVZ_JPEG_GROUP(DecodeHuffmanAcRefine),
    KVZ_JPEG_GROUP(DecodeHuffmanOne),
    KVZ_JPEG_GROUP(SampleUpH2V1),
    KVZ_JPEG_GROUP(SampleUpH2V2),
    KVZ_JPEG_GROUP(YCbCrToRgb),
    KVZ_JPEG_GROUP(YCbCrToBgr),
    KVZ_JPEG_GROUP(YcckToCmyk),
    KVZ_JPEG_GROUP(DequantizeInverseDct8x8),
    KVZ_JPEG_GROUP(ReconstructPredFirstRow),
    KVZ_JPEG_GROUP(ReconstructPredRow),
    KVZ_JPEG_GROUP(InitInverseQuantTable),
    KVZ_ALL_BUILDS(GetLibraryVersion),
    KVZ_JPEG_GROUP(InitHuffmanEncodeState),
    KVZ_JPEG_GROUP(EncodeHuffmanBlock),
    KVZ_JPEG_GROUP(RgbToY),
    KVZ_JPEG_GROUP(RgbToYCbCr),
    KVZ_JPEG_GROUP(BgrToYCbCr),
    KVZ_JPEG_GROUP(CmykToYcck),
    KVZ_JPEG_GROUP(SampleDownRowH2V1),
    KVZ_JPEG_GROUP(SampleDownRowH2V2),
    KVZ_JPEG_GROUP(ForwardDctQuantize8x8),
    KVZ_JPEG_GROUP(DiffPredFirstRow),
    KVZ_JPEG_GROUP(DiffPredRow),
    KVZ_JPEG_GROUP(ScaleQuantTable),
    KVZ_JPEG_GROUP(InitForwardQuantTable),
    KVZ_JPEG_GROUP(GetHuffmanEncodeTableSize),
    KVZ_JPEG_GROUP(InitHuffmanEncodeTable),
    KVZ_JPEG_GROUP(GetHuffmanEncodeStateSize),
    KVZ_ALL_BUILDS(CopyBytes),
    KVZ_ALL_BUILDS(ZeroBytes),
    KVZ_ALL_BUILDS(ShiftLeftWords),
    KVZ_ALL_BUILDS(CopyWords),
    KVZ_ALL_BUILDS(ShiftRightWords),
#if !defined(__i386__)
    nullptr,
#endif
    KVZ_ALL_BUILDS(RgbToYuv420),
    KVZ_ALL_BUILDS(Yuv420ToBgr),
    KVZ_ALL_BUILDS(YuvToRgb),
    KVZ_ALL_BUILDS(Yuy2ToPlanar422),
};

}  // namespace kvz::prim
