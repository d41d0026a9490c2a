// The kernel-streaming device dispatch shared by the test devices: T is made in pool memory at
// add, kept in the device's object bag (freed with it), started, released and marked removed.
// T needs a constructor from the PKSDEVICE, Start(), Release() and GetUsbDevice(), and derives
// from CameraDeviceControls (the device context the driver's handlers expect).
#pragma once
#include <new>

#include "driver/controls/camera_device_controls.h"
#include "ks.h"
#include "primitives/driver_memory.h"
#include "usb/usb_device.h"

namespace kvz::drivertest {

template <class T, ULONG Tag>
struct TestDeviceDispatch {
  static inline T* last = nullptr;  // the newest device still alive

  static T* FromKs(PKSDEVICE device) {
    return static_cast<T*>(static_cast<CameraDeviceControls*>(device->Context));
  }

  static VOID NTAPI Free(PVOID item) {
    auto* device = static_cast<T*>(item);
    if (last == device) last = nullptr;
    device->~T();
    ExFreePool(device);
  }

  static NTSTATUS NTAPI Add(PKSDEVICE device) {
    void* block = ExAllocatePoolWithTag(DriverPoolType, sizeof(T), Tag);
    if (!block) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(block, sizeof(T));
    auto* camera = new (block) T(device);
    KsAcquireDevice(device);
    NTSTATUS status = KsAddItemToObjectBag(device->Bag, camera, Free);
    KsReleaseDevice(device);
    if (!NT_SUCCESS(status)) {
      Free(camera);
      return status;
    }
    device->Context = static_cast<CameraDeviceControls*>(camera);
    last = camera;
    return STATUS_SUCCESS;
  }

  static NTSTATUS NTAPI Start(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    return FromKs(device)->Start();
  }
  static VOID NTAPI Stop(PKSDEVICE device, PIRP) { FromKs(device)->Release(); }
  static VOID NTAPI Remove(PKSDEVICE device, PIRP) { FromKs(device)->GetUsbDevice()->MarkRemoved(); }
  static NTSTATUS NTAPI QueryCapabilities(PKSDEVICE, PIRP, PDEVICE_CAPABILITIES capabilities) {
    capabilities->SurpriseRemovalOK = 1;
    return STATUS_SUCCESS;
  }

  static inline const KSDEVICE_DISPATCH dispatch = {Add,     Start,   nullptr, nullptr, nullptr, Stop,    nullptr,
                                                     nullptr, Remove,  QueryCapabilities, Remove, nullptr, nullptr,
                                                     nullptr};
  static inline const KSDEVICE_DESCRIPTOR descriptor = {&dispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION, 0x110};
};

}  // namespace kvz::drivertest
