// USBD library routines and request-block builders for USB client drivers.
#pragma once

#include "usbdi.h"

typedef struct _USBD_INTERFACE_LIST_ENTRY {
  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;  // null ends the list
  PUSBD_INTERFACE_INFORMATION Interface;          // set by USBD_CreateConfigurationRequestEx
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

extern "C" {

// The first interface descriptor at or after StartPosition inside the configuration (wTotalLength
// bytes) that matches every criterion that is not -1; null when none does.
PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol);

// A select-configuration URB from non-paged pool (free with ExFreePool) with one interface record
// per list entry, each with room for bNumEndpoints pipes; every entry's Interface points at its
// record inside the URB. Null when the list is empty or the pool is exhausted.
PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                              PUSBD_INTERFACE_LIST_ENTRY InterfaceList);
}

#define GET_USBD_INTERFACE_SIZE(numEndpoints) \
  (sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION) * (numEndpoints) - \
   sizeof(USBD_PIPE_INFORMATION))

#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes) \
  (sizeof(struct _URB_SELECT_INTERFACE) + ((totalPipes) - 1) * sizeof(USBD_PIPE_INFORMATION))

#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)                    \
  (sizeof(struct _URB_SELECT_CONFIGURATION) +                                                 \
   ((totalInterfaces) - 1) * sizeof(USBD_INTERFACE_INFORMATION) +                             \
   ((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION))

#define GET_ISO_URB_SIZE(n) \
  (sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * (n))

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer,         \
                                               transferBufferMDL, transferBufferLength,        \
                                               transferFlags, link)                            \
  do {                                                                                         \
    (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                       \
    (urb)->UrbHeader.Length = (USHORT)(length);                                                \
    (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                               \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);           \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                 \
    (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                       \
    (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                         \
    (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                        \
  } while (0)

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId,  \
                                     transferBuffer, transferBufferMDL, transferBufferLength,  \
                                     link)                                                     \
  do {                                                                                         \
    (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                       \
    (urb)->UrbHeader.Length = (USHORT)(length);                                                \
    (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);          \
    (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                \
    (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                      \
    (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                      \
    (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                              \
    (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                              \
    (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                       \
  } while (0)

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)               \
  do {                                                                                         \
    (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                             \
    (urb)->UrbHeader.Length = (USHORT)(length);                                                \
    (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor);         \
  } while (0)

#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber,      \
                                       alternateSetting)                                       \
  do {                                                                                         \
    (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                                 \
    (urb)->UrbHeader.Length = (USHORT)(length);                                                \
    (urb)->UrbSelectInterface.Interface.AlternateSetting = (alternateSetting);                 \
    (urb)->UrbSelectInterface.Interface.InterfaceNumber = (interfaceNumber);                   \
    (urb)->UrbSelectInterface.Interface.Length =                                               \
        (USHORT)((length) - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE));   \
    (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);                     \
  } while (0)

#define UsbBuildVendorRequest(urb, function, length, transferFlags, reservedBits, request,     \
                              value, index, transferBuffer, transferBufferMDL,                 \
                              transferBufferLength, link)                                      \
  do {                                                                                         \
    (urb)->UrbHeader.Function = (function);                                                    \
    (urb)->UrbHeader.Length = (USHORT)(length);                                                \
    (urb)->UrbControlVendorClassRequest.TransferBufferLength = (transferBufferLength);         \
    (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);               \
    (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                     \
    (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reservedBits);              \
    (urb)->UrbControlVendorClassRequest.Request = (request);                                   \
    (urb)->UrbControlVendorClassRequest.Value = (value);                                       \
    (urb)->UrbControlVendorClassRequest.Index = (index);                                       \
    (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);                       \
    (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                      \
  } while (0)
