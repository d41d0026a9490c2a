// Huffman encoding: the table builder on the Annex K tables and on bad specifications, the
// worked blocks, random blocks decoded back by a plain bit reader written here, and every
// build giving the generic build's bytes and state, also when the output runs full.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "primitives/jpeg/huffman_encode.h"
#include "primitives/jpeg/zigzag.h"
#include "support/annex_k_tables.h"
#include "support/jpeg_builds.h"

namespace kvz::prim {
namespace {

using test::HuffmanSpec;
using Encode = decltype(&generic::EncodeHuffmanBlock);
using InitTable = decltype(&generic::InitHuffmanEncodeTable);
using InitState = decltype(&generic::InitHuffmanEncodeState);
using WriteBits = decltype(&generic::WriteHuffmanBits);
const Encode kEncode[] = KVZ_BUILDS_OF(EncodeHuffmanBlock);
const InitTable kInitTable[] = KVZ_BUILDS_OF(InitHuffmanEncodeTable);
const InitState kInitState[] = KVZ_BUILDS_OF(InitHuffmanEncodeState);
const WriteBits kWrite[] = KVZ_BUILDS_OF(WriteHuffmanBits);

struct Tables {
  HuffmanEncodeTable dc[2], ac[2];
};
Tables BuildTables(int slot) {
  const test::AnnexKTables& k = test::StandardHuffmanTables();
  Tables t;
  EXPECT_EQ(kInitTable[slot](k.dcLuminance.bits, k.dcLuminance.values.data(), &t.dc[0]), 0);
  EXPECT_EQ(kInitTable[slot](k.acLuminance.bits, k.acLuminance.values.data(), &t.ac[0]), 0);
  EXPECT_EQ(kInitTable[slot](k.dcChrominance.bits, k.dcChrominance.values.data(), &t.dc[1]), 0);
  EXPECT_EQ(kInitTable[slot](k.acChrominance.bits, k.acChrominance.values.data(), &t.ac[1]), 0);
  return t;
}

// A plain decoder of an entropy-coded segment: one bit at a time, codes looked up by length.
class BitReader {
 public:
  explicit BitReader(const std::vector<uint8_t>& s) : s_(s) {}
  int Bit() {
    if (left_ == 0) {
      EXPECT_LT(pos_, s_.size());
      byte_ = s_[pos_++];
      if (byte_ == 0xFF) {
        EXPECT_EQ(s_[pos_++], 0) << "0xFF not followed by 0x00";
      }
      left_ = 8;
    }
    return (byte_ >> --left_) & 1;
  }
  int Bits(int n) {
    int v = 0;
    while (n--) v = (v << 1) | Bit();
    return v;
  }
  int Symbol(const HuffmanSpec& table) {
    int code = 0, first = 0, index = 0;
    for (int length = 1; length <= 16; ++length) {
      code = (code << 1) | Bit();
      const int count = table.bits[length - 1];
      if (code - first < count) return table.values[index + code - first];
      index += count;
      first = (first + count) << 1;
    }
    ADD_FAILURE() << "no code matched";
    return 0;
  }
  int Value(int size) {
    if (size == 0) return 0;
    const int v = Bits(size);
    return v < (1 << (size - 1)) ? v - (1 << size) + 1 : v;
  }
  // Decodes a block into natural order; returns the run/size symbols seen after the DC.
  std::vector<int> Block(const HuffmanSpec& dc, const HuffmanSpec& ac, int16_t* predictor, int16_t* out) {
    std::vector<int> symbols;
    std::memset(out, 0, 64 * sizeof(int16_t));
    *predictor = static_cast<int16_t>(*predictor + Value(Symbol(dc)));
    out[0] = *predictor;
    for (int k = 1; k < 64;) {
      const int rs = Symbol(ac);
      symbols.push_back(rs);
      if ((rs & 15) == 0) {
        if (rs != 0xF0) break;
        k += 16;
        continue;
      }
      k += rs >> 4;
      out[kZigzagToNatural[k++]] = static_cast<int16_t>(Value(rs & 15));
    }
    return symbols;
  }
  size_t position() const { return pos_; }
  int bitsLeftInByte() const { return left_; }
  uint8_t byte() const { return byte_; }

