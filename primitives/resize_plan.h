// What every processor build of ResizeImage8uC4 shares: the argument checks, clipping and size
// decisions, the index and weight tables, and the scalar passes (the generic build's, and the
// vector builds' fall-back where a row does not fit their vector form). Built once, so every
// build works from bit-identical tables.
#pragma once
#include <stdint.h>

#include "primitives/primitive_types.h"
#include "primitives/resize.h"

namespace kvz::prim::resize {

constexpr int32_t kOne = 16384;  // linear weights are fixed point with this as 1

// An output row is 4 x units bytes in the order Y0 U Y1 V; every table below is indexed by
// that byte position ("element"), so the vertical passes run straight along a row.
struct Plan {
  const uint8_t* src;  // rectangle origin
  int32_t srcStep;
  int32_t rectWidth, rectHeight;  // pixels, after clipping
  uint8_t* dst;
  int32_t dstStep;
  int32_t units;      // output units per row
  int32_t elements;   // 4 x units
  int32_t outHeight;  // output rows
  int32_t mode;       // after the fall-back for small sources
  bool integerSums;   // supersampling with whole reciprocal factors

  // Per output element: source byte offset of the first sample used and, for linear and cubic,
  // the distance to the next neighbour (2 for luma, 4 for chroma).
  int32_t* elemOffset;
  int16_t* elemWeight;  // linear: weight of the right neighbour
  float* elemCoef;      // cubic: 3 per element
  // Per output row: first source row used; linear weight of the lower row; cubic coefficients.
  int32_t* rowIndex;
  int16_t* rowWeight;
  float* rowCoef;
  // Row buffers of horizontally passed values, in output element order.
  int16_t* lineBuf[2];
  float* cubicBuf[4];
  int32_t bufRow[4];  // which source row each buffer holds (-1: none)

  // Supersampling: accumulators for the first `superUnits` source units (4 per unit), the
  // taps of each output element and the rows of each output row.
  int32_t superUnits;
  float* accF;
  int32_t* accI;
  int32_t* tapStart;  // elements + 1 entries
  int32_t* tapIndex;  // accumulator index
  float* tapWeight;
  int32_t* superRowStart;  // outHeight + 1 entries into superRows / superRowWeight
  int32_t* superRows;
  float* superRowWeight;
  float scale;  // xFactor x yFactor

  void* blocks[16];
  int32_t blockCount;
};

// Checks, clipping (written back), output size and fall-back. Returns the status to report;
// *proceed is true only when there is work to do.
PrimitiveStatus Prepare(const uint8_t* src, RoiSize srcSize, int32_t srcStep, ResizeRect* rect,
                        uint8_t* dst, int32_t dstStep, RoiSize dstSize, double xFactor,
                        double yFactor, int32_t mode, Plan* plan, bool* proceed);

// Work arrays and tables; -9 when an array cannot be allocated (everything freed).
PrimitiveStatus BuildTables(Plan* plan, double xFactor, double yFactor);
void Release(Plan* plan);

void NearestRows(const Plan& plan);
// Horizontal passes of one source row into a row buffer.
void LinearHorizontal(const Plan& plan, int32_t srcRow, int16_t* out);
void CubicHorizontal(const Plan& plan, int32_t srcRow, float* out);
// Output element values from the supersampling accumulators into one destination row.
void SuperHorizontal(const Plan& plan, uint8_t* dstRow);

// Cubic value at the coefficients of t from four samples, each operation rounded to single
// precision in the same order in every build.
float CubicValue(float p0, float p1, float p2, float p3, const float* coef);
// v + 0.5000001, truncated towards zero, limited to 0..255.
uint8_t CubicToByte(float v);
// acc[k] += w x s[k] for k < n, in single precision.
void AccumulateWeighted(float* acc, const uint8_t* s, int32_t n, float w);

}  // namespace kvz::prim::resize
