// Internal device-control requests that a USB client driver sends to the bus driver
// (IRP_MJ_INTERNAL_DEVICE_CONTROL; FILE_DEVICE_USB, METHOD_NEITHER).
#pragma once

#include "ntdef.h"

#define IOCTL_INTERNAL_USB_SUBMIT_URB 0x00220003u          // Argument1: the URB
#define IOCTL_INTERNAL_USB_RESET_PORT 0x00220007u
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS 0x00220013u     // Argument1: ULONG* of USBD_PORT_* bits
#define IOCTL_INTERNAL_USB_CYCLE_PORT 0x0022001Fu
#define IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION 0x00220027u  // type-3 input: USB_IDLE_CALLBACK_INFO

#define USBD_PORT_ENABLED 0x00000001
#define USBD_PORT_CONNECTED 0x00000002

// Called by the bus at PASSIVE_LEVEL when the device may be suspended; the client powers it down
// (D2) before returning.
typedef VOID (*USB_IDLE_CALLBACK)(PVOID Context);

typedef struct _USB_IDLE_CALLBACK_INFO {
  USB_IDLE_CALLBACK IdleCallback;
  PVOID IdleContext;
} USB_IDLE_CALLBACK_INFO, *PUSB_IDLE_CALLBACK_INFO;

static_assert(sizeof(USB_IDLE_CALLBACK_INFO) == 2 * sizeof(void*), "layout");
