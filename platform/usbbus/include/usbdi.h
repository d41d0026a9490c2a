// The USB driver interface: request blocks and the bus driver's internal device-control codes.
#pragma once

#include "usb.h"
#include "usbioctl.h"
