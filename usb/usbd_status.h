// An NTSTATUS for a request block that failed on the bus while its IRP succeeded.
#pragma once
#include <wdm.h>
#include <usb.h>

namespace kvz {

// STATUS_SUCCESS for a successful USBD status; a failure never maps to success.
NTSTATUS UsbdStatusToNtStatus(USBD_STATUS status);

}  // namespace kvz
