// What the camera device's start and stop do for the descriptors: read them, parse the
// configuration and select it; and release it all again.
#pragma once

#include <new>

#include "primitives/driver_memory.h"
#include "driver/pins/unit_container.h"
#include "usb/usb_configuration.h"
#include "uvcmodel/descriptor_rules.h"
#include "usb_bench.h"

namespace kvz::usbtest {

inline VOID StopCamera(TestCameraDevice& d) {
  d.formats.Release();
  if (d.units) {
    d.units->~UnitContainer();
    ExFreePool(d.units);
    d.units = nullptr;
  }
  for (PVOID* p : {reinterpret_cast<PVOID*>(&d.deviceDescriptor), reinterpret_cast<PVOID*>(&d.configuration),
                   reinterpret_cast<PVOID*>(&d.interruptInterface), reinterpret_cast<PVOID*>(&d.streamingInterface)}) {
    if (*p) ExFreePool(*p);
    *p = nullptr;
  }
}

// Stops after parsing when select is false.
inline NTSTATUS StartCamera(TestCameraDevice& d, bool select = true, ULONG firstInterface = 0) {
  if (!d.usb.HasClassRequestSender()) return STATUS_INSUFFICIENT_RESOURCES;
  PVOID block = ExAllocatePoolWithTag(DriverPoolType, sizeof(UnitContainer), kTagUnitContainer);
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(block, sizeof(UnitContainer));
  d.units = new (block) UnitContainer(&d);
  ULONG length = kDeviceDescriptorLength;
  NTSTATUS status = ReadUsbDescriptor(&d.usb, &d.deviceDescriptor, &length, 1);
  if (NT_SUCCESS(status)) status = CheckDeviceDescriptor(d.deviceDescriptor, length, &d.usb3);
  if (!NT_SUCCESS(status)) return status;
  d.units->SetUsb3(d.usb3);
  d.configurationLength = kConfigurationDescriptorLength;
  status = ReadUsbDescriptor(&d.usb, &d.configuration, &d.configurationLength, 2);
  if (!NT_SUCCESS(status)) return status;
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.configuration);
  status = d.units->ParseConfigurationDescriptor(config, d.configurationLength, &d.filterAutomation, d.nodes,
                                                 &d.nodeCount, firstInterface);
  if (!NT_SUCCESS(status)) return status;
  if (d.units->Model()->HasStreamingInterface()) d.formats.Build(*d.units->Model());
  // As the filter: a still pin when the still table has ranges.
  const PKSDATARANGE* ranges = nullptr;
  if (d.formats.GetFormatList(&ranges, 3)) d.pinCount = 3;
  if (!select) return status;
  d.streamingInterface = static_cast<PUSBD_INTERFACE_INFORMATION>(
      ExAllocatePoolWithTag(DriverPoolType, sizeof(USBD_INTERFACE_INFORMATION), 'tsIS'));
  if (!d.streamingInterface) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(d.streamingInterface, sizeof(USBD_INTERFACE_INFORMATION));
  return SelectUsbConfiguration(&d.usb, d.units->Model(), config, d.configurationLength, &d.interruptInterface,
                                d.streamingInterface, &d.configurationHandle, &d.bulk);
}

}  // namespace kvz::usbtest
