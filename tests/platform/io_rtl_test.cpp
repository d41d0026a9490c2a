#include <gtest/gtest.h>

#include <string>

#include "kernel_checks.h"
#include "ntstrsafe.h"
#include "wdm.h"

namespace {

TEST(RtlStrings, AnsiToUnicodeAllocatesAndFrees) {
  ANSI_STRING ansi;
  RtlInitAnsiString(&ansi, "Brightness");
  UNICODE_STRING wide{};
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(wide.Buffer), u"Brightness") << "terminated";
  EXPECT_EQ(wide.Length, 20);
  RtlFreeUnicodeString(&wide);
  EXPECT_EQ(wide.Buffer, nullptr);

  WCHAR small[4];
  UNICODE_STRING fixed{0, sizeof(small), small};
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&fixed, &ansi, FALSE), STATUS_BUFFER_OVERFLOW);
  EXPECT_CLEAN_UNLOAD();
}

TEST(RtlStrings, CompareAndCopy) {
  UNICODE_STRING a, b;
  RtlInitUnicodeString(&a, u"\\ZEMT");
  RtlInitUnicodeString(&b, u"\\zemt");
  EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
  EXPECT_LT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
  UNICODE_STRING longer;
  RtlInitUnicodeString(&longer, u"\\ZEMTX");
  EXPECT_LT(RtlCompareUnicodeString(&a, &longer, TRUE), 0);

  WCHAR buffer[6];
  UNICODE_STRING target{0, sizeof(buffer), buffer};
  RtlCopyUnicodeString(&target, &longer);
  EXPECT_EQ(target.Length, 12) << "cut to the room there is";
  target.Length = 0;
  EXPECT_EQ(RtlAppendUnicodeToString(&target, u"\\ZE"), STATUS_SUCCESS);
  EXPECT_EQ(RtlAppendUnicodeToString(&target, u"MTXY"), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(std::u16string(buffer, target.Length / 2), u"\\ZE");
}

TEST(RtlFormat, WideAndNarrowFormatsFollowWindowsConventions) {
  WCHAR path[200];
  EXPECT_EQ(RtlStringCbPrintfW(path, sizeof(path),
                               u"\\Registry\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\%ws\\RotationDisableParameters\\%d.%d",
                               u"{6bdd}\\0000", 6, 3),
            STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(path),
            u"\\Registry\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd}\\0000\\RotationDisableParameters\\6.3");
  WCHAR small[5];
  EXPECT_EQ(RtlStringCchPrintfW(small, 5, u"%s%s", u"abc", u"def"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::u16string(small), u"abcd");

  char text[64];
  LONG negative = -5;
  EXPECT_EQ(sprintf_s(text, sizeof(text), "Res = %d, %d | %X %08lx %ws %5s|%-3c|", 640, negative, 0xBEEFu, 0x12u,
                      u"wide", "ab", 'z'),
            45);
  EXPECT_STREQ(text, "Res = 640, -5 | BEEF 00000012 wide    ab|z  |");
  EXPECT_EQ(sprintf_s(text, 4, "%d", 12345), -1);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(_snprintf(text, 3, "%s", "abcdef"), -1);
  WCHAR w[16];
  EXPECT_EQ(swprintf_s(w, 16, u"\\Device\\Video%d", 2), 14);
  EXPECT_EQ(std::u16string(w), u"\\Device\\Video2");
}

TEST(RtlHelpers, WideStringFunctionsOnWchar) {
  const WCHAR* path = u"C:\\Apps\\camera.exe";
  EXPECT_EQ(wcslen(path), 18u);
  EXPECT_EQ(wcsrchr(path, u'\\'), path + 7);
  EXPECT_EQ(_wcsicmp(u"CAMERA.exe", u"camera.EXE"), 0);
  EXPECT_NE(wcsstr(path, u"Apps"), nullptr);
  EXPECT_EQ(RtlCompareMemory("abcd", "abXd", 4), 2u);
}

}  // namespace
