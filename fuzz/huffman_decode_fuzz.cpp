// The Huffman decoding primitives on untrusted input: the first bytes are a DHT list (counts
// and values) and the decoder's choice, the rest is entropy-coded data with stuffing and markers.
// Every decoder runs through the data block after block, restarting at markers, the way the
// codec drives them; the sanitizers catch any read or write outside the data and the block.
#include <stddef.h>
#include <stdint.h>

#include <cstring>
#include <vector>

#include "primitives/jpeg/huffman_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kvz::prim;
  if (size < 18) return 0;
  uint8_t counts[16];
  std::memcpy(counts, data, 16);
  const int mode = data[16] % 6;
  const int32_t band = data[17];
  size_t used = 18;
  uint8_t values[256] = {};
  int total = 0;
  for (uint8_t c : counts) total += c;
  const size_t n = static_cast<size_t>(total > 256 ? 256 : total);
  if (size - used < n) return 0;
  std::memcpy(values, data + used, n);
  used += n;
  HuffmanDecodeTable table;
  if (generic::InitHuffmanDecodeTable(counts, values, &table) != 0) return 0;

  // An exactly sized copy, so a read one byte past the data is caught.
  const std::vector<uint8_t> stream(data + used, data + size);
  const int32_t length = static_cast<int32_t>(stream.size());
  if (length == 0) return 0;
  HuffmanDecodeState state;
  generic::InitHuffmanDecodeState(&state);
  int32_t position = 0, marker = 0;
  int16_t block[64] = {}, predictor = 0;
  const int32_t ss = 1 + band % 63, se = ss + (band / 63) % (64 - ss), al = band % 14;
  for (int calls = 0; calls < 4096 && position < length; ++calls) {
    PrimitiveStatus st = 0;
    switch (mode) {
      case 0: st = generic::DecodeHuffmanBlock(stream.data(), length, &position, block, &predictor, &marker, &table, &table, &state); break;
      case 1: st = generic::DecodeHuffmanDcFirst(stream.data(), length, &position, block, &predictor, &marker, al, &table, &state); break;
      case 2: st = generic::DecodeHuffmanDcRefine(stream.data(), length, &position, block, &marker, al, &state); break;
      case 3: st = generic::DecodeHuffmanAcFirst(stream.data(), length, &position, block, &marker, ss, se, al, &table, &state); break;
      case 4: st = generic::DecodeHuffmanAcRefine(stream.data(), length, &position, block, &marker, ss, se, al, &table, &state); break;
      default: st = generic::DecodeHuffmanOne(stream.data(), length, &position, block, &marker, &table, &state); break;
    }
    if (marker != 0 || st == -62) {
      if (marker == 0) break;
      generic::InitHuffmanDecodeState(&state);
      marker = 0;
    }
  }
  return 0;
}
