// Huffman decoding: table building, the bit reader's stuffing and marker rules, sequential blocks
// against libjpeg-turbo's own reading of real streams and against a reference bit writer, and
// the progressive and lossless decoders on hand-written bit strings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "primitives/dispatch.h"
#include "primitives/jpeg/huffman_decode.h"
#include "primitives/jpeg/huffman_encode.h"
#include "primitives/jpeg/zigzag.h"
#include "support/annex_k_tables.h"
#include "support/baseline_stream.h"

namespace kvz::prim {
namespace {

// Canonical codes of a BITS/HUFFVAL pair, the way an encoder assigns them.
struct Code {
  uint32_t bits = 0;
  int length = 0;
};
std::vector<Code> CanonicalCodes(const uint8_t* counts, const uint8_t* values) {
  std::vector<Code> bySymbol(256);
  uint32_t code = 0;
  int k = 0;
  for (int len = 1; len <= 16; ++len, code <<= 1)
    for (int i = 0; i < counts[len - 1]; ++i, ++code, ++k) bySymbol[values[k]] = Code{code, len};
  return bySymbol;
}

// Bits most significant first; every 0xFF data byte is followed by a stuffed 0x00.
class BitWriter {
 public:
  void Put(uint32_t value, int n) {
    for (int i = n - 1; i >= 0; --i) {
      cur_ = static_cast<uint8_t>((cur_ << 1) | ((value >> i) & 1));
      if (++fill_ == 8) Emit();
    }
  }
  // Pads with 1-bits, then writes fill bytes and the marker.
  void Marker(uint8_t m, int fillBytes) {
    while (fill_ != 0) Put(1, 1);
    for (int i = 0; i < fillBytes; ++i) out.push_back(0xFF);
    out.push_back(0xFF);
    out.push_back(m);
  }
  std::vector<uint8_t> out;

