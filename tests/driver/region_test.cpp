// The region-of-interest set through the client: what reaches the face-region exposure, the
// answer layout, and the event raised from a work item, which a closing filter drains.
#include <climits>
#include <cstring>

#include "control_bench.h"
#include "driver/controls/region_control_handler.h"
#include "kvz/kernel_testing.h"
#include "kvz/worker_queue.h"

namespace kvz::drivertest {
namespace {

class Region : public ControlBench {
 protected:
  NTSTATUS Send(ULONG flags, void* data, ULONG size, ULONG_PTR* returned = nullptr) {
    KSPROPERTY property{};
    property.Set = PROPSETID_KVZ_REGION;
    property.Id = 0;
    property.Flags = flags;
    return filter_->Property(&property, sizeof(property), data, size, returned);
  }
  NTSTATUS SetRect(RegionRect rect) {
    uint8_t data[32] = {};
    memcpy(data, &rect, sizeof(rect));
    return Send(KSPROPERTY_TYPE_SET, data, sizeof(data));
  }
};

bool Same(const RegionRect& a, const RegionRect& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

TEST_F(Region, NotSupportedUntilTheSettingsAreLoaded) {
  Probe().loadAtStart = false;
  Start();
  uint8_t data[32] = {};
  EXPECT_EQ(STATUS_NOT_SUPPORTED, Send(KSPROPERTY_TYPE_GET, data, sizeof(data)));
  EXPECT_EQ(STATUS_NOT_SUPPORTED, SetRect({10, 10, 400, 300}));
}

// Narrow rectangles clear the face window; the span is taken in 64 bits, so a huge rectangle
// is never mistaken for a narrow one.
TEST_F(Region, TooNarrowRectanglesClearTheFaceWindow) {
  Start();
  struct Case {
    LONG width;
    RegionRect rect;
    bool passed;
  };
  const Case cases[] = {{1280, {100, 50, 250, 200}, false},         {1280, {100, 50, 251, 200}, true},
                        {640, {100, 50, 180, 200}, false},          {640, {100, 50, 181, 200}, true},
                        {640, {0, 0, 0, 0}, true},                  {640, {-2000000000, 1, 2000000000, 2}, true}};
  for (const Case& c : cases) {
    Probe().frameWidth = c.width;
    ASSERT_EQ(STATUS_SUCCESS, SetRect(c.rect));
    const RegionRect got = Probe().FaceRectangles().back();
    EXPECT_TRUE(Same(c.passed ? c.rect : RegionRect{}, got)) << c.rect.left << " " << c.rect.right;
  }
  EXPECT_EQ(kFaceWorkExposure, Probe().faceRequestFlags & kFaceWorkExposure);

  // A get answers the rectangle as the client sent it, even one too narrow to pass on.
  Probe().frameWidth = 640;
  ASSERT_EQ(STATUS_SUCCESS, SetRect({1, 2, 30, 40}));
  Probe().faceRequestFlags |= kFaceWorkDetect;
  uint8_t data[32];
  memset(data, 0xEE, sizeof(data));
  ULONG_PTR returned = 0;
  ASSERT_EQ(STATUS_SUCCESS, Send(KSPROPERTY_TYPE_GET, data, sizeof(data), &returned));
  EXPECT_EQ(32u, returned);
  RegionRect rect;
  memcpy(&rect, data, sizeof(rect));
  EXPECT_TRUE(Same(RegionRect{1, 2, 30, 40}, rect));
  for (int i = 16; i < 28; ++i) EXPECT_EQ(0, data[i]);
  uint32_t tag = 0;
  memcpy(&tag, data + 28, 4);
  EXPECT_EQ(0x80000603u, tag);
  EXPECT_EQ(0, Probe().faceRequestFlags & kFaceWorkDetect);
}

TEST_F(Region, SizeChecks) {
  Start();
  ULONG_PTR returned = 0;
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, Send(KSPROPERTY_TYPE_GET, nullptr, 0, &returned));
  EXPECT_EQ(32u, returned);
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, Send(KSPROPERTY_TYPE_SET, nullptr, 0, &returned));
  uint8_t data[16] = {};
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Send(KSPROPERTY_TYPE_GET, data, sizeof(data)));
}

TEST_F(Region, SetRaisesTheEventForOpenFilters) {
  Start();
  ksclient::ClientEvent event;
  KSEVENTDATA eventData;
  ASSERT_EQ(STATUS_SUCCESS, filter_->EnableEvent(EVENTSETID_KVZ_REGION, 0, event, &eventData));
  ASSERT_EQ(STATUS_SUCCESS, SetRect({100, 100, 400, 300}));
  EXPECT_TRUE(event.Wait(10000000));

  // With no filter holding the device busy the window still moves, but no event is raised.
  event.Reset();
  Probe().openFilters = 0;
  ASSERT_EQ(STATUS_SUCCESS, SetRect({100, 100, 500, 300}));
  kernel::RunUntilIdle();
  EXPECT_FALSE(event.Wait(10000000));
  EXPECT_EQ(2u, Probe().FaceRectangles().size());
  Probe().openFilters = 1;
  EXPECT_EQ(STATUS_SUCCESS, filter_->DisableEvent(&eventData));
}

// Closing the filter right after a set: the pending work item finishes before the close
// completes and never raises on the closed filter.
TEST_F(Region, FilterCloseDrainsThePendingEvent) {
  Start();
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(STATUS_SUCCESS, SetRect({100, 100, 400 + i, 300}));
    filter_.reset();
    EXPECT_TRUE(kernel::PendingSystemWork().empty());
    ASSERT_EQ(STATUS_SUCCESS, ksclient::KsFilterClient::Open(device_->Top(), u"GLOBAL", &filter_));
  }
}

}  // namespace
}  // namespace kvz::drivertest
