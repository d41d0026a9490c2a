// The floating-point helpers: the portable encoding of the x87 words, and the SSE control
// register, each restored after use.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "primitives/float_control.h"

namespace kvz::prim {
namespace {

class FloatControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    x87_ = GetX87ControlWord();
    mxcsr_ = GetMxcsr();
  }
  void TearDown() override {
    SetX87ControlWord(x87_);
    ClearX87Status();
    SetMxcsr(mxcsr_);
  }
  uint16_t x87_;
  uint32_t mxcsr_;
};

TEST_F(FloatControlTest, PortableControlOfTheDefaultWord) {
  SetX87ControlWord(0x037F);  // all masked, 64-bit precision, round to nearest
  EXPECT_EQ(SetFloatControl(0, 0), kFpInexact | kFpUnderflow | kFpOverflow | kFpZeroDivide |
                                       kFpInvalid | kFpDenormal);
}

TEST_F(FloatControlTest, RoundingPrecisionAndInfinityReachTheControlWord) {
  SetX87ControlWord(0x037F);
  SetFloatControl(0x100, kFpRoundingMask);
  EXPECT_EQ(GetX87ControlWord() & 0x0C00, 0x0400);
  SetFloatControl(0x10000, kFpPrecisionMask);
  EXPECT_EQ(GetX87ControlWord() & 0x0300, 0x0200);
  SetFloatControl(0x20000, kFpPrecisionMask);
  EXPECT_EQ(GetX87ControlWord() & 0x0300, 0x0000);
  SetFloatControl(kFpInfinityControl, kFpInfinityControl);
  EXPECT_EQ(GetX87ControlWord() & 0x1000, 0x1000);
  const uint32_t merged = SetFloatControl(0, kFpZeroDivide);  // unmask zero divide
  EXPECT_EQ(GetX87ControlWord() & 0x04, 0);
  EXPECT_EQ(merged & kFpZeroDivide, 0u);
  EXPECT_EQ(merged & kFpRoundingMask, 0x100u);
}

TEST_F(FloatControlTest, StatusReportsAndClearsAnX87DivisionByZero) {
  ClearFloatStatus();
  volatile long double zero = 0.0L;
  volatile long double r = 1.0L / zero;
  (void)r;
  EXPECT_EQ(GetFloatStatus() & kFpZeroDivide, kFpZeroDivide);
  EXPECT_EQ(ClearFloatStatus() & kFpZeroDivide, kFpZeroDivide);
  EXPECT_EQ(GetFloatStatus(), 0u);
}

TEST_F(FloatControlTest, ControlBitsMergeAndReturnTheOldWord) {
  SetX87ControlWord(0x037F);
  EXPECT_EQ(SetX87ControlBits(0x0C00, 0x0C00), 0x037F);
  EXPECT_EQ(GetX87ControlWord(), 0x0F7F);
  SetX87ControlIfChanged(0x0000, 0x0C00);
  EXPECT_EQ(GetX87ControlWord(), 0x037F);
}

TEST_F(FloatControlTest, MxcsrHelpers) {
  const uint32_t before = ResetMxcsr();
  EXPECT_EQ(before, mxcsr_);
  EXPECT_EQ(GetMxcsr() & 0xFFC0, 0x1F80u);
  EXPECT_EQ(SetMxcsrBits(0x6000, 0x6000) & 0x6000, 0u);
  EXPECT_EQ(GetMxcsr() & 0x6000, 0x6000u);
  SetMxcsrRounding(0x2000);
  EXPECT_EQ(GetMxcsr() & 0x6000, 0x2000u);
  const int32_t daz = HasDenormalsAreZero();
  EXPECT_TRUE(daz == 0 || daz == 1);
}

TEST(FloatClassification, NanAndFinite) {
  EXPECT_EQ(IsNan(std::numeric_limits<double>::quiet_NaN()), 1);
  EXPECT_EQ(IsNan(std::numeric_limits<double>::infinity()), 0);
  EXPECT_EQ(IsNan(1.0), 0);
  EXPECT_EQ(IsFinite(std::numeric_limits<double>::infinity()), 0);
  EXPECT_EQ(IsFinite(-std::numeric_limits<double>::quiet_NaN()), 0);
  EXPECT_EQ(IsFinite(std::numeric_limits<double>::denorm_min()), 1);
  EXPECT_EQ(IsFinite(-1e308), 1);
}

}  // namespace
}  // namespace kvz::prim
