#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "kernel_checks.h"
#include "kvz/system_testing.h"
#include "wdm.h"

namespace {

using namespace kvz::kernel;

class SystemRootFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = ::testing::TempDir() + "kvz_sysroot_platform";
    std::filesystem::create_directories(folder_ + "/Sub");
    std::ofstream(folder_ + "/PptCfg.cfg", std::ios::binary) << "0123456789";
    std::ofstream(folder_ + "/Sub/ZQGarland.BMP", std::ios::binary) << "BM";
    SetSystemRootFolder(folder_);
  }
  void TearDown() override {
    SetSystemRootFolder("");
    std::filesystem::remove_all(folder_);
    EXPECT_CLEAN_UNLOAD();
  }
  NTSTATUS Open(const char16_t* path, HANDLE* handle, ULONG disposition = FILE_OPEN) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    return ZwCreateFile(handle, GENERIC_READ, &oa, &iosb, nullptr, 0, FILE_SHARE_READ, disposition,
                        FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  }
  std::string folder_;
};

TEST_F(SystemRootFiles, NamesMatchWithoutCaseAndReadsEndWithEndOfFile) {
  HANDLE file = nullptr;
  ASSERT_EQ(Open(u"\\SystemRoot\\PPTCFG.CFG", &file), STATUS_SUCCESS);
  FILE_STANDARD_INFORMATION info{};
  IO_STATUS_BLOCK iosb{};
  EXPECT_EQ(ZwQueryInformationFile(file, &iosb, &info, sizeof(info), FileStandardInformation), STATUS_SUCCESS);
  EXPECT_EQ(info.EndOfFile.QuadPart, 10);
  char buffer[8];
  EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, 6, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 6u);
  EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, 6, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 4u);
  EXPECT_EQ(std::string(buffer, 4), "6789");
  EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, 6, nullptr, nullptr), STATUS_END_OF_FILE);
  EXPECT_EQ(iosb.Status, STATUS_END_OF_FILE);
  EXPECT_EQ(iosb.Information, 0u);
  LARGE_INTEGER at;
  at.QuadPart = 2;
  EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, 2, &at, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, 2), "23");
  EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);

  ASSERT_EQ(Open(u"\\systemroot\\sub\\zqgarland.bmp", &file), STATUS_SUCCESS);
  ZwClose(file);
}

TEST_F(SystemRootFiles, MissingNamesAndOtherRootsFail) {
  HANDLE file = nullptr;
  EXPECT_EQ(Open(u"\\SystemRoot\\FORMAT.CFG", &file), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Open(u"\\SystemRoot\\Nope\\FORMAT.CFG", &file), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Open(u"\\SystemRoot\\..\\etc\\passwd", &file), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Open(u"\\??\\C:\\Windows\\PPTCFG.CFG", &file), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Open(u"\\SystemRoot\\PPTCFG.CFG", &file, FILE_OVERWRITE_IF), STATUS_ACCESS_DENIED) << "read-only";
  EXPECT_EQ(file, nullptr);
}

struct VersionCase {
  SystemVersion version;
  ULONG ntddi;
  bool win8Available;
};

class SystemVersions : public ::testing::TestWithParam<VersionCase> {
 protected:
  void TearDown() override { SetSystemVersion(SystemVersion{}); }
};

TEST_P(SystemVersions, GetVersionAndDdiAvailability) {
  SetSystemVersion(GetParam().version);
  RTL_OSVERSIONINFOEXW ex{};
  ex.dwOSVersionInfoSize = sizeof(ex);
  ASSERT_EQ(RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&ex)), STATUS_SUCCESS);
  EXPECT_EQ(ex.dwMajorVersion, GetParam().version.major);
  EXPECT_EQ(ex.dwMinorVersion, GetParam().version.minor);
  EXPECT_EQ(ex.dwBuildNumber, GetParam().version.build);
  EXPECT_EQ(ex.wServicePackMajor, GetParam().version.servicePackMajor);
  EXPECT_EQ(NtddiOf(GetParam().version), GetParam().ntddi);
  EXPECT_TRUE(RtlIsNtDdiVersionAvailable(GetParam().ntddi));
  EXPECT_FALSE(RtlIsNtDdiVersionAvailable(GetParam().ntddi + 1));
  EXPECT_EQ(RtlIsNtDdiVersionAvailable(NTDDI_WIN8) != FALSE, GetParam().win8Available);
}

INSTANTIATE_TEST_SUITE_P(
    Systems, SystemVersions,
    ::testing::Values(VersionCase{SystemVersion::WindowsXp(), NTDDI_WINXPSP3, false},
                      VersionCase{SystemVersion::Vista(), NTDDI_VISTASP2, false},
                      VersionCase{SystemVersion::Windows7(), 0x06010100, false},
                      VersionCase{SystemVersion::Windows8(), NTDDI_WIN8, true},
                      VersionCase{SystemVersion::Windows81(), NTDDI_WINBLUE, true},
                      VersionCase{SystemVersion::Windows10(10240), NTDDI_WIN10, true},
                      VersionCase{SystemVersion::Windows10(10586), NTDDI_WIN10_TH2, true},
                      VersionCase{SystemVersion::Windows10(19045), NTDDI_WIN10_VB, true}));

TEST(SystemVersion, BaseRecordLeavesTheExtendedFieldsAlone) {
  SetSystemVersion(SystemVersion::Windows7());
  RTL_OSVERSIONINFOEXW ex{};
  ex.dwOSVersionInfoSize = sizeof(RTL_OSVERSIONINFOW);
  ex.wServicePackMajor = 77;
  EXPECT_EQ(RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&ex)), STATUS_SUCCESS);
  EXPECT_EQ(ex.dwMinorVersion, 1u);
  EXPECT_EQ(ex.wServicePackMajor, 77);
  EXPECT_EQ(std::u16string(ex.szCSDVersion), u"Service Pack 1");
  SetSystemVersion(SystemVersion{});
}

}  // namespace
