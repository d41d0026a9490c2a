// Processor floating-point control of the primitives library: the SSE control register, the
// x87 control and status words, and a portable encoding of the x87 settings. Nothing in the
// driver calls these; the primitives never change the rounding mode.
#pragma once
#include <stdint.h>

namespace kvz::prim {

// Portable encoding: exception bits (set = masked in a control value, raised in a status).
enum : uint32_t {
  kFpInexact = 0x01,
  kFpUnderflow = 0x02,
  kFpOverflow = 0x04,
  kFpZeroDivide = 0x08,
  kFpInvalid = 0x10,
  kFpDenormal = 0x80000,
  kFpRoundingMask = 0x300,  // 0 nearest, 0x100 down, 0x200 up, 0x300 toward zero
  kFpPrecisionMask = 0x30000,  // 0 64-bit, 0x10000 53-bit, 0x20000 24-bit
  kFpInfinityControl = 0x40000,
};

uint32_t GetMxcsr();
void SetMxcsr(uint32_t value);
// Loads 0x1F80 (all exceptions masked, round to nearest); returns the previous value.
uint32_t ResetMxcsr();
// MXCSR = (old & ~mask) | (value & mask); returns the old value.
uint32_t SetMxcsrBits(uint32_t value, uint32_t mask);
// Rewrites the rounding field (0x6000) only when it differs from mode.
void SetMxcsrRounding(uint32_t mode);
// 1 when the processor supports denormals-are-zero (FXSAVE's MXCSR mask has bit 6).
int32_t HasDenormalsAreZero();

uint16_t GetX87ControlWord();
void SetX87ControlWord(uint16_t value);
uint16_t SetX87ControlBits(uint16_t value, uint16_t mask);
void SetX87ControlIfChanged(uint16_t value, uint16_t mask);
uint16_t GetX87StatusWord();
// Returns the status word, then clears the pending exceptions.
uint16_t ClearX87Status();

int32_t IsNan(double value);
int32_t IsFinite(double value);

// The x87 control word in the portable encoding, merged as (old & ~mask) | (value & mask) and
// loaded; returns the merged value.
uint32_t SetFloatControl(uint32_t value, uint32_t mask);
uint32_t GetFloatStatus();
uint32_t ClearFloatStatus();

}  // namespace kvz::prim
