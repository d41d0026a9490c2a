// Operating-system version tests of the device core.
#pragma once
#include <wdm.h>

namespace kvz {

// Windows 10 build 10587 or a later system (any later major or minor version).
bool IsWindows10Build10587OrLater();

}  // namespace kvz
