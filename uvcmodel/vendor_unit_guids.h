// The driver's own identifiers of the camera family's vendor extension units, searched in this
// order, and of the unit that runs the private test stream.
#pragma once
#include <wdm.h>

namespace kvz {

constexpr ULONG kVendorUnitGuidCount = 3;
extern const GUID VendorUnitGuids[kVendorUnitGuidCount];
extern const GUID TestUnitGuid;

}  // namespace kvz
