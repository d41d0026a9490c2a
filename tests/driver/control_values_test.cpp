// Exposure conversions and an extension unit's identity, without a camera.
#include <gtest/gtest.h>

#include "driver/controls/exposure_conversion.h"
#include "driver/controls/extension_unit_handler.h"
#include "kernel_checks.h"
#include "uvcmodel/uvc_model.h"

namespace kvz {
namespace {

struct ExposureCase {
  USHORT time;
  LONG log;
};

// Step edges of the logarithmic scale; times of 32768 and more are long exposures, not negative.
TEST(ExposureConversion, TimeToLogAtStepEdges) {
  const ExposureCase cases[] = {{0, -14}, {1, -13}, {2, -12}, {3, -11}, {5, -11}, {6, -10}, {13, -10},
                                {14, -9}, {23, -9}, {24, -8}, {7519, -1}, {7520, 0}, {32768, 0}, {65535, 0}};
  for (const ExposureCase& c : cases) EXPECT_EQ(c.log, ExposureTimeToLog(c.time)) << c.time;
}

TEST(ExposureConversion, LogToTimeOutsideTheScaleIsZero) {
  const ExposureCase cases[] = {{10000, 0}, {20, -9}, {10, -10}, {5, -11}, {1, -13}, {0, -14}, {0, 1}, {0, -100}};
  for (const ExposureCase& c : cases) EXPECT_EQ(c.time, ExposureLogToTime(c.log)) << c.log;
}

class PropertyItems : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_CLEAN_UNLOAD(); }
};

// An extension unit descriptor cut short keeps its identity inside the bytes it has.
TEST_F(PropertyItems, ShortExtensionUnitIdentityIsZeroFilled) {
  UCHAR unit[26] = {26, 0x24, 0x06, 4};
  for (int i = 4; i < 26; ++i) unit[i] = static_cast<UCHAR>(0xA0 + i);
  UvcUnit model = {};
  model.Kind = kUvcExtensionUnit;
  model.Id = unit[3];
  model.Descriptor = unit;
  model.Length = sizeof(unit);
  ExtensionUnitHandler handler(model, nullptr);
  UCHAR identity[25];
  memset(identity, 0xEE, sizeof(identity));
  ASSERT_EQ(STATUS_SUCCESS, ReadExtensionControl(&handler, 0, identity, sizeof(identity), 0));
  for (int i = 0; i < 22; ++i) EXPECT_EQ(0xA4 + i, identity[i]) << i;
  for (int i = 22; i < 25; ++i) EXPECT_EQ(0, identity[i]) << i;
  UCHAR small[24];
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, ReadExtensionControl(&handler, 0, small, sizeof(small), 0));
}

}  // namespace
}  // namespace kvz
