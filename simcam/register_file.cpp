#include "simcam/register_file.h"

namespace kvz::simcam {

RegisterFile::RegisterFile() {
  values_[reg::kChipId] = 0xB3;
  values_[reg::kBufferSize] = 0x01;
  values_[reg::kSensorActivity] = 0x40;
  // Sensor level 1000: inside the range the flicker detector waits for.
  values_[reg::kLevelHighB0] = 0x03;
  values_[reg::kLevelLowB0] = 0xE8;
  values_[reg::kLevelHighC0] = 0x03;
  values_[reg::kLevelLowC0] = 0xE8;
}

bool RegisterFile::TestDone(uint64_t now) const {
  return armedAt_ >= 0 && test_.finishes && now >= static_cast<uint64_t>(armedAt_) + test_.duration;
}

uint16_t RegisterFile::TestProgress(uint64_t now) const {
  if (armedAt_ < 0 || now < static_cast<uint64_t>(armedAt_)) return 0;
  uint64_t elapsed = now - static_cast<uint64_t>(armedAt_);
  if (test_.finishes && elapsed > test_.duration) elapsed = test_.duration;
  return static_cast<uint16_t>(test_.progressStep ? elapsed / test_.progressStep : 0);
}

uint16_t RegisterFile::TestResult(uint64_t now) const { return TestDone(now) ? test_.result : 0; }

uint8_t RegisterFile::Read(uint16_t address, uint64_t now) const {
  auto script = scripts_.find(address);
  if (script != scripts_.end()) return script->second(now);
  switch (address) {
    case reg::kTestDone: return TestDone(now) ? 1 : 0;
    case reg::kTestProgressHigh: return static_cast<uint8_t>(TestProgress(now) >> 8);
    case reg::kTestProgressLow: return static_cast<uint8_t>(TestProgress(now));
    default: break;
  }
  auto it = values_.find(address);
  return it == values_.end() ? 0 : it->second;
}

void RegisterFile::Write(uint16_t address, uint8_t value, uint64_t now) {
  writes_.push_back({now, address, value});
  values_[address] = value;
  if (address == reg::kTestArm && value == 1) armedAt_ = static_cast<int64_t>(now);
}

}  // namespace kvz::simcam
