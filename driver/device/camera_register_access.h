// One-byte camera registers behind the vendor extension unit: the address (selector 2, two
// bytes) and then the data (selector 3, one byte), sent as one indivisible pair under the
// device's register lock, so that client requests, the sensor set-up, the flicker detector, the
// test poll and chip identification never interleave their halves. Every pair of the driver goes
// through the one path of common/sensor_register.h; these check that the vendor unit announces
// both selectors and send each half as that unit's control request, so the unit's selector 2 and
// 3 controls keep the lengths of the pair (2 and 1) afterwards.
#pragma once
#include <wdm.h>

namespace kvz {

class ExtensionUnitHandler;

// The data transfer runs only when the address was accepted; the status of the last transfer.
NTSTATUS ReadCameraRegister(ExtensionUnitHandler* vendorUnit, USHORT address, UCHAR* value);
NTSTATUS WriteCameraRegister(ExtensionUnitHandler* vendorUnit, USHORT address, UCHAR value);

}  // namespace kvz
