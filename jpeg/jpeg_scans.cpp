// Scan decoding: sequential and lossless frames decode and output one strip at a time into a
// ring of three strips per component; progressive frames gather every scan's coefficients and
// are rendered at EOI (or where the data ends) through the same strip loop and output stage.
#include <wdm.h>

#include "jpeg/jpeg_decoder.h"
#include "primitives/aligned_alloc.h"
#include "primitives/dispatch.h"

namespace kvz::jpeg {
namespace {

constexpr int64_t kMaxBlock = 0x7FFFFFFF;

int32_t Min(int32_t a, int32_t b) { return a < b ? a : b; }

}  // namespace

int32_t JpegDecoder::PrepareFrameBuffers() {
  if (buffersReady) return kJpegOk;
  for (int32_t i = 0; i < componentCount; ++i) {
    JpegComponent& c = components[i];
    const int64_t planeBytes = static_cast<int64_t>(c.planeStep) * c.stripRows * kRingStrips;
    if (planeBytes > kMaxBlock) return kJpegNoMemory;
    c.plane = prim::AllocAligned8u(static_cast<int32_t>(planeBytes));
    if (!c.plane) return kJpegNoMemory;
    if (frameType == kFrameProgressive) {
      const int64_t values = static_cast<int64_t>(c.blocksWide) * c.blocksHigh * kBlockSize;
      if (values * 2 > kMaxBlock) return kJpegNoMemory;
      c.coefficients = prim::AllocAligned16s(static_cast<int32_t>(values));
      if (!c.coefficients) return kJpegNoMemory;
      RtlZeroMemory(c.coefficients, static_cast<size_t>(values) * 2);
    }
  }
  int32_t stateSize = 0;
  if (prim::GetHuffmanDecodeStateSize(&stateSize) != 0 || stateSize <= 0) return kJpegPrimitiveFailed;
  bitState = reinterpret_cast<prim::HuffmanDecodeState*>(prim::AllocAligned8u(stateSize));
  if (!bitState) return kJpegNoMemory;
  // Output stage: a bordered copy of chroma rows, two full-resolution chroma strips, two
  // half-width rows.
  const int64_t bordered = static_cast<int64_t>(paddedWidth + 2) * (stripHeight + 2);
  const int64_t full = static_cast<int64_t>(paddedWidth) * stripHeight;
  const int64_t half = paddedWidth / 2 + 32;
  const int64_t scratchBytes = bordered + 2 * full + 2 * half;
  if (scratchBytes > kMaxBlock) return kJpegNoMemory;
  scratch = prim::AllocAligned8u(static_cast<int32_t>(scratchBytes));
  if (!scratch) return kJpegNoMemory;
  if (frameType == kFrameLossless) {
    losslessRows = prim::AllocAligned16s(3 * width);
    if (!losslessRows) return kJpegNoMemory;
  }
  buffersReady = true;
  return kJpegOk;
}

int32_t JpegDecoder::StartScan() {
  if (prim::InitHuffmanDecodeState(bitState) != 0) return kJpegPrimitiveFailed;
  for (JpegComponent& c : components) c.dcPredictor = 0;
  restartCountdown = restartInterval;
  expectedRestart = 0;
  return kJpegOk;
}

// Only RST0-RST7 may stand where a restart is due; anything else ends the scan and stays
// pending for the marker loop.
int32_t JpegDecoder::HandleRestart() {
  if (marker == 0) {
    const int32_t status = FindMarker();
    if (status != kJpegOk) return status;
  }
  if (marker < kMarkerRst0 || marker > kMarkerRst7) return kJpegBadRestart;
  marker = 0;
  expectedRestart = (expectedRestart + 1) & 7;
  const int32_t status = StartScan();
  return status;
}

int32_t JpegDecoder::DecodeScan() {
  int32_t status = PrepareFrameBuffers();
  if (status != kJpegOk) return status;
  if (frameType == kFrameProgressive) {
    status = DecodeProgressiveScan();
    scanDecoded = true;
    if (status != kJpegOk) {
      RenderProgressiveFrame();
      return status;
    }
    return kJpegOk;
  }
  if (scanDecoded) return kJpegBadSequence;
  scanDecoded = true;
  status = StartScan();
  if (status != kJpegOk) return status;
  return RunStrips(frameType == kFrameLossless ? &JpegDecoder::DecodeLosslessStrip : &JpegDecoder::DecodeMcuRow);
}

int32_t JpegDecoder::RenderProgressiveFrame() { return RunStrips(&JpegDecoder::TransformStoredRow); }

int32_t JpegDecoder::RunStrips(int32_t (JpegDecoder::*produce)(int32_t strip)) {
  rowsAvailable = 0;
  for (int32_t strip = 0; strip < stripCount; ++strip) {
    int32_t status = (this->*produce)(strip);
    if (strip > 0) {
      const int32_t output = OutputStrip(strip - 1);
      if (status == kJpegOk) status = output;
    }
    if (status != kJpegOk) {
      OutputStrip(strip);
      return status;
    }
  }
  return OutputStrip(stripCount - 1);
}

#if defined(KVZ_TEST_HOOKS)
void JpegDecoder::TapBlock(const int16_t* block, int32_t component, int32_t blockRow, int32_t blockColumn) {
  const JpegComponent& c = components[component];
  const int64_t index = static_cast<int64_t>(blockRow) * c.blocksWide + blockColumn;
  RtlCopyMemory(coefficientTap[component] + index * kBlockSize, block, kBlockSize * sizeof(int16_t));
}
#endif

int32_t JpegDecoder::TransformBlock(const int16_t* block, int32_t component, int32_t blockRow,
                                    int32_t blockColumn) {
#if defined(KVZ_TEST_HOOKS)
  if (coefficientTap[component]) TapBlock(block, component, blockRow, blockColumn);
#endif
  const JpegComponent& c = components[component];
  const int32_t row = blockRow * 8;
  const int32_t ringRow = (row / c.stripRows) % kRingStrips * c.stripRows + row % c.stripRows;
  uint8_t* dst = c.plane + static_cast<int64_t>(ringRow) * c.planeStep + blockColumn * 8;
  if (prim::DequantizeInverseDct8x8(block, dst, c.planeStep, quant[c.tq].table) < 0) return kJpegPrimitiveFailed;
  return kJpegOk;
}

// One MCU row of an interleaved sequential scan. After a failure the rest of the row is
// rendered from empty blocks, so the strip holds the partial picture and nothing stale.
// Tables and destination rows are looked up once per row, not per block.
int32_t JpegDecoder::DecodeMcuRow(int32_t strip) {
  alignas(32) int16_t blocks[kMaxBlocksPerMcu][kBlockSize];
  struct ScanPart {
    JpegComponent* component;
    const prim::HuffmanDecodeTable* dc;
    const prim::HuffmanDecodeTable* ac;
    const uint16_t* quant;
    uint8_t* rows;  // the component's first row of this MCU row in the ring
  } parts[kMaxComponents];
#if defined(KVZ_TEST_HOOKS)
  bool tapped = false;
#endif
  for (int32_t i = 0; i < scanCount; ++i) {
    const int32_t k = scanComponents[i];
    JpegComponent& c = components[k];
    const int32_t row = strip * c.v * 8;
    const int32_t ringRow = (row / c.stripRows) % kRingStrips * c.stripRows + row % c.stripRows;
    parts[i] = {&c, DcTable(c.td), AcTable(c.ta), quant[c.tq].table, c.plane + static_cast<int64_t>(ringRow) * c.planeStep};
#if defined(KVZ_TEST_HOOKS)
    tapped = tapped || coefficientTap[k] != nullptr;
#endif
  }
  int32_t status = kJpegOk;
  for (int32_t column = 0; column < mcusPerRow; ++column) {
    if (status == kJpegOk && restartInterval != 0) {
      if (restartCountdown == 0) status = HandleRestart();
      --restartCountdown;
    }
    int32_t n = 0;
    for (int32_t i = 0; i < scanCount; ++i) {
      const ScanPart& part = parts[i];
      JpegComponent& c = *part.component;
      for (int32_t b = 0; b < c.h * c.v; ++b, ++n) {
        if (status == kJpegOk && prim::DecodeHuffmanBlock(data, length, &position, blocks[n], &c.dcPredictor, &marker,
                                                          part.dc, part.ac, bitState) < 0) {
          status = kJpegDataExhausted;
        } else if (status != kJpegOk) {
          RtlZeroMemory(blocks[n], sizeof(blocks[n]));
        }
      }
    }
    n = 0;
    for (int32_t i = 0; i < scanCount; ++i) {
      const ScanPart& part = parts[i];
      const JpegComponent& c = *part.component;
      for (int32_t by = 0; by < c.v; ++by) {
        uint8_t* dst = part.rows + static_cast<int64_t>(by) * 8 * c.planeStep + column * c.h * 8;
        for (int32_t bx = 0; bx < c.h; ++bx, ++n, dst += 8) {
#if defined(KVZ_TEST_HOOKS)
          if (tapped && coefficientTap[scanComponents[i]]) {
            TapBlock(blocks[n], scanComponents[i], strip * c.v + by, column * c.h + bx);
          }
#endif
          if (prim::DequantizeInverseDct8x8(blocks[n], dst, c.planeStep, part.quant) < 0 && status == kJpegOk) {
            status = kJpegPrimitiveFailed;
          }
        }
      }
    }
  }
  rowsAvailable = Min(height, (strip + 1) * stripHeight);
  return status;
}

int32_t JpegDecoder::TransformStoredRow(int32_t strip) {
  int32_t status = kJpegOk;
  for (int32_t k = 0; k < componentCount && status == kJpegOk; ++k) {
    const JpegComponent& c = components[k];
    for (int32_t by = 0; by < c.v && status == kJpegOk; ++by) {
      const int32_t blockRow = strip * c.v + by;
      const int16_t* block = c.coefficients + static_cast<int64_t>(blockRow) * c.blocksWide * kBlockSize;
      for (int32_t bx = 0; bx < c.blocksWide && status == kJpegOk; ++bx, block += kBlockSize) {
        status = TransformBlock(block, k, blockRow, bx);
      }
    }
  }
  rowsAvailable = Min(height, (strip + 1) * stripHeight);
  return status;
}

int32_t JpegDecoder::DecodeProgressiveBlock(int32_t component, int32_t blockRow, int32_t blockColumn) {
  JpegComponent& c = components[component];
  int16_t* block = c.coefficients + (static_cast<int64_t>(blockRow) * c.blocksWide + blockColumn) * kBlockSize;
  int32_t result;
  if (ss == 0) {
    result = ah == 0 ? prim::DecodeHuffmanDcFirst(data, length, &position, block, &c.dcPredictor, &marker, al,
                                                  DcTable(c.td), bitState)
                     : prim::DecodeHuffmanDcRefine(data, length, &position, block, &marker, al, bitState);
  } else {
    result = ah == 0 ? prim::DecodeHuffmanAcFirst(data, length, &position, block, &marker, ss, se, al,
                                                  AcTable(c.ta), bitState)
                     : prim::DecodeHuffmanAcRefine(data, length, &position, block, &marker, ss, se, al,
                                                   AcTable(c.ta), bitState);
  }
  return result < 0 ? kJpegDataExhausted : kJpegOk;
}

// A scan of one component covers that component's own blocks (T.81 A.2.2); an interleaved DC
// scan walks the MCUs over the components the scan names.
int32_t JpegDecoder::DecodeProgressiveScan() {
  int32_t status = StartScan();
  if (scanCount == 1) {
    const int32_t k = scanComponents[0];
    const JpegComponent& c = components[k];
    const int32_t rows = (c.height + 7) / 8;
    const int32_t columns = (c.width + 7) / 8;
    for (int32_t row = 0; row < rows && status == kJpegOk; ++row) {
      for (int32_t column = 0; column < columns && status == kJpegOk; ++column) {
        if (restartInterval != 0) {
          if (restartCountdown == 0) status = HandleRestart();
          --restartCountdown;
        }
        if (status == kJpegOk) status = DecodeProgressiveBlock(k, row, column);
      }
    }
    return status;
  }
  for (int32_t row = 0; row < mcuRows && status == kJpegOk; ++row) {
    for (int32_t column = 0; column < mcusPerRow && status == kJpegOk; ++column) {
      if (restartInterval != 0) {
        if (restartCountdown == 0) status = HandleRestart();
        --restartCountdown;
      }
      for (int32_t i = 0; i < scanCount && status == kJpegOk; ++i) {
        const int32_t k = scanComponents[i];
        const JpegComponent& c = components[k];
        for (int32_t b = 0; b < c.h * c.v && status == kJpegOk; ++b) {
          status = DecodeProgressiveBlock(k, row * c.v + b / c.h, column * c.h + b % c.h);
        }
      }
    }
  }
  return status;
}

// Rows of differences are rebuilt by the prediction primitives; a row that starts a restart
// interval is predicted as a first row (T.81 H.1.2.1). Samples are scaled to 8 bits.
int32_t JpegDecoder::DecodeLosslessStrip(int32_t strip) {
  JpegComponent& c = components[0];
  int16_t* differences = losslessRows;
  uint16_t* current = reinterpret_cast<uint16_t*>(losslessRows + width);
  uint16_t* previous = reinterpret_cast<uint16_t*>(losslessRows + 2 * width);
  const int32_t first = strip * stripHeight;
  const int32_t last = Min(height, first + stripHeight);
  const int32_t predictor = ss;
  const int32_t pointTransform = al;
  for (int32_t y = first; y < last; ++y) {
    bool firstRow = y == 0;
    for (int32_t x = 0; x < width; ++x) {
      if (restartInterval != 0) {
        if (restartCountdown == 0) {
          // A restart inside a row would leave the row's prediction undefined here.
          if (x != 0) return kJpegUnsupported;
          const int32_t status = HandleRestart();
          if (status != kJpegOk) return status;
          firstRow = true;
        }
        --restartCountdown;
      }
      if (prim::DecodeHuffmanOne(data, length, &position, &differences[x], &marker, DcTable(c.td), bitState) < 0) {
        return kJpegDataExhausted;
      }
    }
    const int32_t rebuilt =
        firstRow ? prim::ReconstructPredFirstRow(differences, current, width, precision, pointTransform)
                 : prim::ReconstructPredRow(differences, previous, current, width, predictor);
    if (rebuilt != 0) return kJpegPrimitiveFailed;
    const int32_t ringRow = (y / c.stripRows) % kRingStrips * c.stripRows + y % c.stripRows;
    uint8_t* dst = c.plane + static_cast<int64_t>(ringRow) * c.planeStep;
    for (int32_t x = 0; x < width; ++x) {
      uint32_t sample = (static_cast<uint32_t>(current[x]) << pointTransform) & 0xFFFF;
      sample = precision > 8 ? sample >> (precision - 8) : sample << (8 - precision);
      dst[x] = static_cast<uint8_t>(sample > 255 ? 255 : sample);
    }
    uint16_t* swap = previous;
    previous = current;
    current = swap;
    rowsAvailable = y + 1;
  }
  // The rows swap buffers: keep the last rebuilt row where the next strip reads it.
  uint16_t* kept = reinterpret_cast<uint16_t*>(losslessRows + 2 * width);
  if (previous != kept) RtlCopyMemory(kept, previous, static_cast<size_t>(width) * 2);
  return kJpegOk;
}

}  // namespace kvz::jpeg
