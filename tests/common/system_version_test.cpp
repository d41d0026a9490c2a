// The Windows version codes and the tests of the running system, over the versions the kernel
// stand-in reports.
#include <gtest/gtest.h>

#include "common/system_version.h"
#include "kvz/system_testing.h"

namespace kvz {
namespace {

using kvz::kernel::SystemVersion;
using kvz::kernel::SetSystemVersion;

struct CodeCase {
  kvz::kernel::SystemVersion version;
  int code;
  bool sevenOrEarlier;
};

class VersionTest : public ::testing::TestWithParam<CodeCase> {
 protected:
  void TearDown() override { kvz::kernel::SetSystemVersion(kvz::kernel::SystemVersion::Windows10(19045)); }
};

TEST_P(VersionTest, CodesAndTheWindows7Test) {
  kvz::kernel::SetSystemVersion(GetParam().version);
  EXPECT_EQ(GetParam().code, GetWindowsVersionCode());
  EXPECT_EQ(GetParam().sevenOrEarlier, IsWindows7OrEarlier());
}

INSTANTIATE_TEST_SUITE_P(Systems, VersionTest,
                         ::testing::Values(CodeCase{kvz::kernel::SystemVersion::WindowsXp(), 0, true},
                                           CodeCase{kvz::kernel::SystemVersion::Vista(), 4, true},
                                           CodeCase{kvz::kernel::SystemVersion::Windows7(), 5, true},
                                           CodeCase{kvz::kernel::SystemVersion::Windows8(), 6, false},
                                           CodeCase{kvz::kernel::SystemVersion::Windows81(), 6, false},
                                           CodeCase{kvz::kernel::SystemVersion::Windows10(10240), 10, false}));

struct VersionCase {
  SystemVersion version;
  bool expected;
};

class Build10587 : public ::testing::TestWithParam<VersionCase> {
 protected:
  void TearDown() override { SetSystemVersion(SystemVersion{}); }
};

TEST_P(Build10587, ComparesTheBuildOnlyOnWindows10) {
  SetSystemVersion(GetParam().version);
  EXPECT_EQ(kvz::IsWindows10Build10587OrLater(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Versions, Build10587,
                         ::testing::Values(VersionCase{SystemVersion::Windows10(10240), false},
                                           VersionCase{SystemVersion::Windows10(10586), false},
                                           VersionCase{SystemVersion::Windows10(10587), true},
                                           VersionCase{SystemVersion::Windows10(19045), true},
                                           VersionCase{SystemVersion{10, 1, 100}, true},
                                           VersionCase{SystemVersion{11, 0, 0}, true},
                                           VersionCase{SystemVersion::Windows81(), false},
                                           VersionCase{SystemVersion::WindowsXp(), false}));

}  // namespace
}  // namespace kvz
