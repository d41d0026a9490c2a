// One-byte camera registers behind the vendor extension unit: selector 2 takes the 16-bit
// register address, selector 3 carries the data byte. The one path of every register pair the
// driver sends (chip identification and sensor set-up, the private test's poll, the flicker
// detector), each pair under the device's register lock.
#pragma once
#include <wdm.h>

#include "common/camera_services.h"

namespace kvz {

// The data transfer runs only when the address was accepted; a failed read leaves *value as it
// was. The result is the status of the last transfer made.
NTSTATUS ReadSensorRegister(CameraServices* device, USHORT address, UCHAR* value);
NTSTATUS WriteSensorRegister(CameraServices* device, USHORT address, UCHAR value);

}  // namespace kvz
