// The machine the tool boots the stand-in as: a Windows version chosen by its build number (the
// stand-in's own Windows 10 build 19045 unless asked otherwise), with the tool running as a user's
// program on the interactive desktop. Both decide whether the driver turns the picture for the
// rotation setting: from Windows 10 build 10587 on it leaves rotation to the system, and on
// Windows 8 up to that build it turns it only for programs on the interactive desktop.
#pragma once

#include <cstdint>
#include <optional>

#include "kvz/io_testing.h"
#include "kvz/system_testing.h"

namespace kvz::capture {

constexpr uint32_t kFirstWindowsBuild = 2600;  // Windows XP

// The version of a Windows build number (XP, Vista, 7, 8, 8.1 or 10); nothing below XP.
std::optional<kernel::SystemVersion> WindowsOfBuild(uint32_t build);

// Whether the driver turns the picture itself on that system.
bool DriverTurnsPicture(const kernel::SystemVersion& version);

// Sets the system version and runs the calling thread as the tool's process while it lives.
class ToolMachine {
 public:
  explicit ToolMachine(std::optional<uint32_t> windowsBuild);
  ToolMachine(const ToolMachine&) = delete;
  ToolMachine& operator=(const ToolMachine&) = delete;

  const kernel::SystemVersion& Version() const { return version_; }

 private:
  kernel::SystemVersion version_;
  kernel::ProcessScope process_;
};

}  // namespace kvz::capture
