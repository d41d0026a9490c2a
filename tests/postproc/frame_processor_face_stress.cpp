// The face-detection worker under ThreadSanitizer: the capture path offers and processes frames
// (rotating and flipping through its work buffers) while the worker searches and measures them
// and the device resets the detector and the exposure and sets region rectangles; at the end
// the processor is destroyed right after an offer, while the worker is likely searching.
// Registered with CTest only in the tsan build (label "stress"); run by hand.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "face/face_exposure_control.h"
#include "kvz/kernel_testing.h"
#include "kvz/kernel_thread.h"
#include "postproc/processor/frame_processor.h"
#include "support/fake_face_worker_device.h"
#include "support/fake_flicker_camera.h"

namespace kvz {
namespace {

TEST(FaceWorkerStress, CaptureDeviceAndWorkerAtOnceWithoutRaces) {
  constexpr LONG w = test::kFaceFrameWidth, h = test::kFaceFrameHeight;
  test::FakeFlickerCamera camera(0xB0, 50, w, h);
  test::FakeWorkerDevice device(&camera);
  device.flags = kFaceWorkDetect | kFaceWorkExposure;
  auto processor = std::make_unique<FrameProcessor>();
  processor->FaceExposure()->Reset(&device);
  const std::vector<uint8_t> face = test::FaceFrame();
  std::atomic<bool> stop{false};
  std::atomic<int> resets{0};

  kernel::KernelThread control("device", [&] {
    const RegionRect regions[] = {{200, 100, 400, 300}, {0, 0, 0, 0}};
    for (int i = 0; !stop; ++i) {
      device.detectEnable = i % 5 != 0;
      if (i % 3 == 0) processor->FaceDetector()->Reset(&device);
      if (i % 4 == 0) processor->FaceExposure()->Reset(&device);
      processor->FaceExposure()->SetFaceRectangle(regions[i % 2], w, h);
      ++resets;
    }
  });
  std::vector<uint8_t> frame;
  for (int i = 0; i < 400 || device.Searches() < 40 || resets < 100; ++i) {
    frame = face;
    processor->SubmitFrame(&device, frame.data(), static_cast<ULONG>(frame.size()), w, h, kPixelYuy2, i);
    device.rotation = i % 4;
    device.settings.hFlip = i % 2;
    ASSERT_NE(nullptr, processor->ProcessFrame(&device, frame.data(), w, h));
  }
  stop = true;
  control.Join();
  frame = face;
  processor->SubmitFrame(&device, frame.data(), static_cast<ULONG>(frame.size()), w, h, kPixelYuy2, 0);
  processor.reset();
  EXPECT_GE(device.Searches(), 40);
}

// The region set and the face worker ask the exposure for its device while the first stream
// start stores it: each new control learns it under way.
TEST(FaceWorkerStress, ExposureLearnsItsDeviceWhileRectanglesArrive) {
  constexpr LONG w = test::kFaceFrameWidth, h = test::kFaceFrameHeight;
  test::FakeFlickerCamera camera(0xB0, 50, w, h);
  test::FakeWorkerDevice device(&camera);
  const RegionRect rect = {20, 20, 60, 60};
  for (int round = 0; round < 200; ++round) {
    auto exposure = std::make_unique<FaceExposureControl>();
    std::atomic<bool> go{false};
    NTSTATUS last = STATUS_INVALID_PARAMETER;
    {
      kernel::KernelThread region("region", [&] {
        while (!go) {
        }
        for (int i = 0; i < 50 && last != STATUS_SUCCESS; ++i) last = exposure->SetFaceRectangle(rect, w, h);
      });
      go = true;
      exposure->Reset(&device);
    }
    EXPECT_EQ(STATUS_SUCCESS, exposure->SetFaceRectangle(rect, w, h));
    exposure->Release();
  }
}

}  // namespace
}  // namespace kvz
