// System version as RtlGetVersion and RtlIsNtDdiVersionAvailable report it; set per test.
#include <atomic>
#include <mutex>

#include "kvz/system_testing.h"
#include "wdm.h"

namespace kvz::kernel {
namespace {
std::mutex g_versionLock;
SystemVersion g_version;
// Read by the pool on every allocation, without the lock.
std::atomic<bool> g_nxPool{true};
}  // namespace

void SetSystemVersion(const SystemVersion& version) {
  std::lock_guard<std::mutex> hold(g_versionLock);
  g_version = version;
  g_nxPool.store(version.major > 6 || (version.major == 6 && version.minor >= 2), std::memory_order_relaxed);
}

bool NxPoolAvailable() { return g_nxPool.load(std::memory_order_relaxed); }

SystemVersion GetSystemVersion() {
  std::lock_guard<std::mutex> hold(g_versionLock);
  return g_version;
}

uint32_t NtddiOf(const SystemVersion& v) {
  if (v.major >= 10) {
    // Windows 10 releases by first build: TH2, RS1 .. RS5, 19H1, VB (2004 to 22H2).
    static const uint32_t kFirstBuild[] = {10586, 14393, 15063, 16299, 17134, 17763, 18362, 19041};
    uint32_t revision = 0;
    for (uint32_t b : kFirstBuild)
      if (v.build >= b) ++revision;
    return (v.major << 24) | (v.minor << 16) | revision;
  }
  return (v.major << 24) | (v.minor << 16) | (static_cast<uint32_t>(v.servicePackMajor & 0xFF) << 8) |
         (v.servicePackMinor & 0xFF);
}

}  // namespace kvz::kernel

using namespace kvz::kernel;

extern "C" NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW info) {
  if (!info) return STATUS_INVALID_PARAMETER;
  // Like the kernel: the base record is always filled, the extended part only when the size
  // field announces it.
  const ULONG size = info->dwOSVersionInfoSize;
  SystemVersion v = GetSystemVersion();
  info->dwMajorVersion = v.major;
  info->dwMinorVersion = v.minor;
  info->dwBuildNumber = v.build;
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  RtlZeroMemory(info->szCSDVersion, sizeof(info->szCSDVersion));
  if (v.servicePackMajor) {
    static const char16_t kPrefix[] = u"Service Pack ";
    size_t n = 0;
    for (; kPrefix[n]; ++n) info->szCSDVersion[n] = kPrefix[n];
    info->szCSDVersion[n] = static_cast<WCHAR>(u'0' + v.servicePackMajor % 10);
  }
  if (size == sizeof(RTL_OSVERSIONINFOEXW)) {
    auto* ex = reinterpret_cast<PRTL_OSVERSIONINFOEXW>(info);
    ex->wServicePackMajor = v.servicePackMajor;
    ex->wServicePackMinor = v.servicePackMinor;
    ex->wSuiteMask = 0x100;  // VER_SUITE_SINGLEUSERTS, as a workstation reports
    ex->wProductType = VER_NT_WORKSTATION;
    ex->wReserved = 0;
  }
  return STATUS_SUCCESS;
}

extern "C" BOOLEAN NTAPI RtlIsNtDdiVersionAvailable(ULONG Version) {
  return Version <= NtddiOf(GetSystemVersion()) ? TRUE : FALSE;
}
