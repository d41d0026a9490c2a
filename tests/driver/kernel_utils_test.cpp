#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/settings/registry_access.h"
#include "postproc/convert/yuy2_to_rgb24.h"
#include "kernel_checks.h"
#include "kvz/kernel_testing.h"
#include "kvz/registry_testing.h"
#include "kvz/system_testing.h"

namespace {

using namespace kvz::kernel;

const std::u16string kKey = u"\\Registry\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{cls}\\0000\\VIDEOPROCAMP";

struct Path {
  explicit Path(const std::u16string& text) : text_(text) {
    string_.Buffer = text_.data();
    string_.Length = static_cast<USHORT>(text_.size() * 2);
    string_.MaximumLength = string_.Length;
  }
  PUNICODE_STRING operator&() { return &string_; }
  PCWSTR c_str() const { return text_.c_str(); }
  std::u16string text_;
  UNICODE_STRING string_;
};

class KernelUtils : public ::testing::Test {
 protected:
  void SetUp() override { ResetRegistry(); }
  void TearDown() override {
    ResetRegistry();
    ResetSystemRoutines();
    SetSystemVersion(SystemVersion{});
    ClearPoolFaults();
    EXPECT_CLEAN_UNLOAD();
  }
};

TEST_F(KernelUtils, MissingValueSucceedsAndKeepsThePresetWhileAMissingKeyZeroes) {
  CreateRegistryKey(kKey);
  Path key(kKey);
  ULONG value = 0x80000000;
  EXPECT_EQ(kvz::QueryRegistryDword(&key, "Brightness", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0x80000000u);

  Path missing(kKey + u"\\Nowhere");
  EXPECT_EQ(kvz::QueryRegistryDword(&missing, "Brightness", &value), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(value, 0u);

  SetRegistryDword(kKey, u"Brightness", 42);
  EXPECT_EQ(kvz::QueryRegistryDword(&key, "BRIGHTNESS", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 42u);
}

TEST_F(KernelUtils, ValueOfAnotherTypeNeverOverflowsTheWord) {
  Path key(kKey);
  struct {
    ULONG value = 5;
    ULONG guard[4] = {0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA};
  } target;
  SetRegistryString(kKey, u"Contrast", u"a string far longer than one double word");
  EXPECT_EQ(kvz::QueryRegistryDword(&key, "Contrast", &target.value), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(target.value, 0u) << "an error zeroes the output";
  SetRegistryBinary(kKey, u"Contrast", {1, 2, 3, 4, 5, 6, 7, 8});
  target.value = 5;
  EXPECT_EQ(kvz::QueryRegistryDword(&key, "Contrast", &target.value), STATUS_OBJECT_TYPE_MISMATCH);
  for (ULONG g : target.guard) EXPECT_EQ(g, 0xAAAAAAAAu);
}

TEST_F(KernelUtils, QueryFallsBackToTheOlderRoutineWhenTheSystemLacksTheNewOne) {
  SetRegistryDword(kKey, u"Gamma", 3);
  Path key(kKey);
  ULONG value = 0;
  ResetRegistryQueryCallCounts();
  EXPECT_EQ(kvz::QueryRegistryDword(&key, "Gamma", &value), STATUS_SUCCESS);
  EXPECT_EQ(RegistryQueryCallCounts().ex, 1u);
  EXPECT_EQ(RegistryQueryCallCounts().plain, 0u);

  HideSystemRoutine(u"RtlQueryRegistryValuesEx");
  value = 0;
  EXPECT_EQ(kvz::QueryRegistryDword(&key, "Gamma", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 3u);
  EXPECT_EQ(RegistryQueryCallCounts().plain, 1u);
  EXPECT_EQ(RegistryQueryCallCounts().ex, 1u);
}

TEST_F(KernelUtils, StringValueIntoACountedString) {
  const std::u16string cpu = u"\\Registry\\MACHINE\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
  SetRegistryString(cpu, u"VendorIdentifier", u"AuthenticAMD");
  WCHAR buffer[32];
  UNICODE_STRING vendor{0, sizeof(buffer), buffer};
  EXPECT_EQ(kvz::QueryRegistryValue(cpu.c_str(), "VendorIdentifier", &vendor), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(vendor.Buffer, vendor.Length / 2), u"AuthenticAMD");
}

TEST_F(KernelUtils, WriteReportsTheWritesOwnFailure) {
  CreateRegistryKey(kKey);
  Path key(kKey);
  EXPECT_EQ(kvz::WriteRegistryDword(&key, "Hue", 12), STATUS_SUCCESS);
  EXPECT_EQ(GetRegistryValue(kKey, u"Hue")->Dword(), 12u);

  FailRegistryOperation(RegistryOperation::SetValue, STATUS_ACCESS_DENIED);
  EXPECT_EQ(kvz::WriteRegistryDword(&key, "Hue", 13), STATUS_ACCESS_DENIED) << "the flush after it succeeded";
  EXPECT_EQ(GetRegistryValue(kKey, u"Hue")->Dword(), 12u);

  FailRegistryOperation(RegistryOperation::Flush, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(kvz::WriteRegistryDword(&key, "Hue", 14), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(GetRegistryValue(kKey, u"Hue")->Dword(), 14u);

  Path missing(kKey + u"\\Missing");
  EXPECT_EQ(kvz::WriteRegistryDword(&missing, "Hue", 1), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_FALSE(RegistryKeyExists(kKey + u"\\Missing")) << "no key is created";
}

struct OptOutCase {
  const char16_t* imagePath;
  bool listed;
};

class RotationOptOut : public KernelUtils, public ::testing::WithParamInterface<OptOutCase> {};

TEST_P(RotationOptOut, LooksUpTheExecutableFileName) {
  const std::u16string rotation = u"\\Registry\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{cls}\\0000"
                                  u"\\RotationDisableParameters\\6.3";
  SetRegistryDword(rotation, u"camera.exe", 1);
  SetRegistryDword(rotation, u"other.exe", 0);
  SetRegistryString(rotation, u"text.exe", u"1");
  Path key(rotation);
  Path image(GetParam().imagePath);
  EXPECT_EQ(kvz::QueryRegistryParameters(&image, &key), GetParam().listed);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RotationOptOut,
    ::testing::Values(OptOutCase{u"\\Device\\HarddiskVolume2\\Apps\\camera.exe", true},
                      OptOutCase{u"C:\\Apps\\CAMERA.EXE", true},  // value names compare without case
                      OptOutCase{u"\\camera.exe", true},
                      OptOutCase{u"camera.exe", false},  // no backslash: never opted out
                      OptOutCase{u"", false},
                      OptOutCase{u"C:\\Apps\\", false},
                      OptOutCase{u"C:\\Apps\\other.exe", false},    // listed with 0
                      OptOutCase{u"C:\\Apps\\unlisted.exe", false},
                      OptOutCase{u"C:\\camera.exe\\text.exe", false}));  // not a DWORD

TEST_F(KernelUtils, KeyHandleReadsCheckTypeAndReportTheSize) {
  const std::u16string display = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Video\\{x}\\0000";
  SetRegistryDword(display, u"Attach.ToDesktop", 1);
  SetRegistryString(display, u"Name", u"abcdefgh");
  std::vector<uint8_t> big(300, 0x5A);
  SetRegistryBinary(display, u"Big", big);
  HANDLE key = nullptr;
  EXPECT_EQ(kvz::OpenRegistryKey((display + u"\\Nope").c_str(), &key), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  ASSERT_EQ(kvz::OpenRegistryKey(display.c_str(), &key), STATUS_SUCCESS);

  ULONG value = 0;
  EXPECT_TRUE(kvz::ReadRegistryDword(key, u"Attach.ToDesktop", &value));
  EXPECT_EQ(value, 1u);
  EXPECT_FALSE(kvz::ReadRegistryDword(key, u"Name", &value)) << "a string does not fit the word";
  EXPECT_FALSE(kvz::ReadRegistryDword(key, u"Missing", &value));

  UCHAR text[18];
  ULONG length = sizeof(text);
  EXPECT_EQ(kvz::QueryRegistryKeyValue(key, u"Name", REG_DWORD, text, &length), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(length, 18u);
  length = 4;
  EXPECT_EQ(kvz::QueryRegistryKeyValue(key, u"Name", REG_SZ, text, &length), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(length, 18u) << "the size the value needs";
  length = 0;
  EXPECT_EQ(kvz::QueryRegistryKeyValue(key, u"Missing", REG_SZ, text, &length), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(length, 0u);

  std::vector<uint8_t> out(300);
  length = 300;
  EXPECT_EQ(kvz::QueryRegistryKeyValue(key, u"Big", REG_BINARY, out.data(), &length), STATUS_SUCCESS);
  EXPECT_EQ(out, big);
  EXPECT_EQ(PoolStatsForTag('K0hG').allocations, 1u) << "a large value buffer comes from the pool";
  FailNthAllocation(1, 'K0hG');
  EXPECT_EQ(kvz::QueryRegistryKeyValue(key, u"Big", REG_BINARY, out.data(), &length), STATUS_INSUFFICIENT_RESOURCES);
  ZwClose(key);
}

std::vector<UCHAR> Convert(const std::vector<UCHAR>& yuy2, ULONG width, ULONG height, size_t guard = 8) {
  std::vector<UCHAR> out(width * height * 3 + guard, 0xEE);
  kvz::ConvertYuy2ToRgb24(yuy2.data(), out.data(), width, height);
  return out;
}

TEST(Yuy2ToRgb24, BlackWhiteAndClamping) {
  auto black = Convert({16, 128, 16, 128}, 2, 1, 0);
  EXPECT_EQ(black, (std::vector<UCHAR>{0, 0, 0, 0, 0, 0}));
  auto white = Convert({235, 128, 235, 128}, 2, 1, 0);
  EXPECT_EQ(white, (std::vector<UCHAR>(6, 255)));
  auto bright = Convert({255, 128, 255, 128}, 2, 1, 0);
  EXPECT_EQ(bright, (std::vector<UCHAR>(6, 255)));
  // Pure blue-ish chroma: U high gives blue above red; B, G, R order.
  auto blue = Convert({128, 255, 128, 128}, 2, 1, 0);
  EXPECT_EQ(blue[0], 255);
  EXPECT_EQ(blue[2], static_cast<UCHAR>((298 * 112 + 128) >> 8));
  EXPECT_EQ(blue[1], static_cast<UCHAR>((298 * 112 - 100 * 127 + 128) >> 8));
}

TEST(Yuy2ToRgb24, FirstSourceRowBecomesTheLastDestinationRow) {
  auto out = Convert({16, 128, 16, 128, 235, 128, 235, 128}, 2, 2, 0);
  EXPECT_EQ(out, (std::vector<UCHAR>{255, 255, 255, 255, 255, 255, 0, 0, 0, 0, 0, 0}));
}

TEST(Yuy2ToRgb24, OddWidthNeverWritesPastTheDestination) {
  // Three pixels per row: one pair and a last pixel with its luma and blue-difference byte.
  std::vector<UCHAR> source = {235, 128, 235, 128, 16, 128,  // row 0: white, white, black
                               16, 128, 16, 128, 235, 128};  // row 1: black, black, white
  auto out = Convert(source, 3, 2);
  for (size_t i = 18; i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << "guard byte " << i;
  EXPECT_EQ(std::vector<UCHAR>(out.begin(), out.begin() + 9), (std::vector<UCHAR>{0, 0, 0, 0, 0, 0, 255, 255, 255}));
  EXPECT_EQ(std::vector<UCHAR>(out.begin() + 9, out.begin() + 18),
            (std::vector<UCHAR>{255, 255, 255, 255, 255, 255, 0, 0, 0}));
  auto single = Convert({235, 128}, 1, 1);
  EXPECT_EQ(single[0], 255);
  EXPECT_EQ(single[3], 0xEE);
}

}  // namespace
