// Real baseline JPEG streams written by libjpeg-turbo, the minimal header reading needed to run
// the Huffman block decoder over their scans, and libjpeg-turbo's own reading of the quantised
// coefficients as the oracle. Used by the tests and by the benchmarks.
#pragma once
#include <stdio.h>

#include <jpeglib.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace kvz::test {

// A picture with gradients, edges and noise, so that every run/size class turns up.
inline std::vector<uint8_t> TestPicture(int width, int height, uint32_t seed) {
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      seed = seed * 1103515245u + 12345u;
      const int noise = static_cast<int>((seed >> 16) & 31) - 16;
      uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
      const int edge = ((x / 37 + y / 23) & 1) ? 60 : 0;
      p[0] = static_cast<uint8_t>(std::min(255, std::max(0, x * 255 / width + noise)));
      p[1] = static_cast<uint8_t>(std::min(255, std::max(0, y * 255 / height + edge - noise)));
      p[2] = static_cast<uint8_t>(std::min(255, std::max(0, ((x ^ y) & 255) / 2 + edge + noise)));
    }
  }
  return rgb;
}

// 4:2:0 baseline at the given quality, optionally with a restart interval (in MCUs).
inline std::vector<uint8_t> EncodeBaseline(int width, int height, int quality, int restartMcus,
                                           uint32_t seed) {
  std::vector<uint8_t> rgb = TestPicture(width, height, seed);
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  jpeg_mem_dest(&c, &out, &outSize);
  c.image_width = static_cast<JDIMENSION>(width);
  c.image_height = static_cast<JDIMENSION>(height);
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  c.restart_interval = static_cast<unsigned>(restartMcus);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = &rgb[static_cast<size_t>(c.next_scanline) * width * 3];
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  std::vector<uint8_t> stream(out, out + outSize);
  jpeg_destroy_compress(&c);
  free(out);
  return stream;
}

struct DhtTable {
  uint8_t counts[16] = {};
  uint8_t values[256] = {};
  bool present = false;
};

struct ScanComponent {
  int h = 1, v = 1, quantTable = 0, dcTable = 0, acTable = 0;
  int blocksWide = 0, blocksHigh = 0;  // of the component's block grid
};

struct BaselineStream {
  int width = 0, height = 0, restartInterval = 0;
  int mcusWide = 0, mcusHigh = 0;
  std::vector<ScanComponent> components;
  DhtTable dc[4], ac[4];
  uint8_t quant[4][64] = {};  // raw 8-bit tables, zig-zag order
  int32_t scanStart = 0;  // first byte of entropy-coded data
};

// Reads SOF0, DHT, DQT (8-bit), DRI and SOS; false on anything else it would need to understand.
inline bool ParseBaseline(const std::vector<uint8_t>& s, BaselineStream* out) {
  size_t p = 2;
  int hMax = 1, vMax = 1;
  while (p + 4 <= s.size()) {
    if (s[p] != 0xFF) return false;
    const uint8_t m = s[p + 1];
    const size_t len = (static_cast<size_t>(s[p + 2]) << 8) | s[p + 3];
    const uint8_t* seg = &s[p + 4];
    if (m == 0xC0) {
      out->height = (seg[1] << 8) | seg[2];
      out->width = (seg[3] << 8) | seg[4];
      for (int i = 0; i < seg[5]; ++i) {
        ScanComponent c;
        c.h = seg[6 + 3 * i + 1] >> 4;
        c.v = seg[6 + 3 * i + 1] & 15;
        c.quantTable = seg[6 + 3 * i + 2] & 3;
        hMax = std::max(hMax, c.h);
        vMax = std::max(vMax, c.v);
        out->components.push_back(c);
      }
    } else if (m == 0xC4) {
      size_t q = 0;
      while (q < len - 2) {
        const int cls = seg[q] >> 4, id = seg[q] & 3;
        DhtTable& t = cls == 0 ? out->dc[id] : out->ac[id];
        int total = 0;
        for (int i = 0; i < 16; ++i) total += t.counts[i] = seg[q + 1 + i];
        std::memcpy(t.values, &seg[q + 17], static_cast<size_t>(total));
        t.present = true;
        q += 17 + static_cast<size_t>(total);
      }
    } else if (m == 0xDB) {
      for (size_t q = 0; q + 65 <= len - 2; q += 65) std::memcpy(out->quant[seg[q] & 3], &seg[q + 1], 64);
    } else if (m == 0xDD) {
      out->restartInterval = (seg[0] << 8) | seg[1];
    } else if (m == 0xDA) {
      for (int i = 0; i < seg[0]; ++i) {
        out->components[static_cast<size_t>(i)].dcTable = seg[2 + 2 * i] >> 4;
        out->components[static_cast<size_t>(i)].acTable = seg[2 + 2 * i] & 15;
      }
      out->scanStart = static_cast<int32_t>(p + 2 + len);
      out->mcusWide = (out->width + 8 * hMax - 1) / (8 * hMax);
      out->mcusHigh = (out->height + 8 * vMax - 1) / (8 * vMax);
      for (ScanComponent& c : out->components) {
        c.blocksWide = out->mcusWide * c.h;
        c.blocksHigh = out->mcusHigh * c.v;
      }
      return true;
    }
    p += 2 + len;
  }
  return false;
}

// libjpeg-turbo's quantised coefficients, per component, block rows of natural-order blocks.
inline std::vector<std::vector<int16_t>> ReferenceCoefficients(const std::vector<uint8_t>& s,
                                                               const BaselineStream& b) {
  jpeg_decompress_struct d;
  jpeg_error_mgr err;
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, s.data(), static_cast<unsigned long>(s.size()));
  jpeg_read_header(&d, TRUE);
  jvirt_barray_ptr* arrays = jpeg_read_coefficients(&d);
  std::vector<std::vector<int16_t>> all;
  for (size_t ci = 0; ci < b.components.size(); ++ci) {
    const ScanComponent& c = b.components[ci];
    std::vector<int16_t> coefs(static_cast<size_t>(c.blocksWide) * c.blocksHigh * 64, 0);
    const int rows = static_cast<int>(d.comp_info[ci].height_in_blocks);
    const int cols = static_cast<int>(d.comp_info[ci].width_in_blocks);
    for (int r = 0; r < rows && r < c.blocksHigh; ++r) {
      JBLOCKARRAY row = (*d.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&d),
                                                     arrays[ci], static_cast<JDIMENSION>(r), 1, FALSE);
      for (int col = 0; col < cols && col < c.blocksWide; ++col)
        for (int k = 0; k < 64; ++k)
          coefs[(static_cast<size_t>(r) * c.blocksWide + col) * 64 + static_cast<size_t>(k)] =
              row[0][col][k];
    }
    all.push_back(std::move(coefs));
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  return all;
}

// Visits every block of the scan in decoding order: f(component, block row, block column).
template <typename F>
void ForEachScanBlock(const BaselineStream& b, F f) {
  for (int my = 0; my < b.mcusHigh; ++my)
    for (int mx = 0; mx < b.mcusWide; ++mx)
      for (size_t ci = 0; ci < b.components.size(); ++ci) {
        const ScanComponent& c = b.components[ci];
        for (int v = 0; v < c.v; ++v)
          for (int h = 0; h < c.h; ++h) f(static_cast<int>(ci), my * c.v + v, mx * c.h + h, my * b.mcusWide + mx);
      }
}

}  // namespace kvz::test
