// The dispatch table: one group of build pointers per dispatched primitive, in slot order
// (the order of KVZ_FOR_EACH_BUILD). Constant data.
#pragma once
#include "primitives/build.h"
#include "primitives/dispatch.h"

namespace kvz::prim {

#define KVZ_DISPATCH_GROUP(name) decltype(&::kvz::prim::name) name[KVZ_BUILD_COUNT];

struct PrimitiveDispatchGroups {
  KVZ_DISPATCH_GROUP(ResizeImage8uC4)            // A0
  KVZ_DISPATCH_GROUP(MirrorImage8uC3InPlace)     // A1
  KVZ_DISPATCH_GROUP(CopyImage8u)                // A2
  KVZ_DISPATCH_GROUP(InterleavePlanes8uP3C3)     // A3
  KVZ_DISPATCH_GROUP(InterleavePlanes8uP4C4)     // A4
  KVZ_DISPATCH_GROUP(ConvertWordsToBytes)        // A5
  KVZ_DISPATCH_GROUP(CopyImage16s)               // A6
  KVZ_DISPATCH_GROUP(SplitPixels8uC3P3)          // A7
  KVZ_DISPATCH_GROUP(SplitPixels8uC4P4)          // A8
  KVZ_DISPATCH_GROUP(SplitPixels16sC3P3)         // A9
  KVZ_DISPATCH_GROUP(SplitPixels16sC4P4)         // A10
  KVZ_DISPATCH_GROUP(ConvertBytesToWords)        // A11
  KVZ_DISPATCH_GROUP(GetHuffmanDecodeTableSize)  // A12
  KVZ_DISPATCH_GROUP(InitHuffmanDecodeTable)     // A13
  KVZ_DISPATCH_GROUP(GetHuffmanDecodeStateSize)  // A14
  KVZ_DISPATCH_GROUP(InitHuffmanDecodeState)     // A15
  KVZ_DISPATCH_GROUP(DecodeHuffmanBlock)         // A16
  KVZ_DISPATCH_GROUP(DecodeHuffmanDcFirst)       // A17
  KVZ_DISPATCH_GROUP(DecodeHuffmanDcRefine)      // A18
  KVZ_DISPATCH_GROUP(DecodeHuffmanAcFirst)       // A19
  KVZ_DISPATCH_GROUP(DecodeHuffmanAcRefine)      // A20
  KVZ_DISPATCH_GROUP(DecodeHuffmanOne)           // A21
  KVZ_DISPATCH_GROUP(SampleUpH2V1)               // A22
  KVZ_DISPATCH_GROUP(SampleUpH2V2)               // A23
  KVZ_DISPATCH_GROUP(YCbCrToRgb)                 // A24
  KVZ_DISPATCH_GROUP(YCbCrToBgr)                 // A25
  KVZ_DISPATCH_GROUP(YcckToCmyk)                 // A26
  KVZ_DISPATCH_GROUP(DequantizeInverseDct8x8)    // A27
  KVZ_DISPATCH_GROUP(ReconstructPredFirstRow)    // A28
  KVZ_DISPATCH_GROUP(ReconstructPredRow)         // A29
  KVZ_DISPATCH_GROUP(InitInverseQuantTable)      // A30
  KVZ_DISPATCH_GROUP(GetLibraryVersion)          // A31
  KVZ_DISPATCH_GROUP(InitHuffmanEncodeState)     // A32
  KVZ_DISPATCH_GROUP(EncodeHuffmanBlock)         // A33
  KVZ_DISPATCH_GROUP(RgbToY)                     // A34
  KVZ_DISPATCH_GROUP(RgbToYCbCr)                 // A35
  KVZ_DISPATCH_GROUP(BgrToYCbCr)                 // A36
  KVZ_DISPATCH_GROUP(CmykToYcck)                 // A37
  KVZ_DISPATCH_GROUP(SampleDownRowH2V1)          // A38
  KVZ_DISPATCH_GROUP(SampleDownRowH2V2)          // A39
  KVZ_DISPATCH_GROUP(ForwardDctQuantize8x8)      // A40
  KVZ_DISPATCH_GROUP(DiffPredFirstRow)           // A41
  KVZ_DISPATCH_GROUP(DiffPredRow)                // A42
  KVZ_DISPATCH_GROUP(ScaleQuantTable)            // A43
  KVZ_DISPATCH_GROUP(InitForwardQuantTable)      // A44
  KVZ_DISPATCH_GROUP(GetHuffmanEncodeTableSize)  // A45
  KVZ_DISPATCH_GROUP(InitHuffmanEncodeTable)     // A46
  KVZ_DISPATCH_GROUP(GetHuffmanEncodeStateSize)  // A47
  KVZ_DISPATCH_GROUP(CopyBytes)                  // A48
  KVZ_DISPATCH_GROUP(ZeroBytes)                  // A49
  KVZ_DISPATCH_GROUP(ShiftLeftWords)             // A50
  KVZ_DISPATCH_GROUP(CopyWords)                  // A51
  KVZ_DISPATCH_GROUP(ShiftRightWords)            // A52
#if !defined(__i386__)
  // On x86-64 table A ends with a null pointer and the colour table follows it.
  const void* endOfTableA;
#endif
  KVZ_DISPATCH_GROUP(RgbToYuv420)                // B0
  KVZ_DISPATCH_GROUP(Yuv420ToBgr)                // B1
  KVZ_DISPATCH_GROUP(YuvToRgb)                   // B2
  KVZ_DISPATCH_GROUP(Yuy2ToPlanar422)            // B3
};

#undef KVZ_DISPATCH_GROUP

extern const PrimitiveDispatchGroups PrimitiveDispatchTable;

}  // namespace kvz::prim
