#include "usb/unit_container.h"

namespace kvz {

USHORT VendorUnitIndex = 0;
USHORT SecondVendorUnitIndex = 0x00FF;

}  // namespace kvz
