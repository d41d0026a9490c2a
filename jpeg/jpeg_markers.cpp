// The marker loop and the segment readers (T.81 Annex B). Every read checks the end of the
// data, every segment length is checked against what remains, and every table selector is
// bounded before it indexes a slot.
#include <wdm.h>

#include "jpeg/jpeg_decoder.h"
#include "jpeg/jpeg_tables.h"
#include "primitives/aligned_alloc.h"
#include "primitives/dispatch.h"

namespace kvz::jpeg {
namespace {

bool IsSof(int32_t code) { return code >= kMarkerSof0 && code <= kMarkerSof3; }

// Hierarchical, arithmetic-coded and reserved frame kinds: refused where they are announced.
bool IsRefusedFrame(int32_t code) {
  return (code >= 0xC5 && code <= 0xCF && code != kMarkerDht && code != kMarkerDac) || code == kMarkerDhp ||
         code == kMarkerExp;
}

bool IsRestart(int32_t code) { return code >= kMarkerRst0 && code <= kMarkerRst7; }

int32_t AllocHuffmanTable(prim::HuffmanDecodeTable** table) {
  if (*table) return kJpegOk;
  int32_t size = 0;
  if (prim::GetHuffmanDecodeTableSize(&size) != 0 || size <= 0) return kJpegPrimitiveFailed;
  *table = reinterpret_cast<prim::HuffmanDecodeTable*>(prim::AllocAligned8u(size));
  return *table ? kJpegOk : kJpegNoMemory;
}

void FreeHuffmanTable(prim::HuffmanDecodeTable** table) {
  prim::FreeAligned(*table);
  *table = nullptr;
}

int32_t CeilDiv(int64_t value, int64_t divisor) { return static_cast<int32_t>((value + divisor - 1) / divisor); }

}  // namespace

void JpegDecoder::Reset() {
  prim::HuffmanDecodeTable* keepDc[kStandardHuffmanSlots] = {standardDc[0], standardDc[1]};
  prim::HuffmanDecodeTable* keepAc[kStandardHuffmanSlots] = {standardAc[0], standardAc[1]};
  const bool keepInstalled = standardTablesInstalled;
  RtlZeroMemory(this, sizeof(*this));
  for (int32_t i = 0; i < kStandardHuffmanSlots; ++i) {
    standardDc[i] = keepDc[i];
    standardAc[i] = keepAc[i];
  }
  standardTablesInstalled = keepInstalled;
  precision = 8;
}

void JpegDecoder::Release() {
  for (int32_t i = 0; i < kTableSlots; ++i) {
    FreeHuffmanTable(&dc[i].table);
    FreeHuffmanTable(&ac[i].table);
  }
  for (JpegComponent& c : components) {
    prim::FreeAligned(c.plane);
    prim::FreeAligned(c.coefficients);
  }
  prim::FreeAligned(bitState);
  prim::FreeAligned(scratch);
  prim::FreeAligned(losslessRows);
  Reset();
}

void JpegDecoder::SetInput(const uint8_t* input, int32_t inputLength) {
  data = input;
  length = inputLength;
  position = 0;
}

void JpegDecoder::SetOutput(uint8_t* output, int32_t format) {
  out = output;
  outFormat = format == kPixelI420 || format == kPixelYuy2 ? format : kPixelRgb24;
}

int32_t JpegDecoder::InstallStandardTables() {
  if (standardTablesInstalled) return kJpegOk;
  const HuffmanSpec* dcSpecs[kStandardHuffmanSlots] = {&kStandardDcLuminance, &kStandardDcChrominance};
  const HuffmanSpec* acSpecs[kStandardHuffmanSlots] = {&kStandardAcLuminance, &kStandardAcChrominance};
  int32_t status = kJpegOk;
  for (int32_t i = 0; i < kStandardHuffmanSlots && status == kJpegOk; ++i) {
    status = AllocHuffmanTable(&standardDc[i]);
    if (status == kJpegOk) status = AllocHuffmanTable(&standardAc[i]);
    if (status == kJpegOk &&
        (prim::InitHuffmanDecodeTable(dcSpecs[i]->bits, dcSpecs[i]->values, standardDc[i]) != 0 ||
         prim::InitHuffmanDecodeTable(acSpecs[i]->bits, acSpecs[i]->values, standardAc[i]) != 0)) {
      status = kJpegPrimitiveFailed;
    }
  }
  if (status != kJpegOk) {
    FreeStandardTables();
    return status;
  }
  standardTablesInstalled = true;
  return kJpegOk;
}

void JpegDecoder::FreeStandardTables() {
  for (int32_t i = 0; i < kStandardHuffmanSlots; ++i) {
    FreeHuffmanTable(&standardDc[i]);
    FreeHuffmanTable(&standardAc[i]);
  }
  standardTablesInstalled = false;
}

const prim::HuffmanDecodeTable* JpegDecoder::DcTable(int32_t slot) const {
  if (dc[slot].loaded) return dc[slot].table;
  return slot < kStandardHuffmanSlots && standardTablesInstalled ? standardDc[slot] : nullptr;
}

const prim::HuffmanDecodeTable* JpegDecoder::AcTable(int32_t slot) const {
  if (ac[slot].loaded) return ac[slot].table;
  return slot < kStandardHuffmanSlots && standardTablesInstalled ? standardAc[slot] : nullptr;
}

int32_t JpegDecoder::ReadByte(int32_t* value) {
  if (position >= length) return kJpegDataExhausted;
  *value = data[position++];
  return kJpegOk;
}

int32_t JpegDecoder::ReadWord(int32_t* value) {
  int32_t high = 0;
  int32_t low = 0;
  int32_t status = ReadByte(&high);
  if (status == kJpegOk) status = ReadByte(&low);
  *value = high << 8 | low;
  return status;
}

int32_t JpegDecoder::SegmentLength(int32_t* remaining) {
  int32_t segmentLength = 0;
  const int32_t status = ReadWord(&segmentLength);
  if (status != kJpegOk) return status;
  if (segmentLength < 2) return kJpegBadLength;
  if (segmentLength - 2 > length - position) return kJpegDataExhausted;
  *remaining = segmentLength - 2;
  return kJpegOk;
}

int32_t JpegDecoder::SkipSegment() {
  int32_t remaining = 0;
  const int32_t status = SegmentLength(&remaining);
  if (status == kJpegOk) position += remaining;
  return status;
}

int32_t JpegDecoder::FindMarker() {
  int32_t value = 0;
  for (;;) {
    do {
      if (ReadByte(&value) != kJpegOk) return kJpegDataExhausted;
    } while (value != 0xFF);
    do {
      if (ReadByte(&value) != kJpegOk) return kJpegDataExhausted;
    } while (value == 0xFF);
    if (value != 0) {
      marker = value;
      return kJpegOk;
    }
  }
}

int32_t JpegDecoder::ReadSof(int32_t code) {
  if (frameSeen) return kJpegBadSequence;
  int32_t remaining = 0;
  int32_t status = SegmentLength(&remaining);
  int32_t count = 0;
  if (status == kJpegOk) status = ReadByte(&precision);
  if (status == kJpegOk) status = ReadWord(&height);
  if (status == kJpegOk) status = ReadWord(&width);
  if (status == kJpegOk) status = ReadByte(&count);
  if (status != kJpegOk) return status;
  if (code == kMarkerSof3) {
    if (precision < 2 || precision > 16) return kJpegBadFrame;
    if (count != 1) return kJpegUnsupported;
  } else if (precision != 8) {
    return kJpegUnsupported;  // 12-bit DCT
  }
  // A height of 0 would be announced later by DNL, which no camera sends.
  if (width < 1 || height < 1 || count < 1 || count > kMaxComponents) return kJpegBadFrame;
  if (remaining != 6 + 3 * count) return kJpegBadLength;
  componentCount = count;
  hMax = 1;
  vMax = 1;
  for (int32_t i = 0; i < count; ++i) {
    JpegComponent& c = components[i];
    int32_t factors = 0;
    status = ReadByte(&c.id);
    if (status == kJpegOk) status = ReadByte(&factors);
    if (status == kJpegOk) status = ReadByte(&c.tq);
    if (status != kJpegOk) return status;
    c.h = factors >> 4;
    c.v = factors & 15;
    if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4 || c.tq >= kTableSlots) return kJpegBadFrame;
    for (int32_t j = 0; j < i; ++j) {
      if (components[j].id == c.id) return kJpegBadFrame;
    }
    if (c.h > hMax) hMax = c.h;
    if (c.v > vMax) vMax = c.v;
  }
  frameType = code == kMarkerSof2 ? kFrameProgressive : code == kMarkerSof3 ? kFrameLossless : kFrameSequential;
  status = ClassifySampling();
  if (status != kJpegOk) return status;
  frameSeen = true;
  ComputeGeometry();
  return kJpegOk;
}

