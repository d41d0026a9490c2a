// The device side of face detection for tests: a real kernel mutex, the face work flags and a
// log of the windows handed to the face-region exposure.
#pragma once
#include <vector>

#include "face/face_services.h"

namespace kvz::test {

class FakeFaceDevice : public FaceDeviceServices {
 public:
  FakeFaceDevice() { KeInitializeMutex(&mutex_, 0); }
  PKMUTEX FaceDetectionMutex() override { return &mutex_; }
  NTSTATUS SetFaceRectangle(const RegionRect& rect, LONG width, LONG height) override {
    windows.push_back(rect);
    frameWidth = width;
    frameHeight = height;
    return STATUS_SUCCESS;
  }
  VOID SetFaceWorkFlags(LONG bits) override { flags |= bits; }
  VOID ReadFaceWorkSwitches(FaceWorkSwitches* switches) override {
    *switches = {1, 1, flags | kFaceWorkDetect};
  }

  std::vector<RegionRect> windows;
  LONG frameWidth = 0, frameHeight = 0;
  LONG flags = 0;

 private:
  KMUTEX mutex_;
};

}  // namespace kvz::test
