// The camera's one-byte registers behind the vendor extension unit's address and data selectors.
// A register holds a stored byte, or follows a script of kernel time; writes are logged.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace kvz::simcam {

// Registers the driver touches.
namespace reg {
constexpr uint16_t kChipId = 0x20FF;          // family in the high nibble
constexpr uint16_t kBufferSize = 0x25B1;      // low nibble selects the camera buffer size
constexpr uint16_t kSensorActivity = 0x0002;  // read while flicker measurement settles
constexpr uint16_t kFlickerModeB0C0 = 0x0600;
constexpr uint16_t kFlickerModeOther = 0x0500;
constexpr uint16_t kLevelHighB0 = 0x050D;
constexpr uint16_t kLevelLowB0 = 0x050E;
constexpr uint16_t kLevelHighC0 = 0x0556;
constexpr uint16_t kLevelLowC0 = 0x0557;
constexpr uint16_t kWhiteBalanceBank = 0x3100;  // bit 5: alternate bank
constexpr uint16_t kTestDone = 0x0602;
constexpr uint16_t kTestArm = 0x0603;
constexpr uint16_t kTestProgressHigh = 0x0604;
constexpr uint16_t kTestProgressLow = 0x0605;
}  // namespace reg

struct RegisterWrite {
  uint64_t time;
  uint16_t address;
  uint8_t value;
};

// How the private test runs once armed.
struct TestScript {
  bool finishes = true;
  uint64_t duration = 10000000;       // 100-ns units from arming to done
  uint64_t progressStep = 1000000;    // progress counter advances once per step
  uint16_t result = 0x1234;           // what the test unit's selector 3 reports when done
};

class RegisterFile {
 public:
  RegisterFile();

  uint8_t Read(uint16_t address, uint64_t now) const;
  void Write(uint16_t address, uint8_t value, uint64_t now);

  // A fixed value, or a function of kernel time that replaces stored reads.
  void Preset(uint16_t address, uint8_t value) { values_[address] = value; }
  void Script(uint16_t address, std::function<uint8_t(uint64_t now)> script) { scripts_[address] = std::move(script); }

  TestScript& Test() { return test_; }
  bool TestArmed() const { return armedAt_ >= 0; }
  // The test unit's answer at time now: the script's result once done, else 0.
  uint16_t TestResult(uint64_t now) const;

  const std::vector<RegisterWrite>& Writes() const { return writes_; }
  const std::map<uint16_t, uint8_t>& Values() const { return values_; }

 private:
  bool TestDone(uint64_t now) const;
  uint16_t TestProgress(uint64_t now) const;

  std::map<uint16_t, uint8_t> values_;
  std::map<uint16_t, std::function<uint8_t(uint64_t)>> scripts_;
  std::vector<RegisterWrite> writes_;
  TestScript test_;
  int64_t armedAt_ = -1;
};

}  // namespace kvz::simcam
