#include "annex_k_tables.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>
#include <vector>

namespace kvz::test {
namespace {

std::vector<uint8_t> CompressSmallImage() {
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = 16;
  c.image_height = 16;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_start_compress(&c, TRUE);
  std::vector<uint8_t> row(16 * 3, 77);
  while (c.next_scanline < c.image_height) {
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::vector<uint8_t> bytes(out, out + size);
  std::free(out);
  return bytes;
}

AnnexKTables Parse(const std::vector<uint8_t>& s) {
  AnnexKTables t{};
  for (size_t i = 2; i + 4 <= s.size() && !(s[i] == 0xFF && s[i + 1] == 0xDA);) {
    const size_t length = (s[i + 2] << 8) | s[i + 3];
    if (s[i + 1] == 0xC4) {
      for (size_t p = i + 4; p < i + 2 + length;) {
        const int cls = s[p] >> 4, id = s[p] & 15;
        HuffmanSpec table{};
        int total = 0;
        for (int k = 0; k < 16; ++k) total += table.bits[k] = s[p + 1 + k];
        table.values.assign(s.begin() + p + 17, s.begin() + p + 17 + total);
        (cls == 0 ? (id == 0 ? t.dcLuminance : t.dcChrominance) : (id == 0 ? t.acLuminance : t.acChrominance)) = table;
        p += 17 + total;
      }
    }
    i += 2 + length;
  }
  return t;
}

}  // namespace

const AnnexKTables& StandardHuffmanTables() {
  static const AnnexKTables tables = Parse(CompressSmallImage());
  return tables;
}

}  // namespace kvz::test