// The output stage knows three layouts: every component at full resolution, and chroma halved
// across (4:2:2) or across and down (4:2:0), luma (and a fourth component) at full resolution.
int32_t JpegDecoder::ClassifySampling() {
  const JpegComponent* c = components;
  if (componentCount == 1) {
    if (c[0].h != 1 || c[0].v != 1) return kJpegBadGreySampling;
    samplingClass = kSampling444;
    return kJpegOk;
  }
  bool all = true;
  bool halfAcross = true;
  bool halfBoth = true;
  for (int32_t i = 0; i < componentCount; ++i) {
    const bool chroma = componentCount >= 3 && (i == 1 || i == 2);
    const bool full = c[i].h == hMax && c[i].v == vMax;
    all = all && full;
    halfAcross = halfAcross && (chroma ? 2 * c[i].h == hMax && c[i].v == vMax : full);
    halfBoth = halfBoth && (chroma ? 2 * c[i].h == hMax && 2 * c[i].v == vMax : full);
  }
  samplingClass = all ? kSampling444 : halfAcross ? kSampling422 : halfBoth ? kSampling420 : kSamplingOther;
  return kJpegOk;
}

void JpegDecoder::ComputeGeometry() {
  if (frameType == kFrameLossless) {
    mcuWidth = 1;
    mcuHeight = 1;
    stripHeight = kLosslessStripRows;
  } else {
    mcuWidth = 8 * hMax;
    mcuHeight = 8 * vMax;
    stripHeight = mcuHeight;
  }
  mcusPerRow = CeilDiv(width, mcuWidth);
  mcuRows = CeilDiv(height, mcuHeight);
  paddedWidth = mcusPerRow * mcuWidth;
  stripCount = CeilDiv(height, stripHeight);
  for (int32_t i = 0; i < componentCount; ++i) {
    JpegComponent& c = components[i];
    c.width = CeilDiv(static_cast<int64_t>(width) * c.h, hMax);
    c.height = CeilDiv(static_cast<int64_t>(height) * c.v, vMax);
    c.blocksWide = mcusPerRow * c.h;
    c.blocksHigh = mcuRows * c.v;
    c.stripRows = stripHeight * c.v / vMax;
    c.planeStep = frameType == kFrameLossless ? width : c.blocksWide * 8;
  }
}

