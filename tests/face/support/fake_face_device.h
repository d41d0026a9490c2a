// The device side of face detection for tests: a real kernel mutex, detection always switched
// on, and the log of windows and work flags.
#pragma once
#include "face_services_log.h"

namespace kvz::test {

class FakeFaceDevice : public FaceServicesLog {
 public:
  FakeFaceDevice() : FaceServicesLog(0) { KeInitializeMutex(&mutex_, 0); }
  PKMUTEX FaceDetectionMutex() override { return &mutex_; }
  VOID ReadFaceWorkSwitches(FaceWorkSwitches* switches) override {
    *switches = {1, 1, flags.load() | kFaceWorkDetect};
  }

 private:
  KMUTEX mutex_;
};

}  // namespace kvz::test
