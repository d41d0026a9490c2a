// A camera for the flicker detector: class requests on the power-line control and the vendor
// unit's one-byte registers, and frames from the banding model (banding_model.h) under the
// light conditions the test sets, exposed for the current power-line setting.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "banding_model.h"
#include "common/camera_services.h"

namespace kvz::test {

class FakeFlickerCamera : public CameraServices {
 public:
  static constexpr USHORT kVendorUnit = 0x0400;  // unit 4, interface 0

  FakeFlickerCamera(UCHAR chipCode, int mainsHz, int width, int height);

  NTSTATUS GetClassRequest(UCHAR request, USHORT value, USHORT index, PVOID buffer,
                           USHORT length) override;
  NTSTATUS SetClassRequest(UCHAR request, USHORT value, USHORT index, PVOID buffer,
                           USHORT length) override;
  USHORT VendorUnitIndex() const override { return kVendorUnit; }
  VOID AcquireRegisterAccess() override { ++registerLocks; }
  VOID ReleaseRegisterAccess() override { --registerLocks; }

  // The next frame, packed YUY2 or bottom-up BGR24, under `light` at the current setting.
  std::vector<uint8_t> NextFrame();
  std::vector<uint8_t> NextBgrFrame();

  // Scene and sensor. Light conditions take effect at the first frame.
  LightConditions light;
  bool moving = false;          // the scene is a checkerboard that inverts every second frame
  USHORT level = 800;           // sensor level reported through the chip's level registers
  int exposureDriftReads = 0;   // reads of register 0x0002 that still move after a power-line set
  bool exposureNeverSettles = false;

  // Faults.
  bool failPowerLineGet = false;
  bool failRegisterAddress = false;
  int reportedPowerLine = -1;   // >= 0: GET_CUR answers this instead of the setting

  // What the detector did.
  UCHAR powerLine = 2;          // as loaded at stream start (the stored detected value)
  std::vector<UCHAR> powerLineSets;
  std::map<USHORT, UCHAR> registers;
  std::vector<std::pair<USHORT, UCHAR>> registerWrites;
  std::map<USHORT, int> registerReads;
  int requests = 0;
  int registerLocks = 0;        // held register locks
  int framesMade = 0;

 private:
  UCHAR ReadRegister(USHORT address);
  BandingModel& Model();
  std::unique_ptr<BandingModel> model_;
  UCHAR chipCode_;
  int width_, height_;
  USHORT address_ = 0;
  int driftLeft_ = 0;
  UCHAR exposure_ = 100;
};

}  // namespace kvz::test