int32_t JpegDecoder::ReadDht() {
  int32_t remaining = 0;
  int32_t status = SegmentLength(&remaining);
  while (status == kJpegOk && remaining > 0) {
    if (remaining < 17) return kJpegBadLength;
    uint8_t bits[16];
    uint8_t values[256];
    RtlZeroMemory(values, sizeof(values));
    int32_t classAndSlot = 0;
    int32_t sum = 0;
    status = ReadByte(&classAndSlot);
    for (int32_t i = 0; i < 16 && status == kJpegOk; ++i) {
      int32_t count = 0;
      status = ReadByte(&count);
      bits[i] = static_cast<uint8_t>(count);
      sum += count;
    }
    if (status != kJpegOk) return status;
    remaining -= 17;
    const int32_t tableClass = classAndSlot >> 4;
    const int32_t slot = classAndSlot & 15;
    if (tableClass > 1 || slot >= kTableSlots || sum > 256 || sum > remaining) return kJpegBadDht;
    for (int32_t i = 0; i < sum && status == kJpegOk; ++i) {
      int32_t value = 0;
      status = ReadByte(&value);
      values[i] = static_cast<uint8_t>(value);
    }
    if (status != kJpegOk) return status;
    remaining -= sum;
    HuffmanTableSlot& target = tableClass ? ac[slot] : dc[slot];
    target.loaded = false;
    status = AllocHuffmanTable(&target.table);
    if (status != kJpegOk) return status;
    if (prim::InitHuffmanDecodeTable(bits, values, target.table) != 0) return kJpegBadDht;
    target.loaded = true;
  }
  return status;
}