 private:
  const std::vector<uint8_t>& s_;
  size_t pos_ = 0;
  int left_ = 0;
  uint8_t byte_ = 0;
};

TEST(HuffmanEncodeTable, AnnexKTablesAndBadSpecifications) {
  const test::AnnexKTables& k = test::StandardHuffmanTables();
  ASSERT_EQ(k.acLuminance.values.size(), 162u);
  const Tables reference = BuildTables(0);
  // T.81 Table K.3: size 0 is 00; Table K.5: EOB 1010, ZRL 11111111001, 0/1 00.
  EXPECT_EQ(reference.dc[0].entry[0], (2u << 16) | 0);
  EXPECT_EQ(reference.ac[0].entry[0x00], (4u << 16) | 0xA);
  EXPECT_EQ(reference.ac[0].entry[0xF0], (11u << 16) | 0x7F9);
  EXPECT_EQ(reference.ac[0].entry[0x01], (2u << 16) | 0);
  EXPECT_EQ(reference.ac[0].entry[0x0B], 0u);  // no code for size 11
  for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
    const Tables t = BuildTables(b.slot);
    EXPECT_EQ(std::memcmp(&t, &reference, sizeof t), 0) << b.name;
    HuffmanEncodeTable table;
    uint8_t values[257] = {};
    const uint8_t tooMany[16] = {0, 0, 0, 0, 0, 0, 0, 0, 255, 2};  // 257 codes
    EXPECT_EQ(kInitTable[b.slot](tooMany, values, &table), -64) << b.name;
    const uint8_t twoOfOne[16] = {2};  // the second would be all ones
    EXPECT_EQ(kInitTable[b.slot](twoOfOne, values, &table), -64) << b.name;
    const uint8_t overflow[16] = {1, 3};  // 0, then 10, 11 and a third past all ones
    EXPECT_EQ(kInitTable[b.slot](overflow, values, &table), -64) << b.name;
    EXPECT_EQ(kInitTable[b.slot](nullptr, values, &table), -8) << b.name;
    EXPECT_EQ(kInitTable[b.slot](twoOfOne, values, nullptr), -8) << b.name;
  }
}

struct Coder {
  explicit Coder(int slot, int32_t capacity = 4096) : slot(slot), out(capacity), tables(BuildTables(slot)) {
    EXPECT_EQ(kInitState[slot](&state), 0);
  }
  PrimitiveStatus Block(const int16_t* block, int table = 0) {
    return kEncode[slot](block, out.data(), static_cast<int32_t>(out.size()), &position, &predictor[table],
                         &tables.dc[table], &tables.ac[table], &state, 0);
  }
  PrimitiveStatus Flush() {
    return kEncode[slot](nullptr, out.data(), static_cast<int32_t>(out.size()), &position, nullptr, nullptr,
                         nullptr, &state, 1);
  }
  std::vector<uint8_t> Bytes() const { return {out.begin(), out.begin() + position}; }
  int slot;
  std::vector<uint8_t> out;
  Tables tables;
  HuffmanEncodeState state;
  int32_t position = 0;
  int16_t predictor[2] = {0, 0};
};

// The run/size symbols a block with one coefficient 1 at zigzag position p codes to.
std::vector<int> SymbolsForOneAt(int slot, int p) {
  Coder c(slot);
  int16_t block[64] = {};
  block[kZigzagToNatural[p]] = 1;
  EXPECT_EQ(c.Block(block), 0);
  EXPECT_EQ(c.Flush(), 0);
  std::vector<uint8_t> bytes = c.Bytes();
  BitReader r(bytes);
  int16_t pred = 0, back[64];
  std::vector<int> symbols = r.Block(test::StandardHuffmanTables().dcLuminance,
                                     test::StandardHuffmanTables().acLuminance, &pred, back);
  EXPECT_EQ(std::memcmp(back, block, sizeof back), 0);
  return symbols;
}

TEST(HuffmanEncode, WorkedBlocks) {
  for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
    {
      // All zero: DC size 0 (00) and EOB (1010) stay pending.
      Coder c(b.slot);
      int16_t zero[64] = {};
      ASSERT_EQ(c.Block(zero), 0);
      EXPECT_EQ(c.position, 0) << b.name;
      EXPECT_EQ(c.state.count, 6) << b.name;
      EXPECT_EQ(c.state.accumulator, 0x0Au << 18) << b.name;
    }
    for (int dc : {-1, 1}) {
      // 010, the extra bit, then EOB: one byte.
      Coder c(b.slot);
      int16_t block[64] = {};
      block[0] = static_cast<int16_t>(dc);
      ASSERT_EQ(c.Block(block), 0);
      ASSERT_EQ(c.position, 1) << b.name;
      EXPECT_EQ(c.out[0], dc < 0 ? 0x4A : 0x5A) << b.name;
      EXPECT_EQ(c.state.count, 0) << b.name;
      EXPECT_EQ(c.predictor[0], dc);
    }
    EXPECT_EQ(SymbolsForOneAt(b.slot, 16), (std::vector<int>{0xF1, 0x00})) << b.name;
    EXPECT_EQ(SymbolsForOneAt(b.slot, 17), (std::vector<int>{0xF0, 0x01, 0x00})) << b.name;
    EXPECT_EQ(SymbolsForOneAt(b.slot, 33), (std::vector<int>{0xF0, 0xF0, 0x01, 0x00})) << b.name;
    EXPECT_EQ(SymbolsForOneAt(b.slot, 63), (std::vector<int>{0xF0, 0xF0, 0xF0, 0xE1})) << b.name;
    EXPECT_EQ(SymbolsForOneAt(b.slot, 1), (std::vector<int>{0x01, 0x00})) << b.name;
    {
      // Flushing 101 stores 0xBF; flushing nothing stores nothing; both reset the state.
      Coder c(b.slot);
      c.state.count = 3;
      c.state.accumulator = 0x5u << 21;
      c.state.area[9] = 1;
      ASSERT_EQ(c.Flush(), 0);
      ASSERT_EQ(c.position, 1) << b.name;
      EXPECT_EQ(c.out[0], 0xBF) << b.name;
      EXPECT_EQ(c.state.count, 0);
      EXPECT_EQ(c.state.area[9], 0);
      ASSERT_EQ(c.Flush(), 0);
      EXPECT_EQ(c.position, 1) << b.name;
    }
    {
      // A coded 0xFF is followed by 0x00; when the 0x00 no longer fits: -62, the 0xFF stays.
      Coder c(b.slot, 1);
      ASSERT_EQ(kWrite[b.slot](0xFF, 8, c.out.data(), 1, &c.position, &c.state), -62);
      EXPECT_EQ(c.position, 1);
      EXPECT_EQ(c.out[0], 0xFF);
      EXPECT_EQ(c.state.count, 0);
      EXPECT_EQ(kWrite[b.slot](1, 0, c.out.data(), 1, &c.position, &c.state), -64);
      Coder d(b.slot, 2);
      ASSERT_EQ(kWrite[b.slot](0xFF, 8, d.out.data(), 2, &d.position, &d.state), 0);
      EXPECT_EQ(d.Bytes(), (std::vector<uint8_t>{0xFF, 0x00}));
    }
    for (int16_t v : {1024, -1024, -32768}) {
      // Size 11 has no code in the Annex K AC table; -32768 would need size 16.
      Coder c(b.slot);
      int16_t block[64] = {};
      block[1] = v;
      EXPECT_EQ(c.Block(block), -64) << b.name << " " << v;
    }
    {
      Coder c(b.slot);
      int16_t block[64] = {};
      EXPECT_EQ(kEncode[b.slot](block, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0), -8);
      EXPECT_EQ(kEncode[b.slot](block, c.out.data(), 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0), -6);
      EXPECT_EQ(kEncode[b.slot](block, c.out.data(), 9, &c.position, nullptr, nullptr, nullptr, nullptr, 0), -8);
      EXPECT_EQ(kEncode[b.slot](block, c.out.data(), 9, &c.position, c.predictor, &c.tables.dc[0], nullptr,
                                &c.state, 0), -8);
      EXPECT_EQ(kInitState[b.slot](nullptr), -8);
    }
  }
}

