// Lossless prediction on rows of 16-bit samples: rebuilding samples from decoded differences,
// and forming differences from samples, with the seed of a scan's first row or one of the
// predictors 1..7 (left, above, above-left, and their combinations). Sums are modulo 2^16;
// every processor build gives identical rows.
#pragma once
#include <stdint.h>

#include "primitives/build.h"
#include "primitives/primitive_types.h"

#define KVZ_DECLARE_LOSSLESS_PREDICT(ns)                                                     \
  namespace kvz::prim::ns {                                                                  \
  PrimitiveStatus ReconstructPredFirstRow(const int16_t* differences, uint16_t* out,         \
                                          int32_t count, int32_t precision,                  \
                                          int32_t pointTransform);                           \
  PrimitiveStatus ReconstructPredRow(const int16_t* differences, const uint16_t* previous,   \
                                     uint16_t* out, int32_t count, int32_t predictor);       \
  PrimitiveStatus DiffPredFirstRow(const uint16_t* samples, int16_t* differences,            \
                                   int32_t count, int32_t precision, int32_t pointTransform); \
  PrimitiveStatus DiffPredRow(const uint16_t* samples, const uint16_t* previous,             \
                              int16_t* differences, int32_t count, int32_t predictor);       \
  }

KVZ_FOR_EACH_BUILD(KVZ_DECLARE_LOSSLESS_PREDICT)
#undef KVZ_DECLARE_LOSSLESS_PREDICT
