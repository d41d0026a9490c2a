#include "primitives/float_control.h"

#include <string.h>

namespace kvz::prim {
namespace {

// x87 exception bits 0-5 (invalid, denormal, zero divide, overflow, underflow, precision) and
// their portable counterparts.
constexpr uint32_t kX87ToPortable[6] = {kFpInvalid, kFpDenormal, kFpZeroDivide,
                                        kFpOverflow, kFpUnderflow, kFpInexact};

uint32_t ExceptionsToPortable(uint16_t x87) {
  uint32_t p = 0;
  for (int bit = 0; bit < 6; ++bit)
    if (x87 & (1u << bit)) p |= kX87ToPortable[bit];
  return p;
}

uint16_t ExceptionsFromPortable(uint32_t p) {
  uint16_t x87 = 0;
  for (int bit = 0; bit < 6; ++bit)
    if (p & kX87ToPortable[bit]) x87 |= static_cast<uint16_t>(1u << bit);
  return x87;
}

uint32_t ControlToPortable(uint16_t cw) {
  uint32_t p = ExceptionsToPortable(cw);
  p |= (cw >> 2) & kFpRoundingMask;
  switch ((cw >> 8) & 3) {
    case 0: p |= 0x20000; break;  // 24-bit
    case 2: p |= 0x10000; break;  // 53-bit
    default: break;               // 64-bit
  }
  if (cw & 0x1000) p |= kFpInfinityControl;
  return p;
}

uint16_t ControlFromPortable(uint32_t p, uint16_t old) {
  // Keep the bits the encoding does not describe (the reserved ones).
  uint16_t cw = static_cast<uint16_t>(old & ~0x1F3Fu);
  cw |= ExceptionsFromPortable(p);
  cw |= static_cast<uint16_t>((p & kFpRoundingMask) << 2);
  switch (p & kFpPrecisionMask) {
    case 0: cw |= 0x300; break;
    case 0x10000: cw |= 0x200; break;
    default: break;  // 24-bit
  }
  if (p & kFpInfinityControl) cw |= 0x1000;
  return cw;
}

}  // namespace

// Plain instructions rather than intrinsics: the 32-bit generic objects are compiled without
// SSE, and these only run where the caller knows the processor has it.
uint32_t GetMxcsr() {
  uint32_t v;
  __asm__ __volatile__("stmxcsr %0" : "=m"(v));
  return v;
}

void SetMxcsr(uint32_t value) { __asm__ __volatile__("ldmxcsr %0" : : "m"(value)); }

uint32_t ResetMxcsr() {
  const uint32_t old = GetMxcsr();
  SetMxcsr(0x1F80);
  return old;
}

uint32_t SetMxcsrBits(uint32_t value, uint32_t mask) {
  const uint32_t old = GetMxcsr();
  SetMxcsr((old & ~mask) | (value & mask));
  return old;
}

void SetMxcsrRounding(uint32_t mode) {
  const uint32_t old = GetMxcsr();
  if ((old & 0x6000) != mode) SetMxcsr((old & ~0x6000u) | mode);
}

int32_t HasDenormalsAreZero() {
  alignas(16) uint8_t area[512];
  memset(area, 0, sizeof area);
  __asm__ __volatile__("fxsave %0" : "=m"(area));
  uint32_t mask;
  memcpy(&mask, area + 28, sizeof mask);
  return mask != 0 && (mask & 0x40) != 0 ? 1 : 0;
}

uint16_t GetX87ControlWord() {
  uint16_t cw;
  __asm__ __volatile__("fnstcw %0" : "=m"(cw));
  return cw;
}

void SetX87ControlWord(uint16_t value) { __asm__ __volatile__("fldcw %0" : : "m"(value)); }

uint16_t SetX87ControlBits(uint16_t value, uint16_t mask) {
  const uint16_t old = GetX87ControlWord();
  SetX87ControlWord(static_cast<uint16_t>((old & ~mask) | (value & mask)));
  return old;
}

void SetX87ControlIfChanged(uint16_t value, uint16_t mask) {
  const uint16_t old = GetX87ControlWord();
  if ((old & mask) != value) SetX87ControlWord(static_cast<uint16_t>((old & ~mask) | value));
}

uint16_t GetX87StatusWord() {
  uint16_t sw;
  __asm__ __volatile__("fnstsw %0" : "=m"(sw));
  return sw;
}

uint16_t ClearX87Status() {
  const uint16_t sw = GetX87StatusWord();
  __asm__ __volatile__("fnclex");
  return sw;
}

int32_t IsNan(double value) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof bits);
  return ((bits >> 52) & 0x7FF) == 0x7FF && (bits & 0xFFFFFFFFFFFFFull) != 0 ? 1 : 0;
}

int32_t IsFinite(double value) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof bits);
  return ((bits >> 52) & 0x7FF) != 0x7FF ? 1 : 0;
}

uint32_t SetFloatControl(uint32_t value, uint32_t mask) {
  const uint16_t old = GetX87ControlWord();
  const uint32_t merged = (ControlToPortable(old) & ~mask) | (value & mask);
  SetX87ControlWord(ControlFromPortable(merged, old));
  return merged;
}

uint32_t GetFloatStatus() { return ExceptionsToPortable(GetX87StatusWord()); }

uint32_t ClearFloatStatus() { return ExceptionsToPortable(ClearX87Status()); }

}  // namespace kvz::prim