// Blocks of every density: mostly small values, some up to the largest AC size of the tables,
// DC differences up to 2047.
std::vector<int16_t> RandomBlocks(int count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<int16_t> blocks(64 * count, 0);
  for (int n = 0; n < count; ++n) {
    int16_t* b = &blocks[64 * n];
    b[0] = static_cast<int16_t>(static_cast<int>(rng() % 2048) - 1024);
    const unsigned density = (n % 5 == 0) ? 100 : rng() % 100;
    for (int i = 1; i < 64; ++i) {
      if (rng() % 100 >= density) continue;
      int v = (rng() % 8 == 0) ? static_cast<int>(rng() % 1023) + 1 : static_cast<int>(rng() % 15) + 1;
      b[i] = static_cast<int16_t>(rng() & 1 ? -v : v);
    }
  }
  return blocks;
}

TEST(HuffmanEncode, RandomBlocksDecodeBackAndEveryBuildWritesTheSameBytes) {
  const int count = 3000;
  const std::vector<int16_t> blocks = RandomBlocks(count, 3);
  const test::AnnexKTables& k = test::StandardHuffmanTables();
  std::vector<uint8_t> reference;
  HuffmanEncodeState referenceState{};
  // The state after every block (the last byte written sits above the pending bits).
  std::vector<uint64_t> referenceAccumulators;
  for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
    Coder c(b.slot, 1000000);
    for (int n = 0; n < count; ++n) {
      ASSERT_EQ(c.Block(&blocks[64 * n], n % 3 == 2), 0) << b.name << " block " << n;
      if (b.slot == 0) {
        referenceAccumulators.push_back(c.state.accumulator);
      } else {
        ASSERT_EQ(c.state.accumulator, referenceAccumulators[static_cast<size_t>(n)]) << b.name << " block " << n;
      }
    }
    const HuffmanEncodeState beforeFlush = c.state;
    ASSERT_EQ(c.Flush(), 0);
    if (b.slot == 0) {
      reference = c.Bytes();
      referenceState = beforeFlush;
      BitReader r(reference);
      int16_t pred[2] = {0, 0}, back[64];
      for (int n = 0; n < count; ++n) {
        const int t = n % 3 == 2;
        r.Block(t ? k.dcChrominance : k.dcLuminance, t ? k.acChrominance : k.acLuminance, &pred[t], back);
        ASSERT_EQ(std::memcmp(back, &blocks[64 * n], sizeof back), 0) << "block " << n;
      }
      // The padding of the last byte is all ones, and nothing follows it.
      EXPECT_EQ(r.byte() & ((1 << r.bitsLeftInByte()) - 1), (1 << r.bitsLeftInByte()) - 1);
      EXPECT_EQ(r.position(), reference.size() - (reference.back() == 0 ? 1 : 0));
    } else {
      EXPECT_EQ(c.Bytes(), reference) << b.name;
      EXPECT_EQ(std::memcmp(&beforeFlush, &referenceState, sizeof beforeFlush), 0) << b.name;
    }
  }
}

