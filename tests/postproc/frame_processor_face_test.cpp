// The frame processor's face-detection worker on a real system thread of the kernel stand-in:
// which offers it takes, the one-slot hand-off, stopping while it searches, its own buffers,
// MJPEG offers and the switches it reads after the wait. A held-out test face (from the face
// tests' data) pasted into a held-out background is the face to find.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "jpeg/jpeg_encoder.h"
#include "kernel_checks.h"
#include "kvz/kernel_testing.h"
#include "postproc/processor/frame_processor.h"
#include "support/fake_face_worker_device.h"
#include "support/fake_flicker_camera.h"

namespace kvz {
namespace {

using test::FakeWorkerDevice;
using test::FaceFrame;
using test::kFaceSize;
using test::kFaceX;
using test::kFaceY;
constexpr LONG kWidth = test::kFaceFrameWidth;
constexpr LONG kHeight = test::kFaceFrameHeight;

std::vector<uint8_t> EncodeMjpeg(const std::vector<uint8_t>& yuy2) {
  std::vector<uint8_t> out(yuy2.size());
  auto* encoder = new jpeg::JpegEncoder();
  encoder->Reset();
  int32_t length = 0;
  const int32_t result = jpeg::JpegEncodeFrame(yuy2.data(), kPixelYuy2, 2, out.data(),
                                               static_cast<int32_t>(out.size()), &length, kWidth, kHeight, 90, 0, 1,
                                               encoder);
  encoder->Release();
  delete encoder;
  EXPECT_EQ(0, result);
  out.resize(static_cast<size_t>(length));
  return out;
}

// The window a found face must give, in the frame's own pixels: around the pasted face, doubled.
VOID ExpectFaceWindow(const FakeWorkerDevice& device) {
  ASSERT_EQ(1u, device.windows.size());
  const RegionRect w = device.windows[0];
  EXPECT_EQ(kWidth, device.frameWidth);
  EXPECT_EQ(kHeight, device.frameHeight);
  EXPECT_NEAR((w.left + w.right) / 2, 2 * (kFaceX + kFaceSize / 2), 30);
  EXPECT_NEAR((w.top + w.bottom) / 2, 2 * (kFaceY + kFaceSize / 2), 30);
  EXPECT_NEAR(w.right - w.left, 2 * kFaceSize, 60);
}

class FaceWorkerTest : public ::testing::Test {
 protected:
  FaceWorkerTest() : camera(0xB0, 50, kWidth, kHeight), device(&camera) {}
  VOID TearDown() override {
    kernel::ClearPoolFaults();
    processor.reset();
    EXPECT_CLEAN_UNLOAD();
  }

  VOID Offer(const std::vector<uint8_t>& frame, LONG format = kPixelYuy2, LONG width = kWidth, LONG height = kHeight) {
    processor->SubmitFrame(&device, frame.data(), static_cast<ULONG>(frame.size()), width, height, format, 6);
  }
  // Offers a frame and lets the worker finish with it.
  VOID OfferAndSettle(const std::vector<uint8_t>& frame, LONG format = kPixelYuy2, LONG width = kWidth,
                      LONG height = kHeight) {
    Offer(frame, format, width, height);
    kernel::RunUntilIdle();
  }

