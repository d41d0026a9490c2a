// Copy, interleave and split row kernels of every build against plain rearrangement, with the
// guard bytes and the bytes they must keep (alpha, row padding) checked.
#include <gtest/gtest.h>

#include <memory>

#include "support/e2_builds.h"
#include "support/e2_memory.h"

namespace e2 {
namespace {

TEST(RowKernels, CopyRowKernelCopiesExactlyItsBytes) {
  uint32_t seed = 3;
  for (size_t n = 1; n <= 130; ++n) {
    for (size_t dm = 0; dm < 16; ++dm) {
      for (size_t sm : {0, 1, 4, 8}) {
        Block src(n, sm, 0);
        src.Fill(seed++);
        Block want(n, dm);
        want.Fill(seed);
        want.Set(src.data(), n);
        for (const Build& b : Builds()) {
          for (uint32_t stream : {0u, 1u}) {
            Block dst(n, dm);
            dst.Fill(seed);
            b.CopyRowKernel(src.data(), dst.data(), n, stream);
            ASSERT_EQ(want.All(), dst.All()) << b.name << " n " << n << " misalign " << sm << "/" << dm << " stream " << stream;
          }
        }
      }
    }
  }
}

// Places a pointer at a chosen offset within a 4 KiB page, so the cache-aware copy's choice of
// direction (by the source's and destination's page offsets) can be driven.
struct PageBlock {
  PageBlock(size_t n, size_t pageOffset, uint32_t seed) : bytes(n), block(n + 8192, 0) {
    const uintptr_t a = reinterpret_cast<uintptr_t>(block.data());
    p = block.data() + 64 + ((pageOffset - (a + 64)) & 4095);
    for (size_t i = 0; i < n + 128; ++i) {
      seed = seed * 1664525u + 1013904223u;
      p[i - 64] = static_cast<uint8_t>(seed >> 24);
    }
  }
  // The bytes written and 64 bytes either side.
  std::vector<uint8_t> Window() const { return std::vector<uint8_t>(p - 64, p + bytes + 64); }
  size_t bytes;
  Block block;
  uint8_t* p;
};

TEST(RowKernels, CacheAwareCopyMatchesInEveryDirectionAndRowShape) {
  ScopedCpuid cpu(IntelCache({0x47}));
  struct Offsets {
    size_t src, dst;
  };
  // Both aligned, both directions; source 4, 8 and 12 past a boundary; unaligned source.
  const Offsets offsets[] = {{0, 16},  {0, 160}, {0, 176},   {160, 0}, {4000, 0}, {0, 4000}, {4, 0},
                             {8, 32},  {12, 48}, {1, 0},     {0, 1},   {7, 3},    {4, 12},   {3936, 0}};
  const struct {
    size_t row;
    uint32_t rows;
    int32_t srcPad, dstPad;
  } shapes[] = {{10, 3, 6, 10}, {63, 4, 0, 0}, {64, 3, 1, 0}, {100, 5, 0, 0}, {130, 3, 16, 32},
                {1000, 3, 0, 0}, {1000, 2, 24, 8}, {4099, 2, 0, 3}, {17, 2, 0, 0}};
  uint32_t seed = 1;
  for (const auto& sh : shapes) {
    const int32_t ss = static_cast<int32_t>(sh.row) + sh.srcPad, ds = static_cast<int32_t>(sh.row) + sh.dstPad;
    const size_t srcBytes = static_cast<size_t>(ss) * sh.rows, dstBytes = static_cast<size_t>(ds) * sh.rows;
    for (const Offsets& o : offsets) {
      PageBlock src(srcBytes, o.src, seed++);
      PageBlock want(dstBytes, o.dst, seed);
      for (uint32_t r = 0; r < sh.rows; ++r) std::memcpy(want.p + r * ds, src.p + r * ss, sh.row);
      for (const Build& b : Builds()) {
        PageBlock dst(dstBytes, o.dst, seed);
        b.CopyRowCacheAwareKernel(src.p, ss, dst.p, ds, sh.row, sh.rows);
        ASSERT_EQ(want.Window(), dst.Window())
            << b.name << " row " << sh.row << " rows " << sh.rows << " offsets " << o.src << "/" << o.dst;
      }
    }
  }
}

TEST(RowKernels, CacheAwareCopyOfShortRowsInALargeRegionStaysInTheRows) {
  ScopedCpuid cpu(IntelCache({0x47}));  // 8 MiB: a 2 MiB region does not stream
  const size_t row = 48, step = 56, rows = (2 << 20) / row + 1;
  Block src(step * rows, 0, 0);
  src.Fill(5);
  Block want(step * rows, 8);
  want.Fill(6);
  for (size_t r = 0; r < rows; ++r) std::memcpy(want.data() + r * step, src.data() + r * step, row);
  for (const Build& b : Builds()) {
    Block dst(step * rows, 8);
    dst.Fill(6);
    b.CopyRowCacheAwareKernel(src.data(), step, dst.data(), step, row, rows);
    ASSERT_EQ(want.All(), dst.All()) << b.name;
  }
}

TEST(RowKernels, Ac4CopiesKeepTheFourthSample) {
  uint32_t seed = 9;
  for (uint32_t pixels = 1; pixels <= 40; ++pixels) {
    for (size_t dm : {0, 1, 2, 4, 8, 12}) {
      for (int size : {1, 2}) {
        const size_t bytes = pixels * 4 * size;
        Block src(bytes, 3, 0);
        src.Fill(seed++);
        Block want(bytes, dm);
        want.Fill(seed);
        for (uint32_t p = 0; p < pixels; ++p) std::memcpy(want.data() + p * 4 * size, src.data() + p * 4 * size, 3 * size);
        for (const Build& b : Builds()) {
          Block dst(bytes, dm);
          dst.Fill(seed);
          if (size == 1) {
            b.CopyRowAc4Kernel8u(src.data(), dst.data(), pixels * 4);
          } else {
            b.CopyRowAc4Kernel16s(src.as<int16_t>(), dst.as<int16_t>(), pixels * 4, 1);
          }
          ASSERT_EQ(want.All(), dst.All()) << b.name << " size " << size << " pixels " << pixels << " misalign " << dm;
        }
      }
    }
  }
}

// Interleave and split kernels called directly, with and without streaming, every variant.
TEST(RowKernels, InterleaveAndSplitKernelsEveryVariant) {
  uint32_t seed = 21;
  for (uint32_t w : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 33u, 64u, 100u, 130u}) {
    for (size_t mis : {0, 4, 8, 1}) {
      const uint32_t h = 3;
      const int32_t pstep = static_cast<int32_t>(w) + 8, istep3 = static_cast<int32_t>(3 * w) + 16,
                    istep4 = static_cast<int32_t>(4 * w) + 16;
      std::vector<std::unique_ptr<Block>> planes;
      for (int c = 0; c < 4; ++c) {
        planes.push_back(std::make_unique<Block>(pstep * h, mis, 0));
        planes.back()->Fill(seed++);
      }
      const uint8_t* in[4] = {planes[0]->data(), planes[1]->data(), planes[2]->data(), planes[3]->data()};
      for (int ch : {3, 4}) {
        const int32_t istep = ch == 3 ? istep3 : istep4;
        Block want(istep * h, mis);
        want.Fill(seed);
        for (uint32_t r = 0; r < h; ++r) {
          for (uint32_t j = 0; j < w; ++j) {
            for (int c = 0; c < ch; ++c) want.data()[r * istep + ch * j + c] = in[c][r * pstep + j];
          }
        }
        for (const Build& b : Builds()) {
          for (uint32_t stream : {0u, 1u}) {
            Block got(istep * h, mis);
            got.Fill(seed);
            if (ch == 3) {
              b.InterleavePlanes8uP3C3Kernel(in, pstep, got.data(), istep, w, h, stream);
            } else {
              b.InterleavePlanes8uP4C4Kernel(in, pstep, got.data(), istep, w, h, stream);
            }
            ASSERT_EQ(want.All(), got.All()) << b.name << " P" << ch << "C" << ch << " w " << w << " mis " << mis;
          }
          // And back: every split variant must give the planes.
          using Split = void (*)(const uint8_t*, int32_t, uint8_t* const*, int32_t, uint32_t, uint32_t);
          std::vector<Split> variants;
          if (ch == 3) {
            variants = {b.SplitPixels8uC3P3Kernel, b.SplitPixels8uC3P3Planes4Kernel, b.SplitPixels8uC3P3Source4Kernel};
          } else {
            variants = {b.SplitPixels8uC4P4Kernel, b.SplitPixels8uC4P4Planes4Kernel};
          }
          for (Split split : variants) {
            std::vector<std::unique_ptr<Block>> out;
            uint8_t* outp[4];
            for (int c = 0; c < ch; ++c) {
              out.push_back(std::make_unique<Block>(pstep * h, mis));
              out.back()->Fill(seed + 100);
              outp[c] = out.back()->data();
            }
            split(want.data(), istep, outp, pstep, w, h);
            for (int c = 0; c < ch; ++c) {
              Block ref(pstep * h, mis);
              ref.Fill(seed + 100);
              for (uint32_t r = 0; r < h; ++r) std::memcpy(ref.data() + r * pstep, in[c] + r * pstep, w);
              ASSERT_EQ(ref.All(), out[c]->All()) << b.name << " split C" << ch << " plane " << c << " w " << w;
            }
          }
        }
      }
    }
  }
}

TEST(RowKernels, ExtractChannelKernels) {
  uint32_t seed = 77;
  for (uint32_t n = 1; n <= 130; ++n) {
    for (size_t dm : {0, 1, 2, 4, 6, 8}) {
      for (int ch : {3, 4}) {
        for (int size : {1, 2}) {
          for (int c = 0; c < ch; ++c) {
            // The source ends with the last pixel, so no kernel may read past it.
            Block src(static_cast<size_t>(n) * ch * size, 5, 0);
            src.Fill(seed++);
            Block want(static_cast<size_t>(n) * size, dm);
            want.Fill(seed);
            for (uint32_t j = 0; j < n; ++j) std::memcpy(want.data() + j * size, src.data() + (j * ch + c) * size, size);
            for (const Build& b : Builds()) {
              for (int stream = 0; stream < (size == 2 ? 2 : 1); ++stream) {
                Block got(static_cast<size_t>(n) * size, dm);
                got.Fill(seed);
                if (size == 1) {
                  (ch == 3 ? b.ExtractChannel8uC3Kernel : b.ExtractChannel8uC4Kernel)(src.data() + c, got.data(), n);
                } else {
                  auto k = ch == 3 ? (stream ? b.ExtractChannel16sC3StreamingKernel : b.ExtractChannel16sC3Kernel)
                                   : (stream ? b.ExtractChannel16sC4StreamingKernel : b.ExtractChannel16sC4Kernel);
                  k(src.as<int16_t>() + c, got.as<int16_t>(), n);
                }
                ASSERT_EQ(want.All(), got.All()) << b.name << " C" << ch << " size " << size << " channel " << c << " n " << n
                                                 << " stream " << stream;
              }
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace e2
