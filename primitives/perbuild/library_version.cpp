#include "primitives/library_version.h"

namespace kvz::prim::KVZ_BUILD_NS {
namespace {

// Target code and library name follow the build's slot: g0/h3/h4 on x86-64, b0..b4 on x86.
#if defined(__i386__)
#define KVZ_TARGET_LETTER 'b'
#define KVZ_TARGET_DIGIT ('0' + KVZ_BUILD_ISA)
#else
#define KVZ_TARGET_LETTER (KVZ_BUILD_ISA == KVZ_ISA_GENERIC ? 'g' : 'h')
#define KVZ_TARGET_DIGIT (KVZ_BUILD_ISA == KVZ_ISA_GENERIC ? '0' : '0' + KVZ_BUILD_ISA)
#endif

constexpr char kName[] = {'z', 'q', 'p', 'j', KVZ_TARGET_LETTER, KVZ_TARGET_DIGIT,
                          '.', 'l', 'i', 'b', '\0'};

const PrimitiveLibraryVersion kVersion = {
    2, 4, 133, 250, {KVZ_TARGET_LETTER, KVZ_TARGET_DIGIT, 0, 0}, kName, "2.4.0", "Mar 02 2007"};

}  // namespace

const PrimitiveLibraryVersion* GetLibraryVersion() { return &kVersion; }

}  // namespace kvz::prim::KVZ_BUILD_NS
