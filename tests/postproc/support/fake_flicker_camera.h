// A camera model for the flicker detector: class requests on the power-line control and the
// vendor unit's one-byte registers, and a sensor under 50 Hz or 60 Hz light whose frames show
// rolling bands when the power-line setting does not match the mains.
#pragma once
#include <cstdint>
#include <map>
#include <vector>

#include "postproc/camera_services.h"

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

  // The next frame, packed YUY2. With the power-line setting at 1 the sensor runs at 25 frames
  // per second, otherwise at 30; the bands of the light's flicker (twice the mains) advance by
  // the fraction of a flicker period that a frame lasts beyond whole periods.
  std::vector<uint8_t> NextFrame();

  // Scene and sensor.
  int mainsHz;
  bool moving = false;          // the whole scene jumps every second frame
  USHORT level = 800;           // sensor level reported through the chip's level registers
  int exposureDriftReads = 0;   // reads of register 0x0002 that still move after a power-line set
  bool exposureNeverSettles = false;
  int bandAmplitude = 6;        // luma; chroma gets a third of it

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
  UCHAR chipCode_;
  int width_, height_;
  USHORT address_ = 0;
  int driftLeft_ = 0;
  UCHAR exposure_ = 100;
};

}  // namespace kvz::test
