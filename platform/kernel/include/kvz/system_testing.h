// Test-side controls of the machine the driver runs on: system version, the folder behind
// \SystemRoot\, and which exported routines MmGetSystemRoutineAddress finds. Never included
// by driver code.
#pragma once
#include <cstdint>
#include <string>

namespace kvz::kernel {

struct SystemVersion {
  uint32_t major = 10;
  uint32_t minor = 0;
  uint32_t build = 19045;
  uint16_t servicePackMajor = 0;
  uint16_t servicePackMinor = 0;

  static SystemVersion WindowsXp() { return {5, 1, 2600, 3, 0}; }
  static SystemVersion Vista() { return {6, 0, 6002, 2, 0}; }
  static SystemVersion Windows7() { return {6, 1, 7601, 1, 0}; }
  static SystemVersion Windows8() { return {6, 2, 9200, 0, 0}; }
  static SystemVersion Windows81() { return {6, 3, 9600, 0, 0}; }
  static SystemVersion Windows10(uint32_t build) { return {10, 0, build, 0, 0}; }
};

// The version RtlGetVersion and RtlIsNtDdiVersionAvailable report; Windows 10 build 19045 until
// a test sets another.
void SetSystemVersion(const SystemVersion& version);
SystemVersion GetSystemVersion();
// The NTDDI value of the version (Windows 10 builds map to their NTDDI_WIN10_* revision).
uint32_t NtddiOf(const SystemVersion& version);
// NonPagedPoolNx exists from Windows 8 (6.2) on; before, asking for it is a bug check. The
// stand-ins' own non-paged allocations choose their pool type by this.
bool NxPoolAvailable();

// The host folder that \SystemRoot\ names. Empty (the default): no file under \SystemRoot\ exists.
void SetSystemRootFolder(const std::string& folder);
std::string GetSystemRootFolder();

// Makes MmGetSystemRoutineAddress answer null for one name (as an older system would), or find
// it again. ResetSystemRoutines makes every implemented routine visible.
void HideSystemRoutine(const std::u16string& name, bool hidden = true);
void ResetSystemRoutines();

}  // namespace kvz::kernel
