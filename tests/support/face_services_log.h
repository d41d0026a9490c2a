// The face services' calls that face tests check, recorded: every window handed on to the
// face-region exposure with its frame size, and the face work flags set. Each fake adds the rest.
#pragma once
#include <atomic>
#include <vector>

#include "common/face_services.h"

namespace kvz::test {

class FaceServicesLog : public FaceDeviceServices {
 public:
  NTSTATUS SetFaceRectangle(const RegionRect& rect, LONG width, LONG height) override {
    windows.push_back(rect);
    frameWidth = width;
    frameHeight = height;
    return STATUS_SUCCESS;
  }
  VOID SetFaceWorkFlags(LONG bits) override { flags |= bits; }
  VOID ClearFaceWorkFlags(LONG bits) override { flags &= ~bits; }

  std::vector<RegionRect> windows;
  LONG frameWidth = 0, frameHeight = 0;
  // A worker thread may set bits while the test thread reads them.
  std::atomic<LONG> flags;

 protected:
  explicit FaceServicesLog(LONG initialFlags) : flags(initialFlags) {}
};

}  // namespace kvz::test
