#include "usb/usbd_status.h"

namespace kvz {

NTSTATUS UsbdStatusToNtStatus(USBD_STATUS status) {
  if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
  switch (status) {
    case USBD_STATUS_DEVICE_GONE:
      return STATUS_NO_SUCH_DEVICE;
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
    case USBD_STATUS_NO_BANDWIDTH:
      return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_CANCELED:
      return STATUS_CANCELLED;
    case USBD_STATUS_TIMEOUT:
      return STATUS_IO_TIMEOUT;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
      return STATUS_INVALID_PARAMETER;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

}  // namespace kvz