int32_t JpegDecoder::ReadDqt() {
  int32_t remaining = 0;
  int32_t status = SegmentLength(&remaining);
  while (status == kJpegOk && remaining > 0) {
    int32_t precisionAndSlot = 0;
    status = ReadByte(&precisionAndSlot);
    if (status != kJpegOk) return status;
    const int32_t wide = precisionAndSlot >> 4;
    const int32_t slot = precisionAndSlot & 15;
    if (wide > 1 || slot >= kTableSlots) return kJpegBadDqt;
    const int32_t entryBytes = wide + 1;
    if (remaining - 1 < kBlockSize * entryBytes) return kJpegBadLength;
    uint8_t raw[kBlockSize];
    for (int32_t k = 0; k < kBlockSize && status == kJpegOk; ++k) {
      int32_t value = 0;
      status = wide ? ReadWord(&value) : ReadByte(&value);
      // Samples are 8-bit: a step above 255 cannot come from a sound encoder.
      if (value > 255) return kJpegBadDqt;
      raw[k] = static_cast<uint8_t>(value);
    }
    if (status != kJpegOk) return status;
    quant[slot].loaded = false;
    if (prim::InitInverseQuantTable(raw, quant[slot].table) != 0) return kJpegPrimitiveFailed;
    quant[slot].loaded = true;
    remaining -= 1 + kBlockSize * entryBytes;
  }
  return status;
}

int32_t JpegDecoder::ReadDri() {
  int32_t remaining = 0;
  int32_t status = SegmentLength(&remaining);
  if (status != kJpegOk) return status;
  if (remaining != 2) return kJpegBadLength;
  return ReadWord(&restartInterval);
}

int32_t JpegDecoder::ReadApp0() {
  int32_t remaining = 0;
  const int32_t status = SegmentLength(&remaining);
  if (status != kJpegOk) return status;
  static const uint8_t kJfif[5] = {'J', 'F', 'I', 'F', 0};
  if (remaining >= 14 && RtlCompareMemory(data + position, kJfif, sizeof(kJfif)) == sizeof(kJfif)) jfifSeen = true;
  position += remaining;
  return kJpegOk;
}

int32_t JpegDecoder::ReadApp14() {
  int32_t remaining = 0;
  const int32_t status = SegmentLength(&remaining);
  if (status != kJpegOk) return status;
  static const uint8_t kAdobe[5] = {'A', 'd', 'o', 'b', 'e'};
  if (remaining >= 12 && RtlCompareMemory(data + position, kAdobe, sizeof(kAdobe)) == sizeof(kAdobe)) {
    adobeSeen = true;
    adobeTransform = data[position + 11];
  }
  position += remaining;
  return kJpegOk;
}

void JpegDecoder::DecideColorSpace() {
  int32_t space = componentCount == 1 ? kColorGrey : componentCount == 3 ? kColorYCbCr : kColorUnknown;
  if (adobeSeen) {
    switch (adobeTransform) {
      case 1:
        space = kColorYCbCr;
        break;
      case 2:
        space = kColorYcck;
        break;
      case 0:
        space = componentCount == 1   ? kColorGrey
                : componentCount == 3 ? kColorRgb
                : componentCount == 4 ? kColorCmyk
                                      : kColorUnknown;
        break;
      default:
        space = kColorUnknown;
        break;
    }
  }
  colorSpace = space;
}

