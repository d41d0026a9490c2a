#include "e2e_bench.h"

#include "kvz/registry_testing.h"
#include "kvz/system_testing.h"

namespace kvz::e2e {

void E2eBench::SetUp() {
  // A machine with the standard keys only, Windows 10, and nothing left by an earlier test.
  kernel::ResetRegistry();
  kernel::SetSystemVersion(kernel::SystemVersion{});
  kernel::ClearPoolFaults();
  const kernel::UnloadReport before = kernel::CheckUnload();
  ASSERT_TRUE(before.clean) << before.text;
}

void E2eBench::TearDown() {
  Unload();
  kernel::ClearPoolFaults();
}

NTSTATUS E2eBench::TryBoot(const std::string& camera, simcam::CameraOptions options) {
  std::string error;
  auto profile = capture::ProfileByName(camera, &error);
  if (!profile) {
    ADD_FAILURE() << error;
    return STATUS_INVALID_PARAMETER;
  }
  return rig_.Boot(std::move(*profile), options);
}

bool E2eBench::Boot(const std::string& camera, simcam::CameraOptions options) {
  const NTSTATUS status = TryBoot(camera, options);
  EXPECT_EQ(STATUS_SUCCESS, status) << camera << " did not start\n" << kernel::DebugOutput();
  return NT_SUCCESS(status);
}

bool E2eBench::Boot(simcam::CameraProfile profile, simcam::CameraOptions options) {
  const NTSTATUS status = rig_.Boot(std::move(profile), options);
  EXPECT_EQ(STATUS_SUCCESS, status) << "the camera did not start\n" << kernel::DebugOutput();
  return NT_SUCCESS(status);
}

KsFilterClient& E2eBench::Filter() {
  if (!filter_) {
    const NTSTATUS status = rig_.OpenFilter(&filter_);
    EXPECT_EQ(STATUS_SUCCESS, status);
  }
  return *filter_;
}

capture::VideoRange E2eBench::Range(int pinId, uint32_t subtype, int width, int height) {
  std::vector<Bytes> raw;
  EXPECT_EQ(STATUS_SUCCESS, Filter().PinDataRanges(static_cast<ULONG>(pinId), &raw));
  for (const capture::VideoRange& r : capture::ParseVideoRanges(raw))
    if (!r.videoInfo2 && r.subtype == subtype && r.width == width && std::abs(r.height) == height) return r;
  ADD_FAILURE() << "pin " << pinId << " offers no " << capture::SubtypeName(subtype) << " " << width << "x" << height;
  return {};
}

NTSTATUS E2eBench::CreatePin(int pinId, uint32_t subtype, int width, int height, KsPinClient** pin,
                             VideoFormat* format) {
  const capture::VideoRange range = Range(pinId, subtype, width, height);
  if (range.raw.empty()) return STATUS_NO_MATCH;
  capture::CreatedPin created;
  std::string error;
  const NTSTATUS status = capture::CreatePinFromRange(Filter(), pinId, range, std::nullopt, &created, &error);
  if (!NT_SUCCESS(status)) return status;
  *pin = created.pin.get();
  if (format) *format = created.format;
  pins_.push_back(std::move(created.pin));
  return status;
}

std::vector<CompletedFrame> E2eBench::Read(KsPinClient& pin, size_t count, ULONG bufferSize) {
  std::vector<CompletedFrame> frames;
  EXPECT_EQ(STATUS_SUCCESS, pin.ReadFrames(count, bufferSize, 4, &frames));
  return frames;
}

void E2eBench::ClosePin(KsPinClient* pin) {
  for (auto it = pins_.begin(); it != pins_.end(); ++it)
    if (it->get() == pin) {
      (*it)->Close();
      pins_.erase(it);
      return;
    }
}

void E2eBench::CloseFilter() {
  for (auto& pin : pins_) pin->Close();
  pins_.clear();
  if (filter_) filter_->Close();
  filter_.reset();
}

void E2eBench::Unload() {
  if (unloaded_) return;
  unloaded_ = true;
  CloseFilter();
  rig_.Shutdown();
  kernel::RunUntilIdle();
  const kernel::UnloadReport report = kernel::CheckUnload();
  EXPECT_TRUE(report.clean) << "left behind at unload:\n" << report.text;
}

}  // namespace kvz::e2e
