#include "tool_machine.h"

namespace kvz::capture {

namespace {

kernel::ProcessIdentity ToolProcess() {
  kernel::ProcessIdentity identity;
  identity.imagePath = u"\\Device\\HarddiskVolume2\\Program Files\\kvzcam\\kvzcam-capture.exe";
  identity.desktop = u"WinSta0\\Default";
  return identity;
}

kernel::SystemVersion VersionOf(std::optional<uint32_t> build) {
  if (!build) return kernel::SystemVersion{};
  return WindowsOfBuild(*build).value_or(kernel::SystemVersion{});
}

}  // namespace

std::optional<kernel::SystemVersion> WindowsOfBuild(uint32_t build) {
  if (build < kFirstWindowsBuild) return std::nullopt;
  kernel::SystemVersion v;
  if (build < 6000) v = kernel::SystemVersion::WindowsXp();
  else if (build < 7600) v = kernel::SystemVersion::Vista();
  else if (build < 9200) v = kernel::SystemVersion::Windows7();
  else if (build < 9600) v = kernel::SystemVersion::Windows8();
  else if (build < 10240) v = kernel::SystemVersion::Windows81();
  else v = kernel::SystemVersion::Windows10(build);
  if (v.build != build) {
    v.build = build;
    v.servicePackMajor = v.servicePackMinor = 0;
  }
  return v;
}

bool DriverTurnsPicture(const kernel::SystemVersion& version) {
  return version.major < 10 || (version.major == 10 && version.minor == 0 && version.build < 10587);
}

ToolMachine::ToolMachine(std::optional<uint32_t> windowsBuild)
    : version_(VersionOf(windowsBuild)), process_(ToolProcess()) {
  kernel::SetSystemVersion(version_);
}

}  // namespace kvz::capture