 private:
  void Emit() {
    out.push_back(cur_);
    if (cur_ == 0xFF) out.push_back(0x00);
    cur_ = 0;
    fill_ = 0;
  }
  uint8_t cur_ = 0;
  int fill_ = 0;
};

int SizeOf(int v) {
  int s = 0;
  for (int a = v < 0 ? -v : v; a != 0; a >>= 1) ++s;
  return s;
}
uint32_t BitsOf(int v, int s) { return static_cast<uint32_t>(v < 0 ? v + (1 << s) - 1 : v) & ((1u << s) - 1); }

// Tables with codes of 2 to 16 bits, so both the lookahead and the bit-serial path are used.
struct TestTables {
  uint8_t dcCounts[16] = {0, 3, 0, 0, 4, 0, 0, 0, 5};
  uint8_t dcValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  uint8_t acCounts[16] = {0, 0, 0, 8, 0, 0, 0, 60, 0, 0, 0, 60, 0, 0, 0, 34};
  uint8_t acValues[162];
  TestTables() {
    int n = 0;
    acValues[n++] = 0x00;
    acValues[n++] = 0xF0;
    for (int r = 0; r < 16; ++r)
      for (int s = 1; s <= 10; ++s) acValues[n++] = static_cast<uint8_t>(r << 4 | s);
  }
};

HuffmanDecodeTable Table(const uint8_t* counts, const uint8_t* values) {
  HuffmanDecodeTable t;
  EXPECT_EQ(InitHuffmanDecodeTable(counts, values, &t), 0);
  return t;
}

TEST(HuffmanDecodeTable, RejectsBadListsAndFillsTheLookahead) {
  uint8_t values[256] = {7};
  HuffmanDecodeTable t;
  uint8_t single[16] = {1};
  ASSERT_EQ(InitHuffmanDecodeTable(single, values, &t), 0);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(t.lookahead[i], i < 128 ? (1u << 16 | 7) : 0u) << i;

  struct Case {
    const char* what;
    uint8_t counts[16];
  } bad[] = {
      {"257 codes", {0, 0, 0, 0, 0, 0, 0, 255, 2}},
      {"three 1-bit codes", {3}},
      {"a 2-bit code after two 1-bit codes", {2, 1}},
      {"fifth 3-bit code after two 2-bit codes", {0, 2, 5}},
  };
  for (const Case& c : bad) EXPECT_EQ(InitHuffmanDecodeTable(c.counts, values, &t), -64) << c.what;
  uint8_t full[16] = {0, 4};  // four 2-bit codes fill the tree exactly
  EXPECT_EQ(InitHuffmanDecodeTable(full, values, &t), 0);
  EXPECT_EQ(InitHuffmanDecodeTable(nullptr, values, &t), -8);
  int32_t size = 0;
  EXPECT_EQ(GetHuffmanDecodeTableSize(&size), 0);
  // Callers allocate the table by this size: it must cover the documented fields and the
  // decoder's private table after them.
  EXPECT_EQ(size, static_cast<int32_t>(sizeof(HuffmanDecodeTable)));
  EXPECT_EQ(offsetof(HuffmanDecodeTable, fast), 1644u);
  EXPECT_EQ(GetHuffmanDecodeStateSize(&size), 0);
  EXPECT_EQ(size, 24);
}

// One-value decodes through a table where the symbol is the 8-bit code itself.
struct ByteDecoder {
  uint8_t counts[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  uint8_t values[256];
  HuffmanDecodeTable table;
  ByteDecoder() {
    counts[7] = 255;  // 8-bit codes 0..254 are the symbols 0..254
    for (int i = 0; i < 255; ++i) values[i] = static_cast<uint8_t>(i);
    table = Table(counts, values);
  }
};

TEST(HuffmanBitReader, StuffingFillBytesAndMarkers) {
  // Lossless size symbols double as an 8-bit probe: symbol 0 reads no further bits.
  ByteDecoder d;
  HuffmanDecodeState st;
  struct Case {
    std::vector<uint8_t> data;
    std::vector<int> symbols;  // then -63 at the marker or -62 at the end
    int32_t endStatus, marker, endPosition;
  } cases[] = {
      {{0x00, 0xFF, 0x00, 0x00}, {0, -1}, 0, 0, 0},                   // 0xFF 0x00 is data 0xFF (no code)
      {{0x00, 0xFF, 0xFF, 0xD0, 0x00}, {0}, -63, 0xD0, 4},            // fill byte, then RST0
      {{0x00, 0x00, 0xFF, 0xD9}, {0, 0}, -63, 0xD9, 4},
      {{0x00, 0xFF}, {0}, -62, 0, 1},                                 // a lone prefix ends the data
  };
  for (const Case& c : cases) {
    InitHuffmanDecodeState(&st);
    int32_t pos = 0, marker = 0;
    size_t i = 0;
    for (; i < c.symbols.size(); ++i) {
      int16_t v = 99;
      const PrimitiveStatus s = DecodeHuffmanOne(c.data.data(), static_cast<int32_t>(c.data.size()), &pos, &v,
                                                 &marker, &d.table, &st);
      if (c.symbols[i] < 0) {
        EXPECT_EQ(s, -63) << "0xFF is no code of the table";
        break;
      }
      ASSERT_EQ(s, 0) << i;
      EXPECT_EQ(v, 0);
    }
    if (i < c.symbols.size()) continue;
    int16_t v;
    EXPECT_EQ(DecodeHuffmanOne(c.data.data(), static_cast<int32_t>(c.data.size()), &pos, &v, &marker, &d.table,
                               &st),
              c.endStatus);
    EXPECT_EQ(marker, c.marker);
    EXPECT_EQ(pos, c.endPosition);
  }
}

// Random blocks through the reference writer, with restart markers and fill bytes between
// intervals, decoded back; the decoder meets every marker either inside a block's read-ahead or
// after it, and the harness looks for it the way the codec does.
TEST(DecodeHuffmanBlock, RandomBlocksRoundTripAcrossRestartMarkers) {
  TestTables tt;
  const HuffmanDecodeTable dc = Table(tt.dcCounts, tt.dcValues), ac = Table(tt.acCounts, tt.acValues);
  const std::vector<Code> dcCode = CanonicalCodes(tt.dcCounts, tt.dcValues);
  const std::vector<Code> acCode = CanonicalCodes(tt.acCounts, tt.acValues);
  std::mt19937 rng(12);
  constexpr int kBlocks = 3000, kInterval = 7;
  std::vector<std::vector<int16_t>> expect;
  BitWriter w;
  int predictor = 0;
  for (int b = 0; b < kBlocks; ++b) {
    if (b > 0 && b % kInterval == 0) {
      w.Marker(static_cast<uint8_t>(0xD0 + (b / kInterval - 1) % 8), static_cast<int>(rng() % 3));
      predictor = 0;
    }
    std::vector<int16_t> block(64, 0);
    const int dcValue = static_cast<int>(rng() % 2001) - 1000;
    const int diff = dcValue - predictor;
    predictor = dcValue;
    block[0] = static_cast<int16_t>(dcValue);
    const int ds = SizeOf(diff);
    w.Put(dcCode[static_cast<size_t>(ds)].bits, dcCode[static_cast<size_t>(ds)].length);
    w.Put(BitsOf(diff, ds), ds);
    const int density = static_cast<int>(rng() % 5);
    for (int k = 1; k < 64; ++k)
      if (density > 0 && static_cast<int>(rng() % 8) < density - (k > 40 ? 1 : 0)) {
        int v = static_cast<int>(rng() % 1023) + 1;
        block[kZigzagToNatural[k]] = static_cast<int16_t>((rng() & 1) ? v : -v);
      }
    int run = 0;
    int last = 0;
    for (int k = 1; k < 64; ++k)
      if (block[kZigzagToNatural[k]] != 0) last = k;
    for (int k = 1; k <= last; ++k) {
      const int v = block[kZigzagToNatural[k]];
      if (v == 0) {
        ++run;
        continue;
      }
      for (; run >= 16; run -= 16) w.Put(acCode[0xF0].bits, acCode[0xF0].length);
      const int s = SizeOf(v);
      w.Put(acCode[static_cast<size_t>(run << 4 | s)].bits, acCode[static_cast<size_t>(run << 4 | s)].length);
      w.Put(BitsOf(v, s), s);
      run = 0;
    }
    if (last < 63) w.Put(acCode[0].bits, acCode[0].length);
    expect.push_back(block);
  }
  w.Marker(0xD9, 0);
  const std::vector<uint8_t>& data = w.out;
  const int32_t len = static_cast<int32_t>(data.size());

  HuffmanDecodeState st;
  InitHuffmanDecodeState(&st);
  int32_t pos = 0, marker = 0;
  int16_t pred = 0;
  for (int b = 0; b < kBlocks; ++b) {
    if (b > 0 && b % kInterval == 0) {
      if (marker == 0) {  // not reached yet: look for it past the padding bits
        while (pos + 1 < len && !(data[pos] == 0xFF && data[pos + 1] != 0 && data[pos + 1] != 0xFF)) ++pos;
        marker = data[pos + 1];
        pos += 2;
      }
      ASSERT_EQ(marker, 0xD0 + (b / kInterval - 1) % 8) << "block " << b;
      InitHuffmanDecodeState(&st);
      marker = 0;
      pred = 0;
    }
    int16_t block[64];
    ASSERT_EQ(DecodeHuffmanBlock(data.data(), len, &pos, block, &pred, &marker, &dc, &ac, &st), 0) << "block " << b;
    ASSERT_EQ(std::vector<int16_t>(block, block + 64), expect[static_cast<size_t>(b)]) << "block " << b;
  }
  // Only padding is left before EOI: too few bits for a code with a marker pending.
  int16_t block[64];
  EXPECT_EQ(DecodeHuffmanBlock(data.data(), len, &pos, block, &pred, &marker, &dc, &ac, &st), -63);
  EXPECT_EQ(marker, 0xD9);
  EXPECT_EQ(pos, len);
}

// Every block of real libjpeg-turbo streams (q95 and q50, 4:2:0, with and without restart
// intervals) against libjpeg-turbo's own reading of the coefficients.
TEST(DecodeHuffmanBlock, RealStreamsMatchLibjpegTurbo) {
  for (int quality : {95, 50}) {
    for (int restart : {0, 5}) {
      const std::vector<uint8_t> s = test::EncodeBaseline(256, 128, quality, restart, 7u + quality);
      test::BaselineStream b;
      ASSERT_TRUE(test::ParseBaseline(s, &b));
      const auto ref = test::ReferenceCoefficients(s, b);
      HuffmanDecodeTable dc[2], ac[2];
      for (int i = 0; i < 2; ++i) {
        dc[i] = Table(b.dc[i].counts, b.dc[i].values);
        ac[i] = Table(b.ac[i].counts, b.ac[i].values);
      }
      HuffmanDecodeState st;
      InitHuffmanDecodeState(&st);
      int32_t pos = b.scanStart, marker = 0;
      int16_t pred[3] = {};
      int lastMcu = -1, mismatches = 0, blocks = 0;
      const int32_t len = static_cast<int32_t>(s.size());
      test::ForEachScanBlock(b, [&](int ci, int row, int col, int mcu) {
        if (mcu != lastMcu && b.restartInterval != 0 && mcu > 0 && mcu % b.restartInterval == 0) {
          if (marker == 0) {
            while (pos + 1 < len && !(s[pos] == 0xFF && s[pos + 1] >= 0xD0 && s[pos + 1] <= 0xD7)) ++pos;
            pos += 2;
          }
          InitHuffmanDecodeState(&st);
          marker = 0;
          pred[0] = pred[1] = pred[2] = 0;
        }
        lastMcu = mcu;
        const test::ScanComponent& c = b.components[static_cast<size_t>(ci)];
        int16_t block[64];
        const PrimitiveStatus r = DecodeHuffmanBlock(s.data(), len, &pos, block, &pred[ci], &marker,
                                                     &dc[c.dcTable], &ac[c.acTable], &st);
        const int16_t* want = &ref[static_cast<size_t>(ci)][(static_cast<size_t>(row) * c.blocksWide + col) * 64];
        if (r != 0 || std::vector<int16_t>(block, block + 64) != std::vector<int16_t>(want, want + 64)) ++mismatches;
        ++blocks;
      });
      EXPECT_EQ(blocks, 16 * 8 * 6);  // 4:2:0 MCUs of four luma and two chroma blocks
      EXPECT_EQ(mismatches, 0) << "q" << quality << " restart " << restart;
    }
  }
}

// Blocks written by the block encoder (Annex K tables, segments flushed and separated by
// restart markers) decode back through the block decoder.
TEST(DecodeHuffmanBlock, RoundTripsWithTheBlockEncoder) {
  const test::AnnexKTables& k = test::StandardHuffmanTables();
  HuffmanEncodeTable edc, eac;
  ASSERT_EQ(generic::InitHuffmanEncodeTable(k.dcLuminance.bits, k.dcLuminance.values.data(), &edc), 0);
  ASSERT_EQ(generic::InitHuffmanEncodeTable(k.acLuminance.bits, k.acLuminance.values.data(), &eac), 0);
  const HuffmanDecodeTable ddc = Table(k.dcLuminance.bits, k.dcLuminance.values.data());
  const HuffmanDecodeTable dac = Table(k.acLuminance.bits, k.acLuminance.values.data());
  std::mt19937 rng(21);
  constexpr int kBlocks = 1200, kInterval = 50;
  std::vector<int16_t> blocks(64 * kBlocks, 0);
  for (int n = 0; n < kBlocks; ++n) {
    blocks[64 * n] = static_cast<int16_t>(static_cast<int>(rng() % 2001) - 1000);
    const int density = static_cast<int>(rng() % 60);
    for (int i = 1; i < 64; ++i)
      if (static_cast<int>(rng() % 100) < density)
        blocks[64 * n + i] = static_cast<int16_t>(static_cast<int>(rng() % 2047) - 1023);
  }
  std::vector<uint8_t> out(64 * 1024 * 8);
  int32_t pos = 0;
  HuffmanEncodeState es;
  ASSERT_EQ(generic::InitHuffmanEncodeState(&es), 0);
  int16_t pred = 0;
  const int32_t cap = static_cast<int32_t>(out.size());
  for (int n = 0; n < kBlocks; ++n) {
    if (n > 0 && n % kInterval == 0) {
      ASSERT_EQ(generic::EncodeHuffmanBlock(nullptr, out.data(), cap, &pos, &pred, &edc, &eac, &es, 1), 0);
      out[static_cast<size_t>(pos++)] = 0xFF;
      out[static_cast<size_t>(pos++)] = static_cast<uint8_t>(0xD0 + (n / kInterval - 1) % 8);
      ASSERT_EQ(generic::InitHuffmanEncodeState(&es), 0);
      pred = 0;
    }
    ASSERT_EQ(generic::EncodeHuffmanBlock(&blocks[64 * n], out.data(), cap, &pos, &pred, &edc, &eac, &es, 0), 0);
  }
  ASSERT_EQ(generic::EncodeHuffmanBlock(nullptr, out.data(), cap, &pos, &pred, &edc, &eac, &es, 1), 0);
  out[static_cast<size_t>(pos++)] = 0xFF;
  out[static_cast<size_t>(pos++)] = 0xD9;

  HuffmanDecodeState st;
  InitHuffmanDecodeState(&st);
  int32_t at = 0, marker = 0;
  int16_t dpred = 0, block[64];
  for (int n = 0; n < kBlocks; ++n) {
    if (n > 0 && n % kInterval == 0) {
      if (marker == 0) {
        while (at + 1 < pos && !(out[at] == 0xFF && out[at + 1] >= 0xD0 && out[at + 1] <= 0xD7)) ++at;
        marker = out[at + 1];
        at += 2;
      }
      ASSERT_EQ(marker, 0xD0 + (n / kInterval - 1) % 8) << "block " << n;
      InitHuffmanDecodeState(&st);
      marker = 0;
      dpred = 0;
    }
    ASSERT_EQ(DecodeHuffmanBlock(out.data(), pos, &at, block, &dpred, &marker, &ddc, &dac, &st), 0) << "block " << n;
    ASSERT_EQ(std::memcmp(block, &blocks[64 * n], sizeof block), 0) << "block " << n;
  }
}

// The byte table serves as AC table too: a test writes symbols as bytes and extra bits after.
using RawAc = ByteDecoder;

std::vector<uint8_t> Bits(std::initializer_list<std::pair<uint32_t, int>> fields) {
  BitWriter w;
  for (const auto& f : fields) w.Put(f.first, f.second);
  w.Marker(0xD9, 0);
  return w.out;
}

TEST(DecodeHuffmanBlock, RunsZrlAndTheEndOfTheBlock) {
  RawAc t;
  HuffmanDecodeState st;
  struct Case {
    const char* what;
    std::vector<uint8_t> data;  // DC symbol, then AC symbols and bits (byte aligned here)
    PrimitiveStatus status;
    int naturalIndex, value, count;
  } cases[] = {
      // DC size 0; ZRL; then run 2 size 8 value 0x80: position 1 + 16 + 2 = 19.
      {"ZRL skips sixteen", {0x00, 0xF0, 0x28, 0x80, 0x00}, 0, kZigzagToNatural[19], 128, 20},
      // Run 15 to position 16, ... four times to 64; the fifth symbol puts run 2 at 66.
      // Runs of 15 to positions 16, 32, 48, run 1 to 50, then run 15 to 66.
      {"overshoot to 66 stores at 63",
       {0x00, 0xF8, 0x80, 0xF8, 0x80, 0xF8, 0x80, 0x18, 0x80, 0xF8, 0x80}, 0, 63, 128, 67},
      // ... run 7 to 56, then run 15 to 72.
      {"position 72 is corrupt", {0x00, 0xF8, 0x80, 0xF8, 0x80, 0xF8, 0x80, 0x78, 0x80, 0xF8, 0x80}, -2, -1, 0, 0},
  };
  for (const Case& c : cases) {
    InitHuffmanDecodeState(&st);
    st.coefficientCount = 0;
    int32_t pos = 0, marker = 0;
    int16_t pred = 5, block[64];
    const PrimitiveStatus r = DecodeHuffmanBlock(c.data.data(), static_cast<int32_t>(c.data.size()), &pos, block,
                                                 &pred, &marker, &t.table, &t.table, &st);
    EXPECT_EQ(r, c.status) << c.what;
    if (c.status == 0) {
      EXPECT_EQ(block[0], 5) << c.what;
      EXPECT_EQ(block[c.naturalIndex], c.value) << c.what;
      EXPECT_EQ(st.coefficientCount, c.count) << c.what;
    }
  }
}

TEST(DecodeHuffmanProgressive, FirstAndRefinementScans) {
  RawAc t;
  HuffmanDecodeState st;
  int32_t pos = 0, marker = 0;
  int16_t block[64] = {};
  int16_t pred = 0;
  // DC first, Al 2: size 3, bits 101 (5): coefficient 0 = 5 << 2.
  const uint8_t dcData[] = {0x03, 0xA0, 0x00};
  InitHuffmanDecodeState(&st);
  ASSERT_EQ(DecodeHuffmanDcFirst(dcData, 3, &pos, block, &pred, &marker, 2, &t.table, &st), 0);
  EXPECT_EQ(block[0], 20);
  // DC refinement, Al 1: a 0 bit leaves it, a 1 bit sets bit 1.
  const uint8_t refData[] = {0x40};
  pos = 0;
  InitHuffmanDecodeState(&st);
  ASSERT_EQ(DecodeHuffmanDcRefine(refData, 1, &pos, block, &marker, 1, &st), 0);
  EXPECT_EQ(block[0], 20);
  ASSERT_EQ(DecodeHuffmanDcRefine(refData, 1, &pos, block, &marker, 1, &st), 0);
  EXPECT_EQ(block[0], 22);

  // AC first over 1..10, Al 1: run 1 size 2 value 3 (bits 11) at position 2, then EOB run
  // symbol 0x20 with bits 01: run 2^2 + 1 = 5, this block the first of it.
  const std::vector<uint8_t> acData = Bits({{0x12, 8}, {3, 2}, {0x20, 8}, {1, 2}});
  const int32_t acLen = static_cast<int32_t>(acData.size());
  int16_t ac[64] = {};
  pos = 0;
  InitHuffmanDecodeState(&st);
  ASSERT_EQ(DecodeHuffmanAcFirst(acData.data(), acLen, &pos, ac, &marker, 1, 10, 1, &t.table, &st), 0);
  EXPECT_EQ(ac[kZigzagToNatural[2]], 6);
  EXPECT_EQ(st.eobRun, 4);
  for (int i = 0; i < 4; ++i)
    ASSERT_EQ(DecodeHuffmanAcFirst(acData.data(), acLen, &pos, ac, &marker, 1, 10, 1, &t.table, &st), 0);
  EXPECT_EQ(st.eobRun, 0);

  // AC refinement over 1..5, Al 0, block holding 6 at position 2: symbol run 1 size 1 with
  // sign bit 1: position 1 is zero and counts down the run, the correction bit (1) raises 6
  // to 7 at position 2, and the new value 1 lands on the next zero, position 3; then EOB.
  int16_t rf[64] = {};
  rf[kZigzagToNatural[2]] = 6;
  const std::vector<uint8_t> refine = Bits({{0x11, 8}, {1, 1}, {1, 1}, {0x00, 8}});
  pos = 0;
  marker = 0;
  InitHuffmanDecodeState(&st);
  ASSERT_EQ(DecodeHuffmanAcRefine(refine.data(), static_cast<int32_t>(refine.size()), &pos, rf, &marker, 1, 5, 0,
                                  &t.table, &st),
            0);
  EXPECT_EQ(st.eobRun, 0);
  EXPECT_EQ(rf[kZigzagToNatural[2]], 7);
  EXPECT_EQ(rf[kZigzagToNatural[3]], 1);
  EXPECT_EQ(rf[kZigzagToNatural[1]], 0);
}

TEST(DecodeHuffmanProgressive, RunsPastTheBandAreCorrupt) {
  RawAc t;
  HuffmanDecodeState st;
  int32_t pos = 0, marker = 0;
  int16_t block[64] = {};
  // Band 60..63, run 5 size 1: position 65.
  const uint8_t first[] = {0x51, 0x80};
  InitHuffmanDecodeState(&st);
  EXPECT_EQ(DecodeHuffmanAcFirst(first, 2, &pos, block, &marker, 60, 63, 0, &t.table, &st), -2);
  // Refinement of band 60..63 with no zero left for a new value's run of 4.
  const uint8_t refine[] = {0x41, 0x80};
  pos = 0;
  InitHuffmanDecodeState(&st);
  EXPECT_EQ(DecodeHuffmanAcRefine(refine, 2, &pos, block, &marker, 60, 63, 0, &t.table, &st), -2);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(block[i], 0);
}

TEST(DecodeHuffmanOne, SizesZeroSixteenAndExtension) {
  ByteDecoder d;
  HuffmanDecodeState st;
  InitHuffmanDecodeState(&st);
  // 16: 32768 without further bits; 3 with bits 010 -> -5; 0 -> 0.
  const uint8_t data[] = {0x10, 0x03, 0x40, 0x00};
  int32_t pos = 0, marker = 0;
  int16_t v = 0;
  ASSERT_EQ(DecodeHuffmanOne(data, 4, &pos, &v, &marker, &d.table, &st), 0);
  EXPECT_EQ(static_cast<uint16_t>(v), 32768);
  ASSERT_EQ(DecodeHuffmanOne(data, 4, &pos, &v, &marker, &d.table, &st), 0);
  EXPECT_EQ(v, -5);
}

TEST(DecodeHuffman, ArgumentChecksInOrder) {
  ByteDecoder d;
  HuffmanDecodeState st;
  InitHuffmanDecodeState(&st);
  const uint8_t data[4] = {};
  int32_t pos = 0, marker = 0;
  int16_t block[64], pred = 0;
  EXPECT_EQ(DecodeHuffmanBlock(nullptr, -1, &pos, block, &pred, &marker, &d.table, &d.table, &st), -8);
  EXPECT_EQ(DecodeHuffmanBlock(data, -1, nullptr, block, &pred, &marker, &d.table, &d.table, &st), -5);
  EXPECT_EQ(DecodeHuffmanDcFirst(data, 0, &pos, block, &pred, &marker, 0, &d.table, &st), -6);
  EXPECT_EQ(DecodeHuffmanDcFirst(data, 4, &pos, block, &pred, &marker, 14, &d.table, &st), -5);
  EXPECT_EQ(DecodeHuffmanDcFirst(data, 4, &pos, nullptr, &pred, &marker, 14, &d.table, &st), -8);
  EXPECT_EQ(DecodeHuffmanAcFirst(data, 4, &pos, block, &marker, 0, 5, 0, &d.table, &st), -5);
  EXPECT_EQ(DecodeHuffmanAcRefine(data, 4, &pos, block, &marker, 3, 2, 0, &d.table, &st), -5);
  EXPECT_EQ(DecodeHuffmanAcRefine(data, 4, &pos, block, &marker, 1, 63, 0, nullptr, &st), -8);
  EXPECT_EQ(DecodeHuffmanOne(data, -1, &pos, block, &marker, &d.table, &st), -5);
  EXPECT_EQ(DecodeHuffmanDcRefine(data, 4, &pos, block, &marker, 0, nullptr), -8);
}

TEST(DecodeHuffman, PendingMarkerWithTooFewBitsIsNoMatch) {
  ByteDecoder d;
  HuffmanDecodeState st;
  const uint8_t data[] = {0xFF, 0xD0};
  int16_t block[64] = {}, pred = 0, v;
  auto fresh = [&](int32_t* pos, int32_t* marker) {
    InitHuffmanDecodeState(&st);
    *pos = 0;
    *marker = 0;
  };
  int32_t pos, marker;
  fresh(&pos, &marker);
  EXPECT_EQ(DecodeHuffmanBlock(data, 2, &pos, block, &pred, &marker, &d.table, &d.table, &st), -63);
  EXPECT_EQ(marker, 0xD0);
  fresh(&pos, &marker);
  EXPECT_EQ(DecodeHuffmanDcFirst(data, 2, &pos, block, &pred, &marker, 0, &d.table, &st), -63);
  fresh(&pos, &marker);
  EXPECT_EQ(DecodeHuffmanDcRefine(data, 2, &pos, block, &marker, 0, &st), -63);
  fresh(&pos, &marker);
  EXPECT_EQ(DecodeHuffmanAcFirst(data, 2, &pos, block, &marker, 1, 63, 0, &d.table, &st), -63);
  fresh(&pos, &marker);
  EXPECT_EQ(DecodeHuffmanAcRefine(data, 2, &pos, block, &marker, 1, 63, 0, &d.table, &st), -63);
  fresh(&pos, &marker);
  EXPECT_EQ(DecodeHuffmanOne(data, 2, &pos, &v, &marker, &d.table, &st), -63);
}

// Arbitrary entropy-coded bytes (stuffed 0xFF included) between restart markers, decoded block
// after block under random tables with codes up to 16 bits and values up to size 15, against a
// one-bit-at-a-time decoder written here: every block's coefficients, coefficient count and
// success or failure agree, wherever the decoder's word-at-a-time window stands.
struct ReferenceBits {
  std::vector<int> bits;  // the interval's destuffed bits
  size_t at = 0;
  bool Next(int* bit) {
    if (at >= bits.size()) return false;
    *bit = bits[at++];
    return true;
  }
  bool Receive(int n, uint32_t* v) {
    *v = 0;
    for (int i = 0; i < n; ++i) {
      int b;
      if (!Next(&b)) return false;
      *v = *v << 1 | static_cast<uint32_t>(b);
    }
    return true;
  }
  bool Decode(const std::vector<Code>& codes, const std::vector<bool>& used, int* symbol) {
    uint32_t code = 0;
    for (int len = 1; len <= 16; ++len) {
      int b;
      if (!Next(&b)) return false;
      code = code << 1 | static_cast<uint32_t>(b);
      for (int sym = 0; sym < 256; ++sym) {
        if (used[static_cast<size_t>(sym)] && codes[static_cast<size_t>(sym)].length == len &&
            codes[static_cast<size_t>(sym)].bits == code) {
          *symbol = sym;
          return true;
        }
      }
    }
    return false;
  }
};

int ExtendValue(uint32_t v, int s) { return v < (1u << (s - 1)) ? static_cast<int>(v) - (1 << s) + 1 : static_cast<int>(v); }

// A random complete-enough table: 1..n codes spread over lengths 1..16, never over-subscribed.
void RandomTable(std::mt19937& rng, bool dc, uint8_t counts[16], uint8_t values[256], std::vector<bool>* used) {
  std::vector<int> symbols;
  for (int v = 0; v < 256; ++v)
    if (!dc || v < 16) symbols.push_back(v);
  std::shuffle(symbols.begin(), symbols.end(), rng);
  uint32_t room = 2;  // codes still free at the current length
  int k = 0;
  const int want = static_cast<int>(std::min<size_t>(symbols.size(), 1 + rng() % 200));
  for (int len = 1; len <= 16; ++len) {
    int n = std::min<int>(static_cast<int>(room) - 1, want - k);
    n = n <= 0 ? 0 : static_cast<int>(rng() % static_cast<uint32_t>(n + 1));
    if (len >= 9 && k < want) n = std::max(n, std::min(want - k, static_cast<int>(room) - 1));
    counts[len - 1] = static_cast<uint8_t>(n);
    for (int i = 0; i < n; ++i, ++k) values[k] = static_cast<uint8_t>(symbols[static_cast<size_t>(k)]);
    room = (room - static_cast<uint32_t>(n)) * 2;
    if (room > 4096) room = 4096;
  }
  used->assign(256, false);
  for (int i = 0; i < k; ++i) (*used)[values[i]] = true;
}

// Decodes every interval of `data` block after block and compares each block with the
// one-bit-at-a-time decoder over that interval's destuffed bits: coefficients, coefficient
// count, predictor, success or failure; then steps to the interval's marker as the codec does.
void ExpectBlocksMatchBitSerial(const uint8_t* dcCounts, const uint8_t* dcValues, const uint8_t* acCounts,
                                const uint8_t* acValues, const std::vector<uint8_t>& data,
                                std::vector<ReferenceBits> intervals, const std::string& what) {
  std::vector<bool> dcUsed(256, false), acUsed(256, false);
  int nDc = 0, nAc = 0;
  for (int i = 0; i < 16; ++i) nDc += dcCounts[i], nAc += acCounts[i];
  for (int i = 0; i < nDc; ++i) dcUsed[dcValues[i]] = true;
  for (int i = 0; i < nAc; ++i) acUsed[acValues[i]] = true;
  const HuffmanDecodeTable dc = Table(dcCounts, dcValues), ac = Table(acCounts, acValues);
  const std::vector<Code> dcCode = CanonicalCodes(dcCounts, dcValues), acCode = CanonicalCodes(acCounts, acValues);
  const int32_t len = static_cast<int32_t>(data.size());
  HuffmanDecodeState st;
  InitHuffmanDecodeState(&st);
  int32_t pos = 0, marker = 0;
  for (size_t i = 0; i < intervals.size(); ++i) {
    ReferenceBits& ref = intervals[i];
    int16_t pred = 0;
    int refPred = 0;
    for (int blockNo = 0;; ++blockNo) {
      // The reference block.
      std::vector<int16_t> want(64, 0);
      bool ok = true;
      int k = 0;
      int s;
      uint32_t v = 0;
      if (!ref.Decode(dcCode, dcUsed, &s) || !ref.Receive(s & 15, &v)) {
        ok = false;
      } else {
        if ((s & 15) != 0) refPred += ExtendValue(v, s & 15);
        want[0] = static_cast<int16_t>(refPred);
        for (k = 1; ok && k < 64;) {
          if (!ref.Decode(acCode, acUsed, &s)) {
            ok = false;
            break;
          }
          const int run = s >> 4, size = s & 15;
          if (size == 0) {
            if (run != 15) break;
            k += 16;
            continue;
          }
          ok = ref.Receive(size, &v);
          if (!ok) break;
          if (k + run >= 72) {
            ok = false;
            break;
          }
          want[static_cast<size_t>(kZigzagToNatural[k + run])] = static_cast<int16_t>(ExtendValue(v, size));
          k += run + 1;
        }
      }
      int16_t block[64];
      const PrimitiveStatus r = DecodeHuffmanBlock(data.data(), len, &pos, block, &pred, &marker, &dc, &ac, &st);
      ASSERT_EQ(r == 0, ok) << what << " interval " << i << " block " << blockNo;
      if (!ok) break;
      ASSERT_EQ(std::vector<int16_t>(block, block + 64), want) << what << " interval " << i << " block " << blockNo;
      ASSERT_EQ(st.coefficientCount, k) << what << " interval " << i << " block " << blockNo;
      ASSERT_EQ(pred, static_cast<int16_t>(refPred)) << what << " interval " << i << " block " << blockNo;
    }
    // On to the interval's marker, as the codec finds it.
    if (marker == 0) {
      while (pos + 1 < len && !(data[pos] == 0xFF && data[pos + 1] != 0 && data[pos + 1] != 0xFF)) ++pos;
      ASSERT_LT(pos + 1, len);
      marker = data[pos + 1];
      pos += 2;
    }
    ASSERT_EQ(marker, i + 1 == intervals.size() ? 0xD9 : 0xD0 + static_cast<int>(i % 8)) << what << " interval " << i;
    InitHuffmanDecodeState(&st);
    marker = 0;
  }
}

TEST(DecodeHuffmanBlock, ArbitraryDataMatchesABitSerialDecoder) {
  std::mt19937 rng(31);
  for (int trial = 0; trial < 40; ++trial) {
    uint8_t dcCounts[16], acCounts[16], dcValues[256] = {}, acValues[256] = {};
    std::vector<bool> dcUsed, acUsed;
    RandomTable(rng, true, dcCounts, dcValues, &dcUsed);
    RandomTable(rng, false, acCounts, acValues, &acUsed);

    // Intervals of random bytes, 0xFF more often than chance, each ended by RSTn or EOI.
    std::vector<uint8_t> data;
    std::vector<ReferenceBits> intervals;
    for (int i = 0; i < 12; ++i) {
      ReferenceBits ref;
      const int bytes = static_cast<int>(rng() % 400);
      for (int b = 0; b < bytes; ++b) {
        const uint8_t v = rng() % 16 == 0 ? 0xFF : static_cast<uint8_t>(rng());
        data.push_back(v);
        if (v == 0xFF) data.push_back(0x00);
        for (int j = 7; j >= 0; --j) ref.bits.push_back((v >> j) & 1);
      }
      for (int f = static_cast<int>(rng() % 3); f > 0; --f) data.push_back(0xFF);
      data.push_back(0xFF);
      data.push_back(i == 11 ? 0xD9 : static_cast<uint8_t>(0xD0 + i % 8));
      intervals.push_back(ref);
    }
    ExpectBlocksMatchBitSerial(dcCounts, dcValues, acCounts, acValues, data, intervals,
                               "trial " + std::to_string(trial));
  }
}

// BITS and HUFFVAL from (symbol, code length) pairs.
struct LengthTable {
  uint8_t counts[16] = {};
  uint8_t values[256] = {};
  LengthTable(std::initializer_list<std::pair<int, int>> codes) {
    int n = 0;
    for (int length = 1; length <= 16; ++length)
      for (const auto& c : codes)
        if (c.second == length) {
          ++counts[length - 1];
          values[n++] = static_cast<uint8_t>(c.first);
        }
  }
};

// Streams of valid symbols under tables shaped so that the sequential block decoder meets
// every kind of entry of its private table: a value inside the entry, a value past it (the
// code's length plus the size just over the entry's bits, and a code exactly as long as the
// entry's bits), codes longer than the entry, EOB and ZRL both short and long, sizes up to 15,
// runs that end a block at position 63, overshoot to the guard positions or past them (-2),
// and DC sizes inside and past the entry.
TEST(DecodeHuffmanBlock, EveryKindOfSymbolMatchesABitSerialDecoder) {
  struct Shape {
    const char* what;
    LengthTable dc, ac;
  } shapes[] = {
      {"short codes, EOB and ZRL at ten bits",
       {{0, 2}, {1, 2}, {3, 3}, {11, 3}, {6, 4}, {15, 5}},
       {{0x01, 2}, {0x02, 3}, {0x11, 4}, {0xF1, 4}, {0xE2, 5}, {0x05, 5}, {0x06, 5}, {0xC1, 6}, {0x0A, 6}, {0x37, 7},
        {0x00, 10}, {0xF0, 10}, {0x21, 10}, {0x0F, 11}, {0x31, 12}, {0xE3, 15}, {0x1F, 16}}},
      {"EOB past the entry, ZRL short, wide values",
       {{0, 1}, {11, 2}, {9, 4}, {1, 10}, {2, 11}},
       {{0xF0, 2}, {0x0F, 3}, {0x01, 3}, {0x1E, 4}, {0x09, 5}, {0xF2, 6}, {0x04, 7}, {0x12, 9},
        {0x03, 10}, {0x41, 11}, {0x00, 12}, {0x5C, 13}, {0xF5, 16}}},
  };
  std::mt19937 rng(47);
  for (const Shape& shape : shapes) {
    std::vector<int> dcSymbols, acSymbols;
    for (int i = 0, n = 0; i < 16; ++i)
      for (int j = 0; j < shape.dc.counts[i]; ++j) dcSymbols.push_back(shape.dc.values[n++]);
    for (int i = 0, n = 0; i < 16; ++i)
      for (int j = 0; j < shape.ac.counts[i]; ++j) acSymbols.push_back(shape.ac.values[n++]);
    const std::vector<Code> dcCode = CanonicalCodes(shape.dc.counts, shape.dc.values);
    const std::vector<Code> acCode = CanonicalCodes(shape.ac.counts, shape.ac.values);

    std::vector<uint8_t> data;
    std::vector<ReferenceBits> intervals;
    for (int i = 0; i < 64; ++i) {
      std::vector<int> bits;
      auto put = [&](uint32_t v, int n) {
        for (int b = n - 1; b >= 0; --b) bits.push_back(static_cast<int>((v >> b) & 1));
      };
      const int blocks = 1 + static_cast<int>(rng() % 40);
      for (int b = 0; b < blocks; ++b) {
        const int s = dcSymbols[rng() % dcSymbols.size()];
        put(dcCode[static_cast<size_t>(s)].bits, dcCode[static_cast<size_t>(s)].length);
        put(rng(), s & 15);
        bool corrupt = false;
        for (int k = 1; k < 64;) {
          const int rs = acSymbols[rng() % acSymbols.size()];
          put(acCode[static_cast<size_t>(rs)].bits, acCode[static_cast<size_t>(rs)].length);
          const int run = rs >> 4, size = rs & 15;
          if (size == 0) {
            if (run != 15) break;
            k += 16;
            continue;
          }
          put(rng(), size);
          corrupt = k + run >= 72;
          if (corrupt) break;
          k += run + 1;
        }
        if (corrupt) {
          // Bits that are never read, so that the failing symbol is not near the marker.
          for (int pad = 0; pad < 4; ++pad) put(rng(), 32);
          break;
        }
      }
      while (bits.size() % 8 != 0) bits.push_back(1);
      ReferenceBits ref;
      ref.bits = bits;
      for (size_t at = 0; at < bits.size(); at += 8) {
        uint8_t v = 0;
        for (size_t j = 0; j < 8; ++j) v = static_cast<uint8_t>(v << 1 | bits[at + j]);
        data.push_back(v);
        if (v == 0xFF) data.push_back(0x00);
      }
      data.push_back(0xFF);
      data.push_back(i == 63 ? 0xD9 : static_cast<uint8_t>(0xD0 + i % 8));
      intervals.push_back(ref);
    }
    ExpectBlocksMatchBitSerial(shape.dc.counts, shape.dc.values, shape.ac.counts, shape.ac.values, data, intervals,
                               shape.what);
  }
}

}  // namespace
}  // namespace kvz::prim
