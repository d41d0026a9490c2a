// The private settings set through the client: what is stored, clamped, masked and persisted,
// the two texts, and outdoor mode's power-line request.
#include <cstring>
#include <vector>

#include "control_bench.h"
#include "driver/controls/private_control_handler.h"
#include "uvc.h"

namespace kvz::drivertest {
namespace {

struct PrivateData {
  KSPROPERTY property;
  uint8_t unused[4];
  LONG value;
  LONGLONG maximum, minimum, step, defaultValue, flags, capabilities;
  uint8_t tail[24];
};
static_assert(sizeof(PrivateData) == 104, "the private set's data");

class PrivateSettings : public ControlBench {
 protected:
  NTSTATUS Get(ULONG id, PrivateData* data, const PrivateData* sent = nullptr) {
    return Request(id, KSPROPERTY_TYPE_GET, data, sent);
  }
  NTSTATUS Set(ULONG id, PrivateData* data) { return Request(id, KSPROPERTY_TYPE_SET, data); }
  NTSTATUS SetValue(ULONG id, LONG value) {
    PrivateData data{};
    data.value = value;
    return Set(id, &data);
  }

 private:
  NTSTATUS Request(ULONG id, ULONG flags, PrivateData* data, const PrivateData* sent = nullptr) {
    PrivateData request = sent ? *sent : PrivateData{};
    request.property.Set = PROPSETID_KVZ_PRIVATE;
    request.property.Id = id;
    request.property.Flags = flags;
    data->property = request.property;
    return filter_->Property(&request, sizeof(request), data, sizeof(*data));
  }
};

TEST_F(PrivateSettings, StoredValuesAreClampedMaskedAndPersisted) {
  Start();
  struct Case {
    ULONG id;
    LONG value;
    LONG stored;
    const char16_t* name;  // the registry value written at once
  };
  const Case cases[] = {{7, 6, 2, u"Rotation"},      {17, 300, 255, u"Wb_G"},      {16, -5, 0, u"Wb_R"},
                        {18, 256, 255, u"Wb_B"},      {18, 255, 255, u"Wb_B"},      {16, -1, 0, u"Wb_R"},
                        {4, 99, 99, u"ZoomScale"},    {5, -40, -40, u"PanUpDownSize"}, {20, 2, 2, u"ImageQuality"},
                        {22, 1, 1, u"4KPanel"},       {0, 1, 1, u"HFlip"},          {1, 1, 1, u"VFlip"}};
  for (const Case& c : cases) {
    ASSERT_EQ(STATUS_SUCCESS, SetValue(c.id, c.value)) << c.id;
    EXPECT_EQ(static_cast<uint32_t>(c.stored), Stored(c.name)) << c.id;
    if (c.id == 22) continue;  // panel mode is write-only
    PrivateData data{};
    ASSERT_EQ(STATUS_SUCCESS, Get(c.id, &data)) << c.id;
    EXPECT_EQ(c.stored, data.value) << c.id;
  }
}

TEST_F(PrivateSettings, GetsDescribeRangesAndTexts) {
  Start();
  PrivateData data{};
  ASSERT_EQ(STATUS_SUCCESS, Get(16, &data));
  EXPECT_EQ(128, data.value);
  EXPECT_EQ(255, data.maximum);
  EXPECT_EQ(256, data.step);
  EXPECT_EQ(3, data.capabilities);

  ASSERT_EQ(STATUS_SUCCESS, Get(15, &data));
  EXPECT_STREQ("Fenr5517k.ini", reinterpret_cast<const char*>(&data) + 32);
  ASSERT_EQ(STATUS_SUCCESS, Get(14, &data));
  EXPECT_STREQ("\\Registry\\MACHINE\\SOFTWARE\\TQ5517K\\CONTROLSAVE", reinterpret_cast<const char*>(&data) + 32);

  ASSERT_EQ(STATUS_SUCCESS, Get(22, &data));
  EXPECT_EQ(STATUS_NOT_SUPPORTED, Get(2, &data));

  // The 104 bytes answered are the caller's request where an item answers no field, never pool.
  PrivateData sent{};
  sent.maximum = 77;
  memset(sent.tail, 0x3C, sizeof(sent.tail));
  ASSERT_EQ(STATUS_SUCCESS, Get(13, &data, &sent));
  EXPECT_EQ(0, data.value);
  EXPECT_EQ(77, data.maximum);
  EXPECT_EQ(std::vector<uint8_t>(sizeof(sent.tail), 0x3C), std::vector<uint8_t>(data.tail, data.tail + sizeof(data.tail)));
  EXPECT_EQ(STATUS_NOT_SUPPORTED, SetValue(8, 1));
}

TEST_F(PrivateSettings, OutdoorModeSetsThePowerLineControl) {
  Store(u"Powerline_Frequency", 0);
  Store(u"FlickerDetectValue", 2);
  Start();
  const uint16_t powerLine = PU_POWER_LINE_FREQUENCY_CONTROL << 8;
  ClearRequests();
  ASSERT_EQ(STATUS_SUCCESS, SetValue(13, 1));
  ASSERT_EQ(STATUS_SUCCESS, SetValue(13, 0));
  const auto sent = Sets(powerLine, 0x0200);
  ASSERT_EQ(2u, sent.size());
  EXPECT_EQ(0, sent[0].data.at(0));
  EXPECT_EQ(2, sent[1].data.at(0));
  EXPECT_EQ(2, Probe().redetectRequests);
  EXPECT_EQ(0u, Stored(u"OutDoor"));
}

}  // namespace
}  // namespace kvz::drivertest
