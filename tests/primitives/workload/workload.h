// The primitives run over pseudo-random data from a fixed seed, one checksum per primitive, so
// that a run on any processor can be compared with a run elsewhere. Needs nothing beyond the
// primitives libraries: it is also linked into a program without a C library.
#pragma once
#include <stdint.h>

namespace kvz::test {

typedef void (*ChecksumSink)(const char* name, uint32_t checksum);

// Calls the dispatch entries, so it runs whichever build the dispatch index selects.
void RunPrimitiveWorkload(ChecksumSink sink);

}  // namespace kvz::test
