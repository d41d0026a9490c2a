// The configuration-file reader over files in the system root: line ends, section and key
// matching, value limits, and the typed readers' sanitised results.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "driver/settings/config_file.h"
#include "driver/pins/format_table_builder.h"
#include "common/file_access.h"
#include "kvz/kernel_testing.h"
#include "kvz/system_testing.h"

namespace kvz {
namespace {

const WCHAR kPath[] = u"\\SystemRoot\\FORMAT.CFG";

class ConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = ::testing::TempDir() + "kvz_cfg_" + std::to_string(getpid());
    std::filesystem::create_directories(folder_);
    kernel::SetSystemRootFolder(folder_);
  }
  void TearDown() override {
    kernel::SetSystemRootFolder("");
    std::filesystem::remove_all(folder_);
    kernel::UnloadReport report = kernel::CheckUnload();
    EXPECT_TRUE(report.clean) << report.text;
  }
  void Write(const std::string& text) { std::ofstream(folder_ + "/format.cfg", std::ios::binary) << text; }
  NTSTATUS Read(const char* section, const char* key, LONG* value) { return ReadConfigInt(section, key, value, kPath); }

  std::string folder_;
};

struct LookupCase {
  const char* name;
  std::string file;
  const char* section;
  const char* key;
  NTSTATUS status;
  LONG value;
};

class ConfigLookupTest : public ConfigFileTest, public ::testing::WithParamInterface<LookupCase> {};

TEST_P(ConfigLookupTest, FindsTheKeyOfTheSection) {
  const LookupCase& c = GetParam();
  Write(c.file);
  LONG value = 77;
  EXPECT_EQ(c.status, Read(c.section, c.key, &value));
  EXPECT_EQ(c.value, value);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ConfigLookupTest,
    ::testing::Values(
        LookupCase{"Found", "[A]\r\nX=1\r\n[OUTPUT_FORMAT]\r\nRGB24=12\r\n", "[OUTPUT_FORMAT]", "RGB24", STATUS_SUCCESS, 12},
        LookupCase{"LastLineWithoutLineEnd", "[OUTPUT_FORMAT]\r\nYUY2=3", "[OUTPUT_FORMAT]", "YUY2", STATUS_SUCCESS, 3},
        LookupCase{"TrailingTextIgnored", "[S]\r\nK=42abc\r\n", "[S]", "K", STATUS_SUCCESS, 42},
        LookupCase{"NotANumber", "[S]\r\nK=abc\r\n", "[S]", "K", STATUS_SUCCESS, 0},
        LookupCase{"FourteenDigitsSaturate", "[S]\r\nK=12345678901234\r\n", "[S]", "K", STATUS_SUCCESS, 0x7FFFFFFF},
        LookupCase{"NegativeSaturates", "[S]\r\nK=-1234567890123\r\n", "[S]", "K", STATUS_SUCCESS, -0x7FFFFFFF - 1},
        LookupCase{"FifteenCharacterValue", "[S]\r\nK=123456789012345\r\n", "[S]", "K", STATUS_BUFFER_TOO_SMALL, 0},
        LookupCase{"BlanksAroundEquals", "[S]\r\nK = 1\r\n", "[S]", "K", STATUS_END_OF_FILE, 0},
        LookupCase{"HeaderWithTrailingBlank", "[S] \r\nK=1\r\n", "[S]", "K", STATUS_END_OF_FILE, 0},
        LookupCase{"LfOnlyFileFindsNoSection", "[S]\nK=1\n", "[S]", "K", STATUS_END_OF_FILE, 0},
        LookupCase{"KeyOnlyInASecondCopy", "[S]\r\nA=1\r\n[T]\r\n[S]\r\nK=5\r\n", "[S]", "K", STATUS_NOT_FOUND, 0},
        LookupCase{"OverlongLineBeforeTheKey", "[S]\r\n" + std::string(300, 'x') + "\r\nK=1\r\n", "[S]", "K",
                   STATUS_BUFFER_TOO_SMALL, 0},
        LookupCase{"EmptyKeyMatchesOnlyALeadingEquals", "[S]\r\nK=1\r\n=9\r\n", "[S]", "", STATUS_SUCCESS, 9}),
    [](const ::testing::TestParamInfo<LookupCase>& info) { return std::string(info.param.name); });

TEST_F(ConfigFileTest, NotFoundIsTheRealStatus) { EXPECT_EQ(static_cast<NTSTATUS>(0xC0000225), STATUS_NOT_FOUND); }

