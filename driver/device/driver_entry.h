// The driver's entry point and the request hooks it puts in front of the kernel-streaming class
// driver: create, close and device control of the private "\ZEMT" channel are answered here,
// every other such request goes to the class driver's handler; cleanup and shutdown are the
// driver's own.
#pragma once
#include <wdm.h>

namespace kvz {

// The private test request: FILE_DEVICE_UNKNOWN, function 0xF01, METHOD_BUFFERED, FILE_ANY_ACCESS.
constexpr ULONG kIoctlPrivateTest = 0x223C04;

// Chooses the pool type, initialises the class driver with the camera device descriptor and
// installs the hooks; the class driver's status.
NTSTATUS NTAPI InitializeDriver(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
// The loader's entry point (what the PnP manager stand-in and the tools load).
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

NTSTATUS NTAPI CreateHook(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI CloseHook(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DeviceControlHook(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI CleanupDispatch(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI ShutdownDispatch(PDEVICE_OBJECT device, PIRP irp);

}  // namespace kvz
