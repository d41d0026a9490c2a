// The Windows version as the driver tests it: one set of version codes and the few questions the
// layers ask of the running system.
#pragma once
#include <wdm.h>

namespace kvz {

// What GetWindowsVersionCode answers. Windows 8.1 answers as Windows 8, anything newer than
// Windows 10 as Windows 10.
enum WindowsVersionCode : int {
  kWindowsXp = 0,
  kWindows2000 = 1,
  kWindowsOlder = 3,
  kWindowsVista = 4,
  kWindows7 = 5,
  kWindows8 = 6,
  kWindows10 = 10,
};

int GetWindowsVersionCode();
// Windows 7 (6.1) or an earlier system.
bool IsWindows7OrEarlier();
// Windows 8 (6.2) or a later system; false when the version cannot be read.
bool IsWindows8OrLater();
// Windows 10 build 10587 or a later system (any later major or minor version).
bool IsWindows10Build10587OrLater();

}  // namespace kvz
