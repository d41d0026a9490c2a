// The processor vendor as the registry names it. The codec runs the primitives' build selection
// (primitives/build_selection.h); it makes none of its own.
#pragma once
#include <stdint.h>

namespace kvz::jpeg {

// 1 Intel; 2 or 3 AMD family 15 in 32- or 64-bit identification; 0 anything else or unreadable.
uint32_t DetectCpuVendor();

}  // namespace kvz::jpeg
