// Display keys, the orientation they give with the user's rotation, and the per-client opt-out,
// over the registry stand-in and a calling process of the test's choosing.
#include <gtest/gtest.h>

#include <string>

#include "driver/settings/device_settings.h"
#include "driver/pins/display_orientation.h"
#include "kernel_checks.h"
#include "kvz/io_testing.h"
#include "kvz/registry_testing.h"
#include "kvz/system_testing.h"

namespace kvz {
namespace {

using namespace kvz::kernel;

const std::u16string kMap = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\VIDEO";
const std::u16string kControl = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Video\\";
const std::u16string kProfile =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Hardware Profiles\\UnitedVideo\\CONTROL\\VIDEO\\";

class DisplayOrientationTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetRegistry(); }
  void TearDown() override {
    ResetRegistry();
    SetSystemVersion(SystemVersion{});
    EXPECT_CLEAN_UNLOAD();
  }
  // Display n: its device-map entry and, when given, its profile key with the two values.
  void AddDisplay(int n, const std::u16string& key, bool profile, ULONG attached, ULONG orientation) {
    std::u16string name = u"\\Device\\Video" + std::u16string(1, static_cast<char16_t>(u'0' + n));
    SetRegistryString(kMap, name, kControl + key);
    if (!profile) return;
    SetRegistryDword(kProfile + key, u"Attach.ToDesktop", attached);
    SetRegistryDword(kProfile + key, u"DefaultSettings.Orientation", orientation);
  }
};

TEST_F(DisplayOrientationTest, FirstAttachedDisplayTurnedAgainstTheUsersRotation) {
  SetRegistryDword(kMap, u"MaxObjectNumber", 3);
  AddDisplay(0, u"{A}\\0001", true, 1, 3);  // not a "0000" key: never read
  AddDisplay(1, u"{B}\\0000", true, 0, 2);  // not on the desktop
  AddDisplay(2, u"{C}\\0000", false, 0, 0);  // no profile key
  AddDisplay(3, u"{D}\\0000", true, 1, 1);
  DisplayPaths paths{};
  CollectDisplayPaths(&paths);
  ASSERT_EQ(2, paths.Count);
  const struct {
    LONG rotation, expected;
  } cases[] = {{0, 1}, {1, 0}, {2, 3}, {3, 2}};
  for (const auto& c : cases) EXPECT_EQ(c.expected, LookUpDisplayOrientation(&paths, c.rotation)) << c.rotation;
}

TEST_F(DisplayOrientationTest, DamagedMapsAreReadWithinBounds) {
  // A count far past the displays, and a value that fills its whole buffer without a terminator.
  SetRegistryDword(kMap, u"MaxObjectNumber", 0x7FFFFFFF);
  SetRegistryString(kMap, u"\\Device\\Video0", std::u16string(300, u'x') + u"0000");
  AddDisplay(1, u"{D}\\0000", true, 1, 2);
  DisplayPaths paths{};
  CollectDisplayPaths(&paths);
  EXPECT_EQ(1, paths.Count);
  EXPECT_EQ(2, LookUpDisplayOrientation(&paths, 0));

  SetRegistryString(kMap, u"MaxObjectNumber", u"5");
  DisplayPaths untouched{};
  untouched.Count = 7;
  CollectDisplayPaths(&untouched);
  EXPECT_EQ(7, untouched.Count);
}

struct OptOutCase {
  const char* name;
  SystemVersion version;
  const char16_t* desktop;
  const char16_t* image;
  bool listed;
  LONG expected;
};

class RotationOptOutTest : public DisplayOrientationTest, public ::testing::WithParamInterface<OptOutCase> {};

TEST_P(RotationOptOutTest, DecidedFromSystemDesktopAndImage) {
  SetSystemVersion(GetParam().version);
  DeviceSettings settings;
  settings.BuildRegistryPaths(u"{cls}\\0000");
  const std::u16string key(reinterpret_cast<const char16_t*>(settings.RotationKey()->Buffer),
                           settings.RotationKey()->Length / 2);
  if (GetParam().listed) {
    SetRegistryDword(key, u"client.exe", 1);
  } else {
    // Listed by name, but not as a DWORD.
    SetRegistryString(key, u"client.exe", u"1");
  }
  ProcessIdentity identity;
  identity.desktop = GetParam().desktop;
  identity.imagePath = GetParam().image;
  ProcessScope scope(identity);
  EXPECT_EQ(GetParam().expected, DecideRotationOptOut(&settings, 5));
}

const char16_t kClient[] = u"\\Device\\HarddiskVolume2\\Apps\\client.exe";

INSTANTIATE_TEST_SUITE_P(
    Systems, RotationOptOutTest,
    ::testing::Values(OptOutCase{"Windows7KeepsIt", SystemVersion::Windows7(), u"Other\\Desk", kClient, true, 5},
                      OptOutCase{"Build10587Always", SystemVersion::Windows10(10587), u"WinSta0\\Default", kClient,
                                 false, 1},
                      OptOutCase{"Windows8OtherDesktop", SystemVersion::Windows8(), u"Service\\Desk", kClient, false, 1},
                      OptOutCase{"Windows8Listed", SystemVersion::Windows81(), u"winsta0\\default", kClient, true, 1},
                      OptOutCase{"Windows8ListedAsText", SystemVersion::Windows8(), u"WinSta0\\Default", kClient,
                                 false, 0},
                      OptOutCase{"Build10240PathWithoutFileName", SystemVersion::Windows10(10240),
                                 u"WinSta0\\Default", u"\\Device\\HarddiskVolume2\\Apps\\", true, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvz
