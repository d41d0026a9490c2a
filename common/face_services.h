// What face detection needs of the camera device: the device's face-detection mutex, the face
// window handed on to the face-region exposure of the device's frame processor, and the face
// work switches. The device implements it.
#pragma once
#include <wdm.h>

#include "common/region_rect.h"

namespace kvz {

// Bits of the device's face work flags word.
constexpr LONG kFaceWorkDetect = 0x1;    // search submitted frames for faces (capture pin RUN)
constexpr LONG kFaceWorkExposure = 0x4;  // run the face-region exposure on submitted frames

// The switches that decide what the face-detection worker does with a frame, read together.
struct FaceWorkSwitches {
  LONG faceDetectEnable;  // the FaceDetectEnable setting; 0 never searches
  LONG autoExposal;       // AutoExposal: 1 automatic, the face-region exposure may run
  LONG workFlags;         // the face work flags word (kFaceWorkDetect, kFaceWorkExposure)
};

// The face work flags word. The capture pin, the region set, face detection and the face-region
// exposure change bits of it from their own threads, and the face worker reads it.
class FaceWorkFlags {
 public:
  VOID Set(LONG bits) { Update(bits, 0); }
  VOID Clear(LONG bits) { Update(0, bits); }
  VOID ClearAll() { InterlockedExchange(&word_, 0); }
  LONG Read() const { return __atomic_load_n(&word_, __ATOMIC_ACQUIRE); }

 private:
  VOID Update(LONG set, LONG clear) {
    LONG old = Read();
    for (;;) {
      const LONG seen = InterlockedCompareExchange(&word_, (old | set) & ~clear, old);
      if (seen == old) return;
      old = seen;
    }
  }

  volatile LONG word_{};
};

// The device's face work flags as each of its users sets and clears bits; every interface that
// lets its user change them derives from this one.
class FaceWorkHost {
 public:
  virtual VOID SetFaceWorkFlags(LONG bits) = 0;
  virtual VOID ClearFaceWorkFlags(LONG bits) = 0;

 protected:
  FaceWorkHost() = default;
  ~FaceWorkHost() = default;
};

// Where a face window goes: the frame processor's face-region exposure, with the frame size the
// rectangle is in.
class FaceWindowTarget {
 public:
  virtual NTSTATUS SetFaceRectangle(const RegionRect& rect, LONG width, LONG height) = 0;

 protected:
  FaceWindowTarget() = default;
  ~FaceWindowTarget() = default;
};

class FaceDeviceServices : public FaceWorkHost, public FaceWindowTarget {
 public:
  // Serialises a search with a reset; held across SetFaceRectangle.
  virtual PKMUTEX FaceDetectionMutex() = 0;
  // A snapshot of the switches; other threads change them at any time, so the worker reads
  // them again after every wait. PASSIVE_LEVEL, takes no lock the worker holds.
  virtual VOID ReadFaceWorkSwitches(FaceWorkSwitches* switches) = 0;

 protected:
  FaceDeviceServices() = default;
  ~FaceDeviceServices() = default;
};

}  // namespace kvz