// Tables in which every symbol has a code, 254 of 8 bits and two of 16; the two long ones go
// to the symbols named, so that a code and its value bits fill up to 32 bits.
HuffmanSpec EveryCodeSpec(std::mt19937& rng, uint8_t longA, uint8_t longB) {
  HuffmanSpec codes{};
  codes.bits[7] = 254;
  codes.bits[15] = 2;
  for (int v = 0; v < 256; ++v) {
    if (v != longA && v != longB) codes.values.push_back(static_cast<uint8_t>(v));
  }
  std::shuffle(codes.values.begin(), codes.values.end(), rng);
  codes.values.push_back(longA);
  codes.values.push_back(longB);
  return codes;
}

// Every build against the generic one where the Annex K tables never go: DC differences up to
// 65535 (size 16), AC values up to 32767 (size 15), long runs, 16-bit codes for the largest
// sizes, ZRL and EOB. The generic bytes are decoded back.
TEST(HuffmanEncode, LongestCodesAndLargestValuesGiveTheSameBytesInEveryBuild) {
  std::mt19937 rng(11);
  const HuffmanSpec dc[2] = {EveryCodeSpec(rng, 15, 16), EveryCodeSpec(rng, 0, 11)};
  const HuffmanSpec ac[2] = {EveryCodeSpec(rng, 0x0F, 0xFF), EveryCodeSpec(rng, 0xF0, 0x00)};
  const int count = 800;
  std::vector<int16_t> blocks(64 * count, 0);
  for (int n = 0; n < count; ++n) {
    int16_t* b = &blocks[64 * n];
    b[0] = static_cast<int16_t>(n % 4 == 0 ? (n % 8 ? 32767 : -32768) : static_cast<int>(rng() % 65536) - 32768);
    const unsigned density = rng() % 60;
    for (int i = 1; i < 64; ++i) {
      if (rng() % 100 >= density) continue;
      const int v = rng() % 4 == 0 ? static_cast<int>(rng() % 32767) + 1 : static_cast<int>(rng() % 300) + 1;
      b[i] = static_cast<int16_t>(rng() & 1 ? -v : v);
    }
  }
  std::vector<uint8_t> reference;
  std::vector<std::pair<uint64_t, int32_t>> referenceStates;  // accumulator and count per block
  for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
    Coder c(b.slot, 1000000);
    for (int t = 0; t < 2; ++t) {
      ASSERT_EQ(kInitTable[b.slot](dc[t].bits, dc[t].values.data(), &c.tables.dc[t]), 0);
      ASSERT_EQ(kInitTable[b.slot](ac[t].bits, ac[t].values.data(), &c.tables.ac[t]), 0);
    }
    for (int n = 0; n < count; ++n) {
      ASSERT_EQ(c.Block(&blocks[64 * n], n % 2), 0) << b.name << " block " << n;
      if (b.slot == 0) {
        referenceStates.emplace_back(c.state.accumulator, c.state.count);
      } else {
        ASSERT_EQ(std::make_pair(c.state.accumulator, c.state.count), referenceStates[static_cast<size_t>(n)])
            << b.name << " block " << n;
      }
    }
    ASSERT_EQ(c.Flush(), 0);
    // -32768 has no AC size even where every symbol has a code (after 15 zeros its symbol would
    // lie past the table).
    for (int p : {1, 16}) {
      int16_t block[64] = {};
      block[kZigzagToNatural[p]] = -32768;
      Coder one(b.slot);
      one.tables = c.tables;
      EXPECT_EQ(one.Block(block), -64) << b.name << " at " << p;
    }
    if (b.slot == 0) {
      reference = c.Bytes();
      BitReader r(reference);
      int16_t pred[2] = {0, 0}, back[64];
      for (int n = 0; n < count; ++n) {
        r.Block(dc[n % 2], ac[n % 2], &pred[n % 2], back);
        ASSERT_EQ(std::memcmp(back, &blocks[64 * n], sizeof back), 0) << "block " << n;
      }
    } else {
      EXPECT_EQ(c.Bytes(), reference) << b.name;
    }
  }
}

