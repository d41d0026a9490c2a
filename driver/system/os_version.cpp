#include "driver/system/os_version.h"

namespace kvz {

bool IsWindows10Build10587OrLater() {
  RTL_OSVERSIONINFOW version;
  RtlZeroMemory(&version, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  if (!NT_SUCCESS(RtlGetVersion(&version))) return false;
  if (version.dwMajorVersion < 10) return false;
  if (version.dwMajorVersion == 10 && version.dwMinorVersion == 0 && version.dwBuildNumber <= 10586) return false;
  return true;
}

}  // namespace kvz
