// Marker codes, limits and internal result codes of the JPEG codec, named once.
#pragma once
#include <stdint.h>

// The codec's entry points take their pixel formats as PixelLayout values.
#include "primitives/pixel_layout.h"

namespace kvz::jpeg {

// Internal step results; both entry points turn every non-zero code into 1.
enum JpegResult : int32_t {
  kJpegOk = 0,
  kJpegUnsupported = -1,
  kJpegPrimitiveFailed = -2,
  kJpegDataExhausted = -3,
  kJpegNoMemory = -4,
  kJpegBadLength = -5,
  kJpegBadDht = -6,
  kJpegBadDqt = -7,
  kJpegBadScanCount = -8,
  kJpegBadFrame = -9,
  kJpegUnknownComponent = -10,
  kJpegBadGreySampling = -11,
  kJpegBadScan = -12,        // scan parameters outside T.81 G.1.1.1, or a repeated component
  kJpegMissingTable = -13,   // a scan or frame names a table this frame never loaded
  kJpegBadRestart = -14,     // something other than RST0-RST7 where a restart is due
  kJpegBadSequence = -15,    // a second frame header, a scan before the frame, a second scan
};

enum JpegMarker : uint8_t {
  kMarkerSof0 = 0xC0,   // baseline
  kMarkerSof1 = 0xC1,   // extended sequential, Huffman
  kMarkerSof2 = 0xC2,   // progressive, Huffman
  kMarkerSof3 = 0xC3,   // lossless, Huffman
  kMarkerDht = 0xC4,
  kMarkerJpg = 0xC8,
  kMarkerDac = 0xCC,
  kMarkerRst0 = 0xD0,
  kMarkerRst7 = 0xD7,
  kMarkerSoi = 0xD8,
  kMarkerEoi = 0xD9,
  kMarkerSos = 0xDA,
  kMarkerDqt = 0xDB,
  kMarkerDnl = 0xDC,
  kMarkerDri = 0xDD,
  kMarkerDhp = 0xDE,
  kMarkerExp = 0xDF,
  kMarkerApp0 = 0xE0,
  kMarkerApp14 = 0xEE,
  kMarkerCom = 0xFE,
};

// Frame kinds the decoder handles.
enum JpegFrameType : int32_t { kFrameSequential = 0, kFrameProgressive = 1, kFrameLossless = 2 };

// Sampling of a YCbCr frame: 0 every component 1x1, 1 luma 2x1 (4:2:2), 2 luma 2x2 (4:2:0).
enum SamplingClass : int32_t { kSampling444 = 0, kSampling422 = 1, kSampling420 = 2, kSamplingOther = 3 };

enum JpegColorSpace : int32_t {
  kColorUnknown = 0,
  kColorGrey = 1,
  kColorRgb = 2,
  kColorYCbCr = 4,
  kColorCmyk = 5,
  kColorYcck = 6,
};

inline constexpr int32_t kMaxComponents = 4;
inline constexpr int32_t kTableSlots = 4;     // quantisation and Huffman selectors 0-3
inline constexpr int32_t kStandardHuffmanSlots = 2;  // the MJPEG defaults fill DC/AC 0 and 1
inline constexpr int32_t kBlockSize = 64;
inline constexpr int32_t kMaxBlocksPerMcu = 10;  // T.81 B.2.3
inline constexpr int32_t kMaxDimension = 65535;
inline constexpr int32_t kRingStrips = 3;   // a strip, the one above and the one below it
inline constexpr int32_t kLosslessStripRows = 8;

// Pool tag of the decoder object.
inline constexpr uint32_t kDecoderPoolTag = 'ClCP';

// Vendor codes (DetectCpuVendor), taken as the codec's processor mode; the build is the
// primitives' selection whatever the mode.
enum CpuVendorCode : uint32_t {
  kVendorOther = 0,
  kVendorIntel = 1,
  kVendorAmdFamily15x86 = 2,
  kVendorAmdFamily15x64 = 3,
};

}  // namespace kvz::jpeg
