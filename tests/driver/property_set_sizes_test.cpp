// What every set answers to a size query and to a default-values request through the client.
#include <cstring>

#include "control_bench.h"
#include "driver/controls/private_control_handler.h"
#include "driver/controls/region_control_handler.h"
#include "ksmedia.h"

namespace kvz::drivertest {
namespace {

using PropertySets = ControlBench;

TEST_F(PropertySets, SizeQueriesAnswerEachSetsDataSize) {
  Start();
  struct Case {
    const char* what;
    GUID set;
    ULONG id;
    ULONG_PTR size;
  };
  const Case cases[] = {
      {"camera control", PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE, 40},
      {"video procamp", PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAMMA, 40},
      {"private", PROPSETID_KVZ_PRIVATE, 4, 104},
      {"region", PROPSETID_KVZ_REGION, 0, 32},
      {"vendor unit identity", DriverGuids().vendorUnit, 0, 25},
      {"vendor unit window", DriverGuids().vendorUnit, 27, 15},
  };
  for (const Case& c : cases) {
    KSPROPERTY property{};
    property.Set = c.set;
    property.Id = c.id;
    property.Flags = KSPROPERTY_TYPE_GET;
    uint8_t request[104] = {};
    memcpy(request, &property, sizeof(property));
    const ULONG requestSize = c.size == 104 ? 104 : sizeof(property);
    ULONG_PTR returned = 0;
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, filter_->Property(request, requestSize, nullptr, 0, &returned)) << c.what;
    EXPECT_EQ(c.size, returned) << c.what;
  }
}

TEST_F(PropertySets, DefaultValuesComeFromTheCameraOrTheDriver) {
  Start();
  struct Case {
    GUID set;
    ULONG id;
    LONG defaultValue;
  };
  // Camera defaults: saturation 64, exposure 156 (-6 in logarithmic form); the driver's own:
  // zoom 10, power line forced to 1, colour enable 1, privacy 0.
  const Case cases[] = {{PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SATURATION, 64},
                        {PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE, -6},
                        {PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_ZOOM, 10},
                        {PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY, 1},
                        {PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_COLORENABLE, 1},
                        {PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_PRIVACY, 0}};
  for (const Case& c : cases) {
    ksclient::Bytes description;
    ASSERT_EQ(STATUS_SUCCESS, filter_->DefaultValues(c.set, c.id, &description)) << c.id;
    const size_t at = sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER);
    ASSERT_EQ(at + sizeof(LONG), description.size()) << c.id;
    LONG value = 0;
    memcpy(&value, description.data() + at, sizeof(value));
    EXPECT_EQ(c.defaultValue, value) << c.id;
  }
}

}  // namespace
}  // namespace kvz::drivertest
