// Sample-type conversion row kernels: (source, destination, count in samples[, stream flag]).
// AC4 kernels skip every fourth sample and leave the fourth destination sample as it was;
// their count includes the skipped samples and is a multiple of 4. Floating-point results are
// rounded in the processor's current rounding mode.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "primitives/build.h"

#define KVZ_DECLARE_SAMPLE_CONVERT(ns)                                                       \
  namespace kvz::prim::ns {                                                                  \
  void ConvertBytesToWordsKernel(const uint8_t* src, int16_t* dst, size_t count,             \
                                 uint32_t stream);                                           \
  void ConvertWordsToBytesKernel(const int16_t* src, uint8_t* dst, size_t count);            \
  void Convert16uTo8uKernel(const uint16_t* src, uint8_t* dst, size_t count);                \
  void Convert32sTo8sKernel(const int32_t* src, int8_t* dst, size_t count);                  \
  void Convert32sTo8sAc4Kernel(const int32_t* src, int8_t* dst, size_t count);               \
  void Convert32sTo8uKernel(const int32_t* src, uint8_t* dst, size_t count);                 \
  void Convert32sTo8uAc4Kernel(const int32_t* src, uint8_t* dst, size_t count);              \
  void Convert8sTo32sKernel(const int8_t* src, int32_t* dst, size_t count, uint32_t stream); \
  void Convert8sTo32sAc4Kernel(const int8_t* src, int32_t* dst, size_t count);               \
  void Convert8uTo32sKernel(const uint8_t* src, int32_t* dst, size_t count, uint32_t stream); \
  void Convert8uTo32sAc4Kernel(const uint8_t* src, int32_t* dst, size_t count);              \
  void Convert32fTo16uKernel(const float* src, uint16_t* dst, size_t count);                 \
  void Convert32fTo16uAc4Kernel(const float* src, uint16_t* dst, size_t count);              \
  void Convert32fTo16sKernel(const float* src, int16_t* dst, size_t count);                  \
  void Convert32fTo16sAc4Kernel(const float* src, int16_t* dst, size_t count);               \
  void Convert32fTo8uKernel(const float* src, uint8_t* dst, size_t count);                   \
  void Convert32fTo8uAc4Kernel(const float* src, uint8_t* dst, size_t count);                \
  void Convert32fTo8sKernel(const float* src, int8_t* dst, size_t count);                    \
  void Convert32fTo8sAc4Kernel(const float* src, int8_t* dst, size_t count);                 \
  void Convert16uTo32fKernel(const uint16_t* src, float* dst, size_t count, uint32_t stream); \
  void Convert16uTo32fAc4Kernel(const uint16_t* src, float* dst, size_t count);              \
  void Convert16sTo32fKernel(const int16_t* src, float* dst, size_t count, uint32_t stream);  \
  void Convert16sTo32fAc4Kernel(const int16_t* src, float* dst, size_t count);               \
  void Convert8uTo32fKernel(const uint8_t* src, float* dst, size_t count, uint32_t stream);  \
  void Convert8uTo32fAc4Kernel(const uint8_t* src, float* dst, size_t count);                \
  void Convert8sTo32fKernel(const int8_t* src, float* dst, size_t count, uint32_t stream);   \
  void Convert8sTo32fAc4Kernel(const int8_t* src, float* dst, size_t count);                 \
  }

KVZ_FOR_EACH_BUILD(KVZ_DECLARE_SAMPLE_CONVERT)
