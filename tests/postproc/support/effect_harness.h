// Effects under test: owned through DeleteEffect, given a format and a work
// buffer of exactly one frame inside guard bytes, run on frames inside guard bytes.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "postproc/effects/effect_factory.h"
#include "postproc/effects/zq_effect.h"
#include "support/guarded_buffer.h"

namespace kvz::test {

struct EffectDeleter {
  void operator()(ZQEffect* effect) const { DeleteEffect(effect); }
};
using EffectPtr = std::unique_ptr<ZQEffect, EffectDeleter>;

inline EffectPtr MakeEffect(LONG identifier) { return EffectPtr(NewCatalogueEffect(identifier)); }

inline size_t FrameBytes(LONG code, LONG width, LONG height) {
  const EffectFormat format = {code, width, height};
  return EffectFrameBytes(&format);
}

// An effect with its format set and its work buffer, ready to run.
struct FormattedEffect {
  FormattedEffect(LONG identifier, LONG code, LONG width, LONG height)
      : effect(MakeEffect(identifier)), format{code, width, height}, work(FrameBytes(code, width, height)) {
    if (effect) status = effect->SetFormat(&format, work.data(), static_cast<LONG>(work.size()), nullptr);
  }
  EffectPtr effect;
  EffectFormat format;
  GuardedBuffer work;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
};

// Bytes from a linear congruential sequence: pictures whose every byte differs from its
// neighbours, so any misplaced byte shows.
inline std::vector<uint8_t> PatternBytes(size_t bytes, uint32_t seed) {
  std::vector<uint8_t> v(bytes);
  for (auto& b : v) {
    seed = seed * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(seed >> 24);
  }
  return v;
}

// 64-bit FNV-1a: the golden checksums of reviewed outputs.
inline uint64_t Fnv1a(const uint8_t* data, size_t size) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001b3ull;
  return h;
}

// A bottom-up RGB24 frame whose blue byte is x / 4 and green byte y / 2 (image row y counted
// from the top), red 77: bilinear sampling of it is linear up to truncation.
inline void FillCoordinateRamp(uint8_t* frame, LONG width, LONG height) {
  for (LONG y = 0; y < height; ++y) {
    uint8_t* row = frame + static_cast<size_t>(height - 1 - y) * width * 3;
    for (LONG x = 0; x < width; ++x) {
      row[3 * x] = static_cast<uint8_t>(x / 4);
      row[3 * x + 1] = static_cast<uint8_t>(y / 2);
      row[3 * x + 2] = 77;
    }
  }
}

}  // namespace kvz::test
