// One-dimensional memory primitives: copy, zero, fill and in-place shift of runs of bytes and
// 16-bit values, with the byte kernels they are built on. Every processor build has them.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "primitives/build.h"
#include "primitives/primitive_types.h"

#define KVZ_DECLARE_VECTOR_OPS(ns)                                                           \
  namespace kvz::prim::ns {                                                                  \
  PrimitiveStatus CopyBytes(const uint8_t* src, uint8_t* dst, int32_t count);                \
  PrimitiveStatus CopyWords(const int16_t* src, int16_t* dst, int32_t count);                \
  PrimitiveStatus ZeroBytes(uint8_t* dst, int32_t count);                                    \
  PrimitiveStatus ZeroWords(int16_t* dst, int32_t count);                                    \
  PrimitiveStatus ShiftLeftWords(int32_t shift, int16_t* vec, int32_t count);                \
  PrimitiveStatus ShiftRightWords(int32_t shift, int16_t* vec, int32_t count);               \
  /* Byte kernels: count >= 1, ranges must not overlap; they return dst. */                  \
  void* CopyBytesKernel(const void* src, void* dst, size_t bytes);                           \
  void* ZeroFillKernel(void* dst, size_t bytes);                                             \
  /* Fill kernels: value points to one element (16 bytes for the 128-bit one). */            \
  void FillKernel8(const void* value, void* dst, size_t count);                              \
  void FillKernel16(const void* value, void* dst, size_t count);                             \
  void FillKernel32(const void* value, void* dst, size_t count);                             \
  void FillKernel64(const void* value, void* dst, size_t count);                             \
  void FillKernel128(const void* value, void* dst, size_t count);                            \
  /* Shift kernels, shift 1..15 (1..7 for bytes, 1..31 for dwords); in place: (shift,      \
     vector, count); out of place: (source, shift, destination, count). */                   \
  void ShiftLeftBytesKernel(int32_t shift, uint8_t* vec, size_t count);                      \
  void ShiftLeftWordsKernel(int32_t shift, int16_t* vec, size_t count);                      \
  void ShiftLeftDwordsKernel(int32_t shift, int32_t* vec, size_t count);                     \
  void ShiftRightLogicalBytesKernel(int32_t shift, uint8_t* vec, size_t count);              \
  void ShiftRightLogicalWordsKernel(int32_t shift, uint16_t* vec, size_t count);             \
  void ShiftRightWordsKernel(int32_t shift, int16_t* vec, size_t count);                     \
  void ShiftRightDwordsKernel(int32_t shift, int32_t* vec, size_t count);                    \
  void ShiftLeftBytesCopyKernel(const uint8_t* src, int32_t shift, uint8_t* dst, size_t n);  \
  void ShiftLeftWordsCopyKernel(const int16_t* src, int32_t shift, int16_t* dst, size_t n);  \
  void ShiftLeftDwordsCopyKernel(const int32_t* src, int32_t shift, int32_t* dst, size_t n); \
  void ShiftRightLogicalBytesCopyKernel(const uint8_t* src, int32_t shift, uint8_t* dst,     \
                                        size_t n);                                           \
  void ShiftRightLogicalWordsCopyKernel(const uint16_t* src, int32_t shift, uint16_t* dst,   \
                                        size_t n);                                           \
  void ShiftRightWordsCopyKernel(const int16_t* src, int32_t shift, int16_t* dst, size_t n); \
  void ShiftRightDwordsCopyKernel(const int32_t* src, int32_t shift, int32_t* dst, size_t n);\
  }

KVZ_FOR_EACH_BUILD(KVZ_DECLARE_VECTOR_OPS)
