#include "usb/usb_configuration.h"

#include <usb100.h>

#include "primitives/driver_memory.h"
#include "usb/usb_device.h"
#include "usb/usb_limits.h"
#include "usb/usbd_status.h"
#include "uvcmodel/descriptor_rules.h"
#include "uvcmodel/uvc_limits.h"

namespace kvz {

namespace {

constexpr ULONG kIsochAlternateEndpoints = 1;

NTSTATUS ReadDescriptorOnce(UsbDevice* device, PURB urb, PUCHAR* buffer, ULONG length, UCHAR type,
                            PULONG transferred) {
  *buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverPoolType, length, kTagDescriptor));
  if (!*buffer) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(*buffer, length);
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, *buffer, nullptr,
                               length, nullptr);
  NTSTATUS status = device->SubmitUrbSync(urb);
  if (NT_SUCCESS(status)) status = UsbdStatusToNtStatus(urb->UrbHeader.Status);
  ULONG got = urb->UrbControlDescriptorRequest.TransferBufferLength;
  *transferred = got < length ? got : length;
  return status;
}

}  // namespace

NTSTATUS ReadUsbDescriptor(UsbDevice* device, PUCHAR* buffer, PULONG length, UCHAR type) {
  PAGED_CODE();
  *buffer = nullptr;
  auto urb = static_cast<PURB>(
      ExAllocatePoolWithTag(DriverPoolType, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), kTagDescriptorUrb));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG transferred = 0;
  NTSTATUS status = ReadDescriptorOnce(device, urb, buffer, *length, type, &transferred);
  if (NT_SUCCESS(status) && type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    ULONG usable = 0;
    status = CheckConfigurationHeader(*buffer, transferred, &usable);
    const ULONG total = NT_SUCCESS(status) ? ReadWord(*buffer + 2) : 0;
    if (NT_SUCCESS(status) && total > transferred) {
      ExFreePoolWithTag(*buffer, kTagDescriptor);
      *buffer = nullptr;
      status = ReadDescriptorOnce(device, urb, buffer, total, type, &transferred);
      if (NT_SUCCESS(status)) status = CheckConfigurationHeader(*buffer, transferred, &usable);
    }
    transferred = usable;
  }
  *length = transferred;
  ExFreePoolWithTag(urb, kTagDescriptorUrb);
  return status;
}

NTSTATUS SelectUsbConfiguration(UsbDevice* device, UvcModel* model, PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                ULONG length, PUSBD_INTERFACE_INFORMATION* interruptInterface,
                                PUSBD_INTERFACE_INFORMATION streamingInterface,
                                USBD_CONFIGURATION_HANDLE* configurationHandle, PULONG bulk) {
  PAGED_CODE();
  auto* bytes = reinterpret_cast<PUCHAR>(configuration);
  ULONG usable = 0;
  NTSTATUS status = CheckConfigurationHeader(bytes, length, &usable);
  if (NT_SUCCESS(status)) status = ValidateConfiguration(bytes, usable);
  if (!NT_SUCCESS(status)) return status;
  const UCHAR* end = bytes + usable;
  *interruptInterface = nullptr;

  const ULONG interfaces = configuration->bNumInterfaces;
  const ULONG listBytes = (interfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
  auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(ExAllocatePoolWithTag(PagedPool, listBytes, kTagInterfaceList));
  if (!list) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(list, listBytes);

  // Alternate setting 0 of each interface number; the first control and streaming interfaces.
  ULONG listed = 0;
  ULONG found = 0;
  LONG controlEntry = -1;
  LONG streamingEntry = -1;
  for (ULONG number = 0; number < kMaxInterfaceNumbers && found < interfaces; ++number) {
    auto* d = const_cast<PUCHAR>(FindInterfaceDescriptor(bytes, end, static_cast<LONG>(number), 0));
    if (!d) continue;
    ++found;
    if (d[kInterfaceClass] != kVideoClass) continue;
    if (d[kInterfaceSubclass] == kVideoControlSubclass && controlEntry < 0 && d[kNumEndpoints] == 1) {
      controlEntry = static_cast<LONG>(listed);
      list[listed++].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
    } else if (d[kInterfaceSubclass] == kVideoStreamingSubclass && streamingEntry < 0) {
      streamingEntry = static_cast<LONG>(listed);
      list[listed++].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
      if (IsBulkStreamingInterface(d)) {
        *bulk = 1;
        model->ClearBandwidth();
      } else {
        // Room for the pipe the streaming alternate settings will bring.
        *bulk = 0;
        d[kNumEndpoints] = kIsochAlternateEndpoints;
      }
    }
  }

  PURB urb = listed ? USBD_CreateConfigurationRequestEx(configuration, list) : nullptr;
  if (!urb) {
    ExFreePoolWithTag(list, kTagInterfaceList);
    return listed ? STATUS_INSUFFICIENT_RESOURCES : STATUS_DEVICE_DATA_ERROR;
  }
  status = device->SubmitUrbSync(urb);
  if (NT_SUCCESS(status)) status = UsbdStatusToNtStatus(urb->UrbHeader.Status);
  if (NT_SUCCESS(status)) {
    *configurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    if (streamingEntry >= 0) {
      PUSBD_INTERFACE_INFORMATION selected = list[streamingEntry].Interface;
      RtlCopyMemory(streamingInterface, selected, sizeof(USBD_INTERFACE_INFORMATION));
      streamingInterface->Length = sizeof(USBD_INTERFACE_INFORMATION);
      if (streamingInterface->NumberOfPipes > 1) streamingInterface->NumberOfPipes = 1;
    }
    if (controlEntry >= 0) {
      auto* info = static_cast<PUSBD_INTERFACE_INFORMATION>(
          ExAllocatePoolWithTag(DriverPoolType, sizeof(USBD_INTERFACE_INFORMATION), kTagInterfaceInfo));
      if (info) {
        RtlCopyMemory(info, list[controlEntry].Interface, sizeof(USBD_INTERFACE_INFORMATION));
        info->Length = sizeof(USBD_INTERFACE_INFORMATION);
        if (info->NumberOfPipes > 1) info->NumberOfPipes = 1;
        *interruptInterface = info;
      } else {
        status = STATUS_INSUFFICIENT_RESOURCES;
      }
    }
  }
  ExFreePool(urb);
  ExFreePoolWithTag(list, kTagInterfaceList);
  return status;
}

}  // namespace kvz