  test::FakeFlickerCamera camera;
  FakeWorkerDevice device;
  std::unique_ptr<FrameProcessor> processor = std::make_unique<FrameProcessor>();
};

// Which offers reach the worker. Flicker detection holds face work back only while it really
// measures: on a chip that can finish, with the last frame fed to it.
TEST_F(FaceWorkerTest, OffersReachTheWorkerOnlyWhenFaceWorkIsWanted) {
  const struct {
    const char* name;
    bool services, listed;
    UCHAR chip;
    LONG powerLine, outDoor;  // of the frame processed before the offer
    LONG lengthChange, format;
    LONG detectEnable, autoExposal, flags;
    ULONG failTag;
    bool searched;
  } cases[] = {
      {"taken", true, false, 0xB0, 1, 0, 0, kPixelYuy2, 1, 0, kFaceWorkDetect, 0, true},
      {"no face services", false, false, 0xB0, 1, 0, 0, kPixelYuy2, 1, 0, kFaceWorkDetect, 0, false},
      {"listed camera", true, true, 0xB0, 1, 0, 0, kPixelYuy2, 1, 0, kFaceWorkDetect, 0, false},
      {"flicker measuring", true, false, 0xB0, 0, 0, 0, kPixelYuy2, 1, 0, kFaceWorkDetect, 0, false},
      {"flicker fed, chip cannot detect", true, false, 0xA0, 0, 0, 0, kPixelYuy2, 1, 0, kFaceWorkDetect, 0, true},
      {"flicker not fed outdoors", true, false, 0xB0, 0, 1, 0, kPixelYuy2, 1, 0, kFaceWorkDetect, 0, true},
      {"detection setting off", true, false, 0xB0, 1, 0, 0, kPixelYuy2, 0, 0, kFaceWorkDetect, 0, false},
      {"capture not running", true, false, 0xB0, 1, 0, 0, kPixelYuy2, 1, 1, 0, 0, false},
      {"YUY2 two bytes short", true, false, 0xB0, 1, 0, -2, kPixelYuy2, 1, 0, kFaceWorkDetect, 0, false},
      {"YUY2 two bytes long", true, false, 0xB0, 1, 0, 2, kPixelYuy2, 1, 0, kFaceWorkDetect, 0, false},
      {"unknown format", true, false, 0xB0, 1, 0, 0, 2, 1, 0, kFaceWorkDetect, 0, false},
      {"no memory for the copy", true, false, 0xB0, 1, 0, 0, kPixelYuy2, 1, 0, kFaceWorkDetect,
       FrameProcessor::kTagSubmitted, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeWorkerDevice d(&camera);
    d.offersFaceServices = c.services;
    d.listed = c.listed;
    d.chip = c.chip;
    d.settings.powerLineFrequency = c.powerLine;
    d.settings.outDoor = c.outDoor;
    d.detectEnable = c.detectEnable;
    d.autoExposal = c.autoExposal;
    d.flags = c.flags;
    FrameProcessor p;
    ASSERT_EQ(STATUS_SUCCESS, p.Flicker()->AllocBuffers());
    p.Flicker()->Reset(&camera, c.chip, 0);
    p.ReleaseFlickerHold();
    auto frame = camera.NextFrame();
    p.ProcessFrame(&d, frame.data(), kWidth, kHeight);
    std::vector<uint8_t> offer(static_cast<size_t>(kWidth * kHeight * 2 + c.lengthChange), 0x80);
    if (c.failTag) kernel::FailNthAllocation(1, c.failTag);
    p.SubmitFrame(&d, offer.data(), static_cast<ULONG>(offer.size()), kWidth, kHeight, c.format, 6);
    kernel::ClearPoolFaults();
    kernel::RunUntilIdle();
    EXPECT_EQ(c.searched, d.Searches() > 0) << d.Searches();
    p.Flicker()->FreeBuffers();
  }
}

// One slot: an offer made while the worker searches is dropped, not kept for later; the pin's
// own processing goes on meanwhile.
TEST_F(FaceWorkerTest, OfferWhileTheWorkerIsBusyIsDropped) {
  const std::vector<uint8_t> blank(kWidth * kHeight * 2, 0x80);
  device.HoldNextSearch(0);
  Offer(blank);
  device.WaitUntilHeld();
  Offer(blank);
  device.rotation = 1;
  auto frame = camera.NextFrame();
  EXPECT_NE(nullptr, processor->ProcessFrame(&device, frame.data(), kWidth, kHeight));
  device.ReleaseGate();
  kernel::RunUntilIdle();
  EXPECT_EQ(2, device.Searches()) << "the busy offer was queued";
  OfferAndSettle(blank);
  EXPECT_EQ(4, device.Searches());
}

// Destroying the processor while its worker is inside a search ends the worker once the search
// returns; the second search of that frame is not started.
TEST_F(FaceWorkerTest, StopWhileSearchingEndsTheWorker) {
  const std::vector<uint8_t> blank(kWidth * kHeight * 2, 0x80);
  device.HoldNextSearch(kernel::kSecond);
  Offer(blank);
  device.WaitUntilHeld();
  processor.reset();
  EXPECT_EQ(1, device.Searches());
}

// The offered frame is copied: the pin overwrites its frame and rotates and zooms others (in
// its work buffers) while the worker searches, and the face is still found where it was in the
// frame as the camera sent it.
TEST_F(FaceWorkerTest, FaceIsFoundInTheCopyWhileThePinReusesItsBuffers) {
  device.autoExposal = 0;
  device.rotation = 1;
  device.settings.zoomScale = 20;
  for (int i = 0; i < 3; ++i) {
    auto frame = FaceFrame();
    device.HoldNextSearch(0);
    Offer(frame);
    device.WaitUntilHeld();
    std::fill(frame.begin(), frame.end(), 0x10);
    auto other = camera.NextFrame();
    ASSERT_NE(nullptr, processor->ProcessFrame(&device, other.data(), kWidth, kHeight));
    device.ReleaseGate();
    kernel::RunUntilIdle();
  }
  ExpectFaceWindow(device);
  EXPECT_NE(0, device.flags & kFaceWorkExposure);
}

// MJPEG offers are decoded by the worker into YUY2 of the offered size; a frame of another size,
// a broken stream or no memory for the decoded frame skips the search.
TEST_F(FaceWorkerTest, MjpegOffersAreDecodedBeforeTheSearch) {
  const auto mjpeg = EncodeMjpeg(FaceFrame());
  std::vector<uint8_t> broken(mjpeg.begin(), mjpeg.begin() + 600);
  const struct {
    const char* name;
    const std::vector<uint8_t>* frame;
    LONG width, height;
    ULONG failTag;
    bool found;
  } cases[] = {
      {"as the camera sent it", &mjpeg, kWidth, kHeight, 0, true},
      {"header of another size", &mjpeg, 320, 240, 0, false},
      {"broken stream", &broken, kWidth, kHeight, 0, false},
      {"no memory for the decoded frame", &mjpeg, kWidth, kHeight, FrameProcessor::kTagDecoded, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeWorkerDevice d(&camera);
    d.autoExposal = 0;
    FrameProcessor p;
    for (int i = 0; i < 3; ++i) {
      if (c.failTag) kernel::FailNthAllocation(1, c.failTag);
      p.SubmitFrame(&d, c.frame->data(), static_cast<ULONG>(c.frame->size()), c.width, c.height, kPixelMjpeg, 6);
      kernel::RunUntilIdle();
      kernel::ClearPoolFaults();
    }
    if (c.found) {
      ExpectFaceWindow(d);
    } else {
      EXPECT_EQ(0, d.Searches());
    }
  }
}

// The worker reads the switches again once it has the frame: an offer taken for the exposure
// alone, or one whose detection was switched off meanwhile, runs no search (and never replaces
// the application's region rectangle); the exposure runs whenever its bit is set.
TEST_F(FaceWorkerTest, SwitchesAreReadAgainAfterTheWait) {
  const std::vector<uint8_t> blank(kWidth * kHeight * 2, 0x80);
  const struct {
    const char* name;
    LONG detectEnable, autoExposal, flags;
    int detectOffFromRead;
    int searches;
    bool exposure;
  } cases[] = {
      {"detection on", 1, 0, kFaceWorkDetect, -1, 2, false},
      {"detection switched off after the offer", 1, 0, kFaceWorkDetect, 1, 0, false},
      {"taken for the exposure alone", 0, 1, kFaceWorkDetect | kFaceWorkExposure, -1, 0, true},
      {"detection and exposure", 1, 1, kFaceWorkDetect | kFaceWorkExposure, -1, 2, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeWorkerDevice d(&camera);
    d.detectEnable = c.detectEnable;
    d.autoExposal = c.autoExposal;
    d.flags = c.flags;
    d.detectOffFromRead = c.detectOffFromRead;
    FrameProcessor p;
    p.FaceExposure()->Reset(&d);
    d.exposureMutexCalls = 0;
    p.SubmitFrame(&d, blank.data(), static_cast<ULONG>(blank.size()), kWidth, kHeight, kPixelYuy2, 6);
    kernel::RunUntilIdle();
    EXPECT_EQ(c.searches, d.Searches());
    EXPECT_EQ(c.exposure, d.exposureMutexCalls > 0);
  }
}

}  // namespace
}  // namespace kvz