// T.81 G.1.1.1 for progressive scans, fixed values for sequential ones, H.1.1 for lossless.
int32_t JpegDecoder::ReadSos() {
  if (!frameSeen) return kJpegBadSequence;
  int32_t remaining = 0;
  int32_t count = 0;
  int32_t status = SegmentLength(&remaining);
  if (status == kJpegOk) status = ReadByte(&count);
  if (status != kJpegOk) return status;
  if (count < 1 || count > kMaxComponents) return kJpegBadScanCount;
  if (remaining != 4 + 2 * count) return kJpegBadLength;
  if (frameType != kFrameProgressive && count != componentCount) return kJpegUnsupported;
  for (int32_t i = 0; i < count; ++i) {
    int32_t id = 0;
    int32_t selectors = 0;
    status = ReadByte(&id);
    if (status == kJpegOk) status = ReadByte(&selectors);
    if (status != kJpegOk) return status;
    int32_t found = -1;
    for (int32_t k = 0; k < componentCount; ++k) {
      if (components[k].id == id) found = k;
    }
    if (found < 0) return kJpegUnknownComponent;
    for (int32_t j = 0; j < i; ++j) {
      if (scanComponents[j] == found) return kJpegBadScan;
    }
    const int32_t td = selectors >> 4;
    const int32_t ta = selectors & 15;
    if (td >= kTableSlots || ta >= kTableSlots) return kJpegBadScan;
    components[found].td = td;
    components[found].ta = ta;
    scanComponents[i] = found;
  }
  int32_t approximation = 0;
  status = ReadByte(&ss);
  if (status == kJpegOk) status = ReadByte(&se);
  if (status == kJpegOk) status = ReadByte(&approximation);
  if (status != kJpegOk) return status;
  ah = approximation >> 4;
  al = approximation & 15;
  scanCount = count;
  switch (frameType) {
    case kFrameSequential:
      if (ss != 0 || se != 63 || ah != 0 || al != 0) return kJpegBadScan;
      break;
    case kFrameProgressive:
      if (ss == 0 ? se != 0 : (count != 1 || se < ss || se > 63)) return kJpegBadScan;
      if (al > 13 || (ah != 0 && ah != al + 1)) return kJpegBadScan;
      break;
    default:
      if (ss < 1 || ss > 7 || se != 0 || ah != 0 || al >= precision) return kJpegBadScan;
      break;
  }
  DecideColorSpace();
  return CheckScanTables();
}

// Every table a scan will use must be defined in this frame, or be one of the MJPEG defaults.
int32_t JpegDecoder::CheckScanTables() const {
  const bool usesDc = frameType != kFrameProgressive || (ss == 0 && ah == 0);
  const bool usesAc = frameType == kFrameSequential || (frameType == kFrameProgressive && ss != 0);
  for (int32_t i = 0; i < scanCount; ++i) {
    const JpegComponent& c = components[scanComponents[i]];
    if (frameType != kFrameLossless && !quant[c.tq].loaded) return kJpegMissingTable;
    if (usesDc && !DcTable(c.td)) return kJpegMissingTable;
    if (usesAc && !AcTable(c.ta)) return kJpegMissingTable;
  }
  return kJpegOk;
}

int32_t JpegDecoder::ReadHeader() { return ParseMarkers(false); }

int32_t JpegDecoder::DecodeImage() { return ParseMarkers(true); }

int32_t JpegDecoder::ParseMarkers(bool decode) {
  for (;;) {
    const int32_t markerStart = position;
    if (marker == 0) {
      const int32_t found = FindMarker();
      if (found != kJpegOk) {
        // A progressive frame cut short still shows what its scans gathered.
        if (decode && frameType == kFrameProgressive && scanDecoded) RenderProgressiveFrame();
        return found;
      }
    }
    const int32_t code = marker;
    marker = 0;
    int32_t status = kJpegOk;
    if (IsSof(code)) {
      status = ReadSof(code);
    } else if (IsRefusedFrame(code)) {
      return kJpegUnsupported;
    } else if (IsRestart(code) || code == kMarkerSoi) {
      continue;  // nothing to read; a stray RSTn between segments is harmless
    } else {
      switch (code) {
        case kMarkerEoi:
          if (!decode || !scanDecoded) return kJpegDataExhausted;
          return frameType == kFrameProgressive ? RenderProgressiveFrame() : kJpegOk;
        case kMarkerSos:
          status = ReadSos();
          if (status != kJpegOk) return status;
          if (!decode) {
            position = markerStart;  // the decode pass reads this scan header again
            return kJpegOk;
          }
          status = DecodeScan();
          break;
        case kMarkerDht:
          status = ReadDht();
          break;
        case kMarkerDqt:
          status = ReadDqt();
          break;
        case kMarkerDri:
          status = ReadDri();
          break;
        case kMarkerApp0:
          status = ReadApp0();
          break;
        case kMarkerApp14:
          status = ReadApp14();
          break;
        default:
          status = SkipSegment();
          break;
      }
    }
    if (status != kJpegOk) return status;
  }
}

}  // namespace kvz::jpeg
