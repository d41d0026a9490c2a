#include "common/system_version.h"

namespace kvz {

namespace {

constexpr ULONG kLastBuildBefore10587 = 10586;

RTL_OSVERSIONINFOW QueryVersion(NTSTATUS* status) {
  RTL_OSVERSIONINFOW version;
  RtlZeroMemory(&version, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  *status = RtlGetVersion(&version);
  return version;
}

}  // namespace

// Asked newest first, so each system answers with the newest version it has.
int GetWindowsVersionCode() {
  static const struct {
    ULONG ntddi;
    int code;
  } kVersions[] = {{NTDDI_WIN10, kWindows10}, {NTDDI_WIN8, kWindows8},   {NTDDI_WIN7, kWindows7},
                   {NTDDI_VISTA, kWindowsVista}, {NTDDI_WINXP, kWindowsXp}, {NTDDI_WIN2K, kWindows2000}};
  for (const auto& v : kVersions)
    if (RtlIsNtDdiVersionAvailable(v.ntddi)) return v.code;
  return kWindowsOlder;
}

bool IsWindows7OrEarlier() {
  NTSTATUS status;
  const RTL_OSVERSIONINFOW info = QueryVersion(&status);
  if (info.dwMajorVersion > 6) return false;
  return !(info.dwMajorVersion == 6 && info.dwMinorVersion > 1);
}

bool IsWindows8OrLater() {
  NTSTATUS status;
  const RTL_OSVERSIONINFOW v = QueryVersion(&status);
  return NT_SUCCESS(status) && (v.dwMajorVersion > 6 || (v.dwMajorVersion == 6 && v.dwMinorVersion >= 2));
}

bool IsWindows10Build10587OrLater() {
  NTSTATUS status;
  const RTL_OSVERSIONINFOW v = QueryVersion(&status);
  if (!NT_SUCCESS(status) || v.dwMajorVersion < 10) return false;
  return !(v.dwMajorVersion == 10 && v.dwMinorVersion == 0 && v.dwBuildNumber <= kLastBuildBefore10587);
}

}  // namespace kvz
