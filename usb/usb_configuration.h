// The USB I/O of a camera's start: reading its descriptors and selecting its configuration with
// the video control and streaming interfaces the descriptor model finds.
#pragma once
#include <wdm.h>
#include <usb.h>
#include <usbdlib.h>

#include "uvcmodel/uvc_model.h"

namespace kvz {

class UsbDevice;

// Reads a descriptor of *length bytes into a new pool block (*buffer, freed by the caller with
// ExFreePool, also on failure); *length becomes the bytes transferred. A configuration
// descriptor is read again once with its wTotalLength, and *length becomes the bytes usable:
// min(transferred, wTotalLength); a configuration header that is short, of another type or
// whose wTotalLength is below 9 is STATUS_DEVICE_DATA_ERROR. PASSIVE_LEVEL.
NTSTATUS ReadUsbDescriptor(UsbDevice* device, PUCHAR* buffer, PULONG length, UCHAR type);

// Selects alternate setting 0 of the first video control interface with its interrupt endpoint
// and of the first video streaming interface. *bulk: the streaming interface has its endpoint in
// alternate setting 0 (the model's bandwidth table is cleared then); an isochronous streaming
// interface's descriptor is given room for the pipe its other settings bring. The caller frees
// *interruptInterface (when handed out) with ExFreePool; streamingInterface is the caller's
// record with room for one pipe. PASSIVE_LEVEL.
NTSTATUS SelectUsbConfiguration(UsbDevice* device, UvcModel* model, PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                ULONG length, PUSBD_INTERFACE_INFORMATION* interruptInterface,
                                PUSBD_INTERFACE_INFORMATION streamingInterface,
                                USBD_CONFIGURATION_HANDLE* configurationHandle, PULONG bulk);

}  // namespace kvz
