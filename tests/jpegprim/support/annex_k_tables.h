// The typical Huffman tables of T.81 Annex K, taken from a stream that libjpeg-turbo writes with
// its default tables, so the tests do not depend on a copy typed in by hand.
#pragma once
#include <cstdint>
#include <vector>

namespace kvz::test {

struct HuffmanSpec {
  uint8_t bits[16];
  std::vector<uint8_t> values;
};

struct AnnexKTables {
  HuffmanSpec dcLuminance, acLuminance, dcChrominance, acChrominance;
};

const AnnexKTables& StandardHuffmanTables();

}  // namespace kvz::test