TEST_F(ConfigFileTest, MissingFileFailsAndLeavesTheFlag) {
  LONG flag = 5;
  EXPECT_FALSE(NT_SUCCESS(ReadOutputFormatFlag(kPath, kConfigRgb24, &flag)));
  EXPECT_EQ(5, flag);
}

TEST_F(ConfigFileTest, LfOnlyLineOfTheFullLengthIsTerminated) {
  Write(std::string(255, 'a') + "\n" + std::string(256, 'b') + "\n");
  HANDLE file = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, OpenFileByPath(kPath, &file));
  CHAR line[kConfigLineLength + 1];
  std::memset(line, 'Z', sizeof(line));
  EXPECT_EQ(STATUS_SUCCESS, ReadConfigLine(file, line, kConfigLineLength));
  EXPECT_EQ(256u, std::strlen(line));
  EXPECT_EQ('\n', line[255]);
  std::memset(line, 'Z', sizeof(line));
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, ReadConfigLine(file, line, kConfigLineLength));
  EXPECT_EQ(256u, std::strlen(line));
  CloseFileHandle(file);
}

TEST_F(ConfigFileTest, NegativeCountReadsAsNone) {
  Write("[INTERPOSITION_RGB24]\r\nCOUNT=-1\r\n");
  ULONG count = 9;
  EXPECT_EQ(STATUS_SUCCESS, ReadInterpositionCount(kPath, kConfigRgb24, &count));
  EXPECT_EQ(0u, count);
}

struct EntryCase {
  const char* name;
  std::string keys;
  NTSTATUS status;
  USHORT width;
  USHORT height;
  ULONG interval;
};

class InterpositionEntryTest : public ConfigFileTest, public ::testing::WithParamInterface<EntryCase> {};

TEST_P(InterpositionEntryTest, SizesAndRateAreSanitised) {
  const EntryCase& c = GetParam();
  Write("[INTERPOSITION_YUY2_3]\r\n" + c.keys);
  ULONG intervals[1] = {0xDEAD};
  FrameEntry entry = {};
  entry.Intervals = intervals;
  EXPECT_EQ(c.status, ReadInterpositionEntry(kPath, kConfigYuy2, &entry, 3));
  if (NT_SUCCESS(c.status)) {
    EXPECT_EQ(c.width, entry.Width);
    EXPECT_EQ(c.height, entry.Height);
    EXPECT_EQ(c.interval, intervals[0]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Entries, InterpositionEntryTest,
    ::testing::Values(EntryCase{"ThirtyFps", "WIDTH=800\r\nHEIGHT=600\r\nFRAMERATE=30\r\n", STATUS_SUCCESS, 800, 600, 333333},
                      EntryCase{"NoRate", "WIDTH=800\r\nHEIGHT=600\r\n", STATUS_SUCCESS, 800, 600, 0},
                      EntryCase{"NegativeRate", "WIDTH=800\r\nHEIGHT=600\r\nFRAMERATE=-5\r\n", STATUS_SUCCESS, 800, 600, 0},
                      EntryCase{"OddWidth", "WIDTH=801\r\nHEIGHT=600\r\n", STATUS_INVALID_PARAMETER, 0, 0, 0},
                      EntryCase{"OddHeight", "WIDTH=800\r\nHEIGHT=601\r\n", STATUS_INVALID_PARAMETER, 0, 0, 0},
                      EntryCase{"LargestEvenSides", "WIDTH=65534\r\nHEIGHT=65534\r\n", STATUS_SUCCESS, 65534, 65534, 0},
                      EntryCase{"TallerThan16Bits", "WIDTH=800\r\nHEIGHT=65536\r\n", STATUS_INVALID_PARAMETER, 0, 0, 0},
                      EntryCase{"ZeroHeight", "WIDTH=800\r\nHEIGHT=0\r\n", STATUS_INVALID_PARAMETER, 0, 0, 0},
                      EntryCase{"NegativeWidth", "WIDTH=-800\r\nHEIGHT=600\r\n", STATUS_INVALID_PARAMETER, 0, 0, 0},
                      EntryCase{"WiderThan16Bits", "WIDTH=65536\r\nHEIGHT=600\r\n", STATUS_INVALID_PARAMETER, 0, 0, 0},
                      EntryCase{"MissingWidth", "HEIGHT=600\r\n", STATUS_END_OF_FILE, 0, 0, 0}),
    [](const ::testing::TestParamInfo<EntryCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvz
