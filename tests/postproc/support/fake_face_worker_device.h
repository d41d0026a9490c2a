// The camera device as the frame processor's face worker sees it, and the test face frame: a
// held-out face of the face tests' data pasted into a held-out background.
#pragma once
#include <atomic>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include <string>

#include "face/face_exposure_control.h"
#include "face_services_log.h"
#include "postproc/base/frame_device.h"
#include "postproc/processor/frame_processor.h"
// The trainer's picture readers (kvz_train_core): the users of this header link it.
#include "image_io.h"
#include "training_data.h"

namespace kvz::test {

constexpr LONG kFaceFrameWidth = 640;
constexpr LONG kFaceFrameHeight = 480;
// Where the face lies in the 320 x 240 picture that is doubled into the frame.
constexpr int kFaceX = 110, kFaceY = 50, kFaceSize = 100;

inline train::Grey LoadFaceData(const std::string& name) {
  train::Grey g;
  EXPECT_TRUE(train::LoadPicture(std::string(KVZ_FACE_TEST_DATA) + "/" + name, &g)) << name;
  return g;
}

// 640 x 480 YUY2 with the face, every pixel of the 320 x 240 picture doubled.
inline std::vector<uint8_t> FaceFrame() {
  train::Grey picture = LoadFaceData("background0.pgm");
  train::Paste(&picture, LoadFaceData("face72.pgm"), kFaceX, kFaceY, kFaceSize);
  std::vector<uint8_t> frame(static_cast<size_t>(kFaceFrameWidth) * kFaceFrameHeight * 2);
  for (int y = 0; y < kFaceFrameHeight; ++y)
    for (int x = 0; x < kFaceFrameWidth; ++x) {
      frame[(static_cast<size_t>(y) * kFaceFrameWidth + x) * 2] = picture.pixels[(y / 2) * 320 + x / 2];
      frame[(static_cast<size_t>(y) * kFaceFrameWidth + x) * 2 + 1] = 128;
    }
  return frame;
}

// The camera device as the worker sees it. The worker thread calls the face services while the
// test thread reads the counters, hence the atomics.
class FakeWorkerDevice : public FrameDevice, public FaceServicesLog, public FaceExposureDevice {
 public:
  explicit FakeWorkerDevice(CameraServices* camera) : FaceServicesLog(kFaceWorkDetect), camera_(camera) {
    KeInitializeMutex(&detectionMutex_, 0);
    KeInitializeMutex(&exposureMutex_, 0);
    KeInitializeEvent(&entered, NotificationEvent, FALSE);
    KeInitializeEvent(&gate, NotificationEvent, FALSE);
    settings = {};
    settings.zoomScale = kZoomScaleNone;
    settings.powerLineFrequency = 1;
    settings.autoExposureMode = 8;
  }

  // FrameDevice
  CameraServices* Services() override { return camera_; }
  CameraIdentity Identity() const override { return CameraIdentity{listed, chip, rotation}; }
  VOID ReadFrameSettings(FrameSettings* out) const override { *out = settings; }
  VOID StoreFlickerDetectValue(LONG) override {}
  FaceDeviceServices* FaceServices() override { return offersFaceServices ? this : nullptr; }

  // FaceDeviceServices: every search takes the mutex twice (acquire, release); the first call
  // of a held search waits at the gate, as a long search would keep the worker busy.
  PKMUTEX FaceDetectionMutex() override {
    ++detectionMutexCalls;
    if (holdNextSearch.exchange(false)) {
      KeSetEvent(&entered, IO_NO_INCREMENT, FALSE);
      LARGE_INTEGER timeout;
      timeout.QuadPart = -holdFor;
      KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, holdFor ? &timeout : nullptr);
    }
    return &detectionMutex_;
  }
  VOID ReadFaceWorkSwitches(FaceWorkSwitches* s) override {
    const int read = switchReads++;
    const bool off = detectOffFromRead >= 0 && read >= detectOffFromRead;
    *s = {off ? 0 : detectEnable.load(), autoExposal.load(), flags.load()};
  }

  // FaceExposureDevice
  PKMUTEX FaceExposureMutex() override {
    ++exposureMutexCalls;
    return &exposureMutex_;
  }
  CameraServices& Camera() override { return *camera_; }
  // FaceWorkHost, for both interfaces.
  VOID SetFaceWorkFlags(LONG bits) override { flags |= bits; }
  VOID ClearFaceWorkFlags(LONG bits) override { flags &= ~bits; }

  int Searches() const { return detectionMutexCalls / 2; }
  VOID HoldNextSearch(LONGLONG duration) {
    KeClearEvent(&entered);
    KeClearEvent(&gate);
    holdFor = duration;
    holdNextSearch = true;
  }
  VOID WaitUntilHeld() { KeWaitForSingleObject(&entered, Executive, KernelMode, FALSE, nullptr); }
  VOID ReleaseGate() { KeSetEvent(&gate, IO_NO_INCREMENT, FALSE); }

  FrameSettings settings;
  bool listed = false;
  bool offersFaceServices = true;
  LONG rotation = 0;
  UCHAR chip = 0xB0;
  std::atomic<LONG> detectEnable{1}, autoExposal{1};
  std::atomic<int> switchReads{0};
  std::atomic<int> detectOffFromRead{-1};
  std::atomic<int> detectionMutexCalls{0}, exposureMutexCalls{0};
  std::atomic<bool> holdNextSearch{false};
  LONGLONG holdFor = 0;
  KEVENT entered, gate;

 private:
  CameraServices* camera_;
  KMUTEX detectionMutex_, exposureMutex_;
};

}  // namespace kvz::test