// Block after block into an output that runs full at every possible point: each build stops
// with the generic build's status, length, predictor, state and bytes.
TEST(HuffmanEncode, FullOutputEndsAlikeInEveryBuild) {
  const std::vector<int16_t> blocks = RandomBlocks(12, 9);
  const std::vector<test::JpegBuild> builds = test::RunnableJpegBuilds();
  for (int32_t capacity = 1; capacity <= 2600; capacity += capacity < 700 ? 1 : 37) {
    Coder reference(0, capacity);
    PrimitiveStatus refStatus = 0;
    int n = 0;
    for (; n < 12 && refStatus == 0; ++n) refStatus = reference.Block(&blocks[64 * n]);
    for (const test::JpegBuild& b : builds) {
      Coder c(b.slot, capacity);
      PrimitiveStatus status = 0;
      for (int i = 0; i < n; ++i) status = c.Block(&blocks[64 * i]);
      ASSERT_EQ(status, refStatus) << b.name << " capacity " << capacity;
      ASSERT_EQ(c.position, reference.position) << b.name << " capacity " << capacity;
      ASSERT_EQ(c.Bytes(), reference.Bytes()) << b.name << " capacity " << capacity;
      ASSERT_EQ(c.predictor[0], reference.predictor[0]) << b.name;
      ASSERT_EQ(c.state.accumulator, reference.state.accumulator) << b.name << " capacity " << capacity;
      ASSERT_EQ(c.state.count, reference.state.count) << b.name;
    }
  }
}

}  // namespace
}  // namespace kvz::prim
