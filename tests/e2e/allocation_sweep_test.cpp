// Every allocation of the main steps failed in turn: device start, filter creation, pin
// creation, RUN, and one property of each set. Each run must end with a clear status (success,
// or an error the step reports) and a clean unload: no crash, no leak, nothing left running.
#include <functional>

#include "camera_controls.h"
#include "e2e_bench.h"
#include "ksmedia.h"

namespace kvz::e2e {
namespace {

// Where a run stands when the step under test begins.
struct Session {
  const char* camera = "isoch";
  capture::CameraRig rig;
  std::unique_ptr<KsFilterClient> filter;
  capture::CreatedPin pin;
};

enum class Stage { kNothing, kBooted, kFilterOpen, kPinCreated };

struct SweepCase {
  const char* name;
  Stage before;
  std::function<NTSTATUS(Session&)> step;
  const char* camera = "isoch";
};

NTSTATUS Boot(Session& s) {
  std::string error;
  return s.rig.Boot(*capture::ProfileByName(s.camera, &error));
}
NTSTATUS OpenFilter(Session& s) { return s.rig.OpenFilter(&s.filter); }
NTSTATUS CreateCapturePin(Session& s) {
  std::vector<Bytes> raw;
  NTSTATUS status = s.filter->PinDataRanges(kCapturePin, &raw);
  if (!NT_SUCCESS(status)) return status;
  for (const capture::VideoRange& r : capture::ParseVideoRanges(raw))
    if (!r.videoInfo2 && r.subtype == kYuy2 && r.width == 320) {
      std::string error;
      return capture::CreatePinFromRange(*s.filter, kCapturePin, r, std::nullopt, &s.pin, &error);
    }
  return STATUS_NO_MATCH;
}
NTSTATUS Run(Session& s) { return capture::RunPin(*s.pin.pin); }
NTSTATUS Control(Session& s, const char* name) {
  int32_t value = 0;
  return capture::GetControl(*s.filter, *capture::FindControl(name), &value);
}
NTSTATUS VideoControlCaps(Session& s) {
  KSPROPERTY_VIDEOCONTROL_CAPS_S caps{};
  caps.Property.Set = PROPSETID_VIDCAP_VIDEOCONTROL;
  caps.Property.Id = KSPROPERTY_VIDEOCONTROL_CAPS;
  caps.Property.Flags = KSPROPERTY_TYPE_GET;
  caps.StreamIndex = kStillPin;
  return s.filter->Property(&caps, sizeof(caps), &caps, sizeof(caps));
}

NTSTATUS Prepare(Session& s, Stage stage) {
  NTSTATUS status = STATUS_SUCCESS;
  if (stage >= Stage::kBooted) status = Boot(s);
  if (NT_SUCCESS(status) && stage >= Stage::kFilterOpen) status = OpenFilter(s);
  if (NT_SUCCESS(status) && stage >= Stage::kPinCreated) status = CreateCapturePin(s);
  return status;
}

void Finish(Session& s) {
  if (s.pin.pin) {
    capture::StopPin(*s.pin.pin);
    s.pin.pin->Close();
    s.pin.pin.reset();
  }
  if (s.filter) s.filter->Close();
  s.filter.reset();
  s.rig.Shutdown();
  kernel::RunUntilIdle();
}

class AllocationSweepTest : public E2eBench, public ::testing::WithParamInterface<SweepCase> {};

TEST_P(AllocationSweepTest, EveryAllocationFailedOnceEndsCleanly) {
  const SweepCase& c = GetParam();
  // A clean run counts the step's allocations.
  uint64_t allocations = 0;
  {
    Session s;
    s.camera = c.camera;
    ASSERT_EQ(STATUS_SUCCESS, Prepare(s, c.before));
    const uint64_t start = kernel::PoolAllocationAttempts();
    ASSERT_EQ(STATUS_SUCCESS, c.step(s));
    allocations = kernel::PoolAllocationAttempts() - start;
    Finish(s);
    const kernel::UnloadReport report = kernel::CheckUnload();
    ASSERT_TRUE(report.clean) << report.text;
  }
  ASSERT_GT(allocations, 0u);
  RecordProperty("allocations", static_cast<int>(allocations));
  int failures = 0;
  for (uint64_t n = 1; n <= allocations; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(allocations));
    Session s;
    s.camera = c.camera;
    ASSERT_EQ(STATUS_SUCCESS, Prepare(s, c.before));
    kernel::FailNthAllocation(n);
    const NTSTATUS status = c.step(s);
    kernel::ClearPoolFaults();
    EXPECT_TRUE(status == STATUS_SUCCESS || NT_ERROR(status)) << capture::StatusText(status);
    if (!NT_SUCCESS(status)) ++failures;
    Finish(s);
    const kernel::UnloadReport report = kernel::CheckUnload();
    ASSERT_TRUE(report.clean) << report.text;
  }
  RecordProperty("failed_steps", failures);
  // A step none of whose allocations matters would be suspicious.
  EXPECT_GT(failures, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, AllocationSweepTest,
    ::testing::Values(SweepCase{"start", Stage::kNothing, Boot},
                      SweepCase{"filter_create", Stage::kBooted, OpenFilter},
                      SweepCase{"pin_create", Stage::kFilterOpen, CreateCapturePin},
                      SweepCase{"run", Stage::kPinCreated, Run},
                      SweepCase{"video_procamp", Stage::kFilterOpen,
                                [](Session& s) { return Control(s, "brightness"); }},
                      SweepCase{"camera_control", Stage::kFilterOpen,
                                [](Session& s) { return Control(s, "exposure_absolute"); }},
                      SweepCase{"private_set", Stage::kFilterOpen,
                                [](Session& s) { return Control(s, "digital_zoom"); }},
                      SweepCase{"video_control", Stage::kFilterOpen, VideoControlCaps},
                      SweepCase{"bulk_start", Stage::kNothing, Boot, "bulk"},
                      SweepCase{"bulk_run", Stage::kPinCreated, Run, "bulk"},
                      SweepCase{"minimal_start", Stage::kNothing, Boot, "minimal"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvz::e2e
