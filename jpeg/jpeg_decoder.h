// The decoder's per-frame state and its steps: marker parsing (jpeg_markers.cpp), scan
// decoding (jpeg_scans.cpp) and the output stage (jpeg_output.cpp). One frame runs Reset,
// SetInput, ReadHeader, SetOutput, DecodeImage and Release; only the standard Huffman tables,
// built once per decoder object, outlive a frame.
#pragma once
#include <stdint.h>

#include "jpeg/jpeg_constants.h"
#include "primitives/jpeg_primitive_types.h"

namespace kvz::jpeg {

struct JpegComponent {
  int32_t id;
  int32_t h;
  int32_t v;
  int32_t tq;
  int32_t td;
  int32_t ta;
  int16_t dcPredictor;
  bool acComplete;
  // Samples the component really has (T.81 A.1.1) and the blocks the MCU grid gives it.
  int32_t width;
  int32_t height;
  int32_t blocksWide;
  int32_t blocksHigh;
  // Native rows of one strip; the plane is a ring of kRingStrips strips, planeStep wide.
  int32_t stripRows;
  int32_t planeStep;
  uint8_t* plane;
  int16_t* coefficients;  // progressive: blocksWide x blocksHigh blocks
};

struct QuantTableSlot {
  uint16_t table[kBlockSize];  // dequantisation table in natural order
  bool loaded;
};

struct HuffmanTableSlot {
  prim::HuffmanDecodeTable* table;  // loaded by this frame's DHT
  bool loaded;
};

struct JpegDecoder {
  // Input.
  const uint8_t* data;
  int32_t length;
  int32_t position;
  int32_t marker;  // pending marker code, 0 when none; shared with the bit reader

  // Output.
  uint8_t* out;
  int32_t outFormat;

  // Frame header.
  bool frameSeen;
  int32_t frameType;
  int32_t width;
  int32_t height;
  int32_t componentCount;
  int32_t precision;
  int32_t samplingClass;
  int32_t colorSpace;
  int32_t restartInterval;
  int32_t hMax;
  int32_t vMax;
  JpegComponent components[kMaxComponents];

  // Application segments that decide the colour space.
  bool jfifSeen;
  bool adobeSeen;
  int32_t adobeTransform;

  // Geometry.
  int32_t mcuWidth;
  int32_t mcuHeight;
  int32_t mcusPerRow;
  int32_t mcuRows;
  int32_t paddedWidth;
  int32_t stripHeight;  // image rows per output strip
  int32_t stripCount;

  // Current scan.
  int32_t scanCount;
  int32_t scanComponents[kMaxComponents];  // frame indices, scan order
  int32_t ss;
  int32_t se;
  int32_t ah;
  int32_t al;
  int32_t restartCountdown;
  int32_t expectedRestart;
  bool scanDecoded;  // a sequential or lossless frame has had its one scan

  // Tables.
  QuantTableSlot quant[kTableSlots];
  HuffmanTableSlot dc[kTableSlots];
  HuffmanTableSlot ac[kTableSlots];
  // The MJPEG defaults (Annex K), kept for the decoder object's lifetime.
  prim::HuffmanDecodeTable* standardDc[kStandardHuffmanSlots];
  prim::HuffmanDecodeTable* standardAc[kStandardHuffmanSlots];
  bool standardTablesInstalled;

  // Per-frame buffers.
  prim::HuffmanDecodeState* bitState;
  uint8_t* scratch;        // output stage: bordered chroma, full-resolution chroma, half rows
  int16_t* losslessRows;   // lossless: differences, current and previous row
  bool buffersReady;
  int32_t rowsAvailable;   // image rows whose samples are in the ring
#if defined(KVZ_TEST_HOOKS)
  // Test evidence, only in the tests' copy of this library (as primitives/path_counts.h): when
  // a component's pointer is set (after Reset), every block's quantised coefficients are copied
  // there too, blocksWide x blocksHigh blocks in raster order.
  int16_t* coefficientTap[kMaxComponents];
#endif

  // ---- jpeg_markers.cpp ----
  void Reset();
  void Release();
  void SetInput(const uint8_t* input, int32_t inputLength);
  void SetOutput(uint8_t* output, int32_t format);
  // Header pass: tables, frame header and the first scan header; leaves the position on the
  // SOS marker.
  int32_t ReadHeader();
  // Decode pass from that SOS marker to EOI.
  int32_t DecodeImage();
  int32_t InstallStandardTables();
  void FreeStandardTables();

  int32_t ParseMarkers(bool decode);
  int32_t FindMarker();
  int32_t ReadByte(int32_t* value);
  int32_t ReadWord(int32_t* value);
  int32_t SegmentLength(int32_t* remaining);
  int32_t SkipSegment();
  int32_t ReadSof(int32_t code);
  int32_t ReadDht();
  int32_t ReadDqt();
  int32_t ReadDri();
  int32_t ReadSos();
  int32_t ReadApp0();
  int32_t ReadApp14();
  int32_t ClassifySampling();
  void DecideColorSpace();
  void ComputeGeometry();
  int32_t CheckScanTables() const;
  const prim::HuffmanDecodeTable* DcTable(int32_t slot) const;
  const prim::HuffmanDecodeTable* AcTable(int32_t slot) const;

  // ---- jpeg_scans.cpp ----
  int32_t PrepareFrameBuffers();
  int32_t StartScan();
  int32_t HandleRestart();
  int32_t DecodeScan();
  int32_t DecodeProgressiveScan();
  int32_t RenderProgressiveFrame();
  int32_t DecodeProgressiveBlock(int32_t component, int32_t blockRow, int32_t blockColumn);
  // Produces strip after strip and outputs each once the one below it exists.
  int32_t RunStrips(int32_t (JpegDecoder::*produce)(int32_t strip));
  int32_t DecodeMcuRow(int32_t strip);
  int32_t TransformStoredRow(int32_t strip);
  int32_t DecodeLosslessStrip(int32_t strip);
  int32_t TransformBlock(const int16_t* block, int32_t component, int32_t blockRow, int32_t blockColumn);
#if defined(KVZ_TEST_HOOKS)
  void TapBlock(const int16_t* block, int32_t component, int32_t blockRow, int32_t blockColumn);
#endif

  // ---- jpeg_output.cpp ----
  bool OutputSupported() const;
  int32_t OutputStrip(int32_t strip);
  uint8_t* NativeRow(int32_t component, int32_t row) const;
  int32_t FullResolutionChroma(int32_t component, int32_t strip, uint8_t* dst);
};

}  // namespace kvz::jpeg
