// A tiny PnP function driver run through the PnP manager: load, add, start, device interface and
// a client's requests, power, shutdown, work item, removal, unload - and a clean unload check.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel_checks.h"
#include "kvz/io_client.h"
#include "kvz/io_testing.h"
#include "kvz/kernel_testing.h"
#include "kvz/pnp_manager.h"
#include "kvz/registry_testing.h"
#include "wdm.h"

namespace {

using namespace kvz::kernel;

const GUID kInterface = {0x1f2e3d4c, 0x1111, 0x2222, {0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa}};
constexpr ULONG kRunTest = CTL_CODE(FILE_DEVICE_UNKNOWN, 0xF01, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct Extension {
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lower;
  PDEVICE_OBJECT pdo;
  UNICODE_STRING link;
  std::vector<std::string>* log;
  PIO_WORKITEM workItem;
  KEVENT workDone;
  DEVICE_POWER_STATE power;
  std::u16string lastImage;
  std::u16string lastDesktop;
};

std::vector<std::string> g_log;
LONGLONG g_workLinger = 0;  // 100-ns units the work routine stays after it has signalled

NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Forwards to the lower device and waits for it to finish first.
NTSTATUS ForwardAndWait(Extension* ext, PIRP irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalEvent, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(ext->lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

VOID NTAPI WorkRoutine(PDEVICE_OBJECT device, PVOID context) {
  auto* ext = static_cast<Extension*>(device->DeviceExtension);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(context, ext);
  ext->log->push_back("work item");
  KeSetEvent(&ext->workDone, IO_NO_INCREMENT, FALSE);
  if (g_workLinger) {
    LARGE_INTEGER linger;
    linger.QuadPart = -g_workLinger;
    KeDelayExecutionThread(KernelMode, FALSE, &linger);
  }
}

NTSTATUS NTAPI Pnp(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<Extension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = ForwardAndWait(ext, irp);
      ext->log->push_back(NT_SUCCESS(status) ? "start after lower" : "start failed below");
      if (NT_SUCCESS(status)) status = IoSetDeviceInterfaceState(&ext->link, TRUE);
      if (NT_SUCCESS(status)) IoRegisterShutdownNotification(device);
      irp->IoStatus.Status = status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    case IRP_MN_QUERY_CAPABILITIES:
      status = ForwardAndWait(ext, irp);
      stack->Parameters.DeviceCapabilities.Capabilities->SurpriseRemovalOK = 1;
      ext->log->push_back("capabilities");
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    case IRP_MN_REMOVE_DEVICE: {
      ext->log->push_back("remove");
      IoSetDeviceInterfaceState(&ext->link, FALSE);
      RtlFreeUnicodeString(&ext->link);
      IoFreeWorkItem(ext->workItem);
      IoSkipCurrentIrpStackLocation(irp);
      status = IoCallDriver(ext->lower, irp);
      IoDetachDevice(ext->lower);
      ext->~Extension();
      IoDeleteDevice(device);
      return status;
    }
    default:
      ext->log->push_back("pnp minor " + std::to_string(stack->MinorFunction));
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(ext->lower, irp);
  }
}

NTSTATUS NTAPI Power(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<Extension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
    ext->power = stack->Parameters.Power.State.DeviceState;
    PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
    ext->log->push_back("D" + std::to_string(ext->power - 1));
  }
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(ext->lower, irp);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

std::u16string TakeName(NTSTATUS (*query)(PEPROCESS, PUNICODE_STRING*)) {
  PUNICODE_STRING name = nullptr;
  if (!NT_SUCCESS(query(IoGetCurrentProcess(), &name))) return u"?";
  std::u16string text(name->Buffer, name->Length / 2);
  ExFreePool(name);
  return text;
}

NTSTATUS NTAPI Create(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<Extension*>(device->DeviceExtension);
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  std::u16string name(file->FileName.Buffer, file->FileName.Length / 2);
  ext->log->push_back("create " + std::string(name.begin(), name.end()));
  ext->lastImage = TakeName(SeLocateProcessImageName);
  ext->lastDesktop = TakeName(KvzQueryProcessDesktopName);
  file->FsContext = ext;
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI Close(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<Extension*>(device->DeviceExtension);
  UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  ext->log->push_back(major == IRP_MJ_CLEANUP ? "cleanup" : "close");
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<Extension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  EXPECT_EQ(stack->FileObject->FsContext, ext);
  if (stack->Parameters.DeviceIoControl.IoControlCode != kRunTest) return Complete(irp, STATUS_NOT_SUPPORTED);
  if (stack->Parameters.DeviceIoControl.OutputBufferLength < 4) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
  *static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer) = 0xBEEF;
  // Hand the rest of the request to a work item, as a driver does for slow work.
  KeClearEvent(&ext->workDone);
  IoQueueWorkItem(ext->workItem, WorkRoutine, DelayedWorkQueue, ext);
  KeWaitForSingleObject(&ext->workDone, Executive, KernelMode, FALSE, nullptr);
  return Complete(irp, STATUS_SUCCESS, 4);
}

NTSTATUS NTAPI Shutdown(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<Extension*>(device->DeviceExtension);
  ext->log->push_back("shutdown");
  IoUnregisterShutdownNotification(device);
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* ext = new (device->DeviceExtension) Extension{};
  ext->self = device;
  ext->pdo = pdo;
  ext->log = &g_log;
  ext->power = PowerDeviceD0;
  KeInitializeEvent(&ext->workDone, NotificationEvent, FALSE);
  ext->workItem = IoAllocateWorkItem(device);
  UNICODE_STRING reference;
  RtlInitUnicodeString(&reference, u"ZEMT");
  status = IoRegisterDeviceInterface(pdo, &kInterface, &reference, &ext->link);
  if (!NT_SUCCESS(status)) return status;
  ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags |= DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  ext->log->push_back("add");
  return STATUS_SUCCESS;
}

bool g_unloaded = false;
VOID NTAPI Unload(PDRIVER_OBJECT) { g_unloaded = true; }

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  std::u16string path(registryPath->Buffer, registryPath->Length / 2);
  EXPECT_EQ(path, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kvztiny");
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  driver->MajorFunction[IRP_MJ_PNP] = Pnp;
  driver->MajorFunction[IRP_MJ_POWER] = Power;
  driver->MajorFunction[IRP_MJ_CREATE] = Create;
  driver->MajorFunction[IRP_MJ_CLOSE] = Close;
  driver->MajorFunction[IRP_MJ_CLEANUP] = Close;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
  driver->MajorFunction[IRP_MJ_SHUTDOWN] = Shutdown;
  return STATUS_SUCCESS;
}

struct PowerResult {
  KEVENT done;
  NTSTATUS status = STATUS_PENDING;
  UCHAR minor = 0xFF;
  PDEVICE_OBJECT target = nullptr;
};

VOID NTAPI PowerDone(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE, PVOID context, PIO_STATUS_BLOCK iosb) {
  auto* result = static_cast<PowerResult*>(context);
  result->status = iosb->Status;
  result->minor = minor;
  result->target = device;
  KeSetEvent(&result->done, IO_NO_INCREMENT, FALSE);
}

DeviceDescription Camera() {
  DeviceDescription d;
  d.instanceId = u"USB\\VID_1234&PID_5678&MI_00\\6&2f3a&0&0000";
  d.hardwareIds = {u"USB\\VID_1234&PID_5678&REV_0100&MI_00", u"USB\\VID_1234&PID_5678&MI_00"};
  d.driverKeyName = u"{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0003";
  return d;
}

TEST(PnpManager, TinyDriverLivesThroughItsWholeLifeAndUnloadsClean) {
  g_log.clear();
  g_unloaded = false;
  std::unique_ptr<LoadedDriver> driver;
  ASSERT_EQ(LoadedDriver::Load(DriverEntry, u"kvztiny", &driver), STATUS_SUCCESS);
  std::unique_ptr<PnpDevice> device;
  ASSERT_EQ(PnpDevice::Add(*driver, Camera(), nullptr, &device), STATUS_SUCCESS);
  EXPECT_TRUE(EnabledDeviceInterfaces(kInterface).empty()) << "registered, not enabled before start";

  ASSERT_EQ(device->Start(), STATUS_SUCCESS);
  DEVICE_CAPABILITIES caps{};
  EXPECT_EQ(device->QueryCapabilities(&caps), STATUS_SUCCESS);
  EXPECT_TRUE(caps.SurpriseRemovalOK);
  EXPECT_TRUE(caps.Removable) << "from the bus";
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);

  // Properties of the physical device object.
  WCHAR key[100];
  ULONG length = 0;
  EXPECT_EQ(IoGetDeviceProperty(device->Pdo(), DevicePropertyDriverKeyName, 4, key, &length), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, (Camera().driverKeyName.size() + 1) * 2);
  EXPECT_EQ(IoGetDeviceProperty(device->Pdo(), DevicePropertyDriverKeyName, sizeof(key), key, &length), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(key), Camera().driverKeyName);
  WCHAR ids[200];
  EXPECT_EQ(IoGetDeviceProperty(device->Pdo(), DevicePropertyHardwareID, sizeof(ids), ids, &length), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(ids), Camera().hardwareIds[0]);
  EXPECT_EQ(std::u16string(ids + Camera().hardwareIds[0].size() + 1), Camera().hardwareIds[1]);
  EXPECT_EQ(ids[length / 2 - 1], 0);
  EXPECT_EQ(ids[length / 2 - 2], 0) << "REG_MULTI_SZ ends with two terminators";
  EXPECT_EQ(IoGetDeviceProperty(device->Top(), DevicePropertyDriverKeyName, sizeof(key), key, &length),
            STATUS_INVALID_DEVICE_REQUEST)
      << "only a physical device object has properties";

  // A client opens the private interface and runs its request.
  auto links = EnabledDeviceInterfaces(kInterface);
  ASSERT_EQ(links.size(), 1u);
  EXPECT_EQ(links[0], u"\\??\\USB#VID_1234&PID_5678&MI_00#6&2f3a&0&0000#{1f2e3d4c-1111-2222-3344-5566778899aa}\\ZEMT");
  {
    ProcessScope process(ProcessIdentity{u"\\Device\\HarddiskVolume2\\Apps\\cam.exe", u"WinSta0\\Default"});
    std::unique_ptr<ClientFile> file;
    ASSERT_EQ(ClientFile::Open(links[0], &file), STATUS_SUCCESS);
    auto* ext = static_cast<Extension*>(device->Top()->DeviceExtension);
    EXPECT_EQ(ext->lastImage, u"\\Device\\HarddiskVolume2\\Apps\\cam.exe");
    EXPECT_EQ(ext->lastDesktop, u"WinSta0\\Default");
    ULONG result = 0;
    ULONG_PTR information = 0;
    EXPECT_EQ(file->DeviceIoControl(kRunTest, nullptr, 0, &result, sizeof(result), &information), STATUS_SUCCESS);
    EXPECT_EQ(result, 0xBEEFu);
    EXPECT_EQ(information, 4u);
    EXPECT_EQ(file->DeviceIoControl(kRunTest, nullptr, 0, &result, 2, &information), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(file->Close(), STATUS_SUCCESS);
  }

  // Power: a request from the driver side and a set-power from the PnP manager.
  PowerResult power;
  KeInitializeEvent(&power.done, NotificationEvent, FALSE);
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  EXPECT_EQ(PoRequestPowerIrp(device->Pdo(), IRP_MN_SET_POWER, d3, PowerDone, &power, nullptr), STATUS_PENDING);
  KeWaitForSingleObject(&power.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(power.status, STATUS_SUCCESS);
  EXPECT_EQ(power.minor, IRP_MN_SET_POWER);
  EXPECT_EQ(power.target, device->Pdo());
  EXPECT_EQ(device->SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);

  SystemShutdown();
  SystemShutdown();  // the driver unregistered on the first

  EXPECT_EQ(device->Remove(), STATUS_SUCCESS);
  EXPECT_TRUE(EnabledDeviceInterfaces(kInterface).empty());
  device.reset();
  driver->Unload();
  EXPECT_TRUE(g_unloaded);
  EXPECT_EQ(g_log, (std::vector<std::string>{"add", "start after lower", "capabilities", "create \\ZEMT", "work item",
                                             "cleanup", "close", "D3", "D0", "shutdown", "remove"}));
  EXPECT_CLEAN_UNLOAD();
}

// A device described without a driver key gets its instance's key from before, else the first free
// one; the key is recorded under the instance's Enum key, which the registry file keeps.
TEST(PnpManager, EachDeviceInstanceKeepsItsOwnDriverKey) {
  ResetRegistry();
  CreateRegistryKey(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                    u"{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0000");  // a device installed before
  std::unique_ptr<LoadedDriver> driver;
  ASSERT_EQ(LoadedDriver::Load(DriverEntry, u"kvztiny", &driver), STATUS_SUCCESS);
  auto keyOf = [&](const std::u16string& instance) {
    DeviceDescription d = Camera();
    d.instanceId = instance;
    d.driverKeyName.clear();
    std::unique_ptr<PnpDevice> device;
    EXPECT_EQ(PnpDevice::Add(*driver, d, nullptr, &device), STATUS_SUCCESS);
    WCHAR key[100] = {};
    ULONG length = 0;
    EXPECT_EQ(IoGetDeviceProperty(device->Pdo(), DevicePropertyDriverKeyName, sizeof(key), key, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(key), device->DriverKeyName());
    EXPECT_EQ(device->Remove(), STATUS_SUCCESS);
    return device->DriverKeyName();
  };
  const std::u16string first = u"USB\\VID_1234&PID_5678&MI_00\\6&2f3a&0&0001";
  EXPECT_EQ(keyOf(first), u"{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0001");
  EXPECT_EQ(keyOf(u"USB\\VID_1234&PID_5679&MI_00\\6&2f3a&0&0001"), u"{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0002");
  EXPECT_EQ(keyOf(first), u"{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0001") << "the same instance, its own key again";
  EXPECT_EQ(GetRegistryValue(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\" + first, u"Driver")->String(),
            u"{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0001");
  driver->Unload();
  ResetRegistry();
  EXPECT_CLEAN_UNLOAD();
}

TEST(PnpManager, DeviceLeftBehindByAnUnloadedDriverIsReported) {
  g_log.clear();
  std::unique_ptr<LoadedDriver> driver;
  ASSERT_EQ(LoadedDriver::Load(DriverEntry, u"kvztiny", &driver), STATUS_SUCCESS);
  PDEVICE_OBJECT orphan = nullptr;
  ASSERT_EQ(IoCreateDevice(driver->Object(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &orphan), STATUS_SUCCESS);
  driver->Unload();
  UnloadReport report = CheckUnload();
  EXPECT_FALSE(report.clean);
  EXPECT_NE(report.text.find("not deleted"), std::string::npos) << report.text;
  IoDeleteDevice(orphan);
  EXPECT_CLEAN_UNLOAD();
}

// The device reference of an I/O work item keeps its driver loaded until the routine returns, so
// an unload right after the request waits for the routine's tail.
TEST(PnpManager, UnloadWaitsForAnIoWorkItemStillRunning) {
  g_log.clear();
  g_workLinger = 2 * 10'000'000LL;
  std::unique_ptr<LoadedDriver> driver;
  ASSERT_EQ(LoadedDriver::Load(DriverEntry, u"kvztiny", &driver), STATUS_SUCCESS);
  std::unique_ptr<PnpDevice> device;
  ASSERT_EQ(PnpDevice::Add(*driver, Camera(), nullptr, &device), STATUS_SUCCESS);
  ASSERT_EQ(device->Start(), STATUS_SUCCESS);
  auto links = EnabledDeviceInterfaces(kInterface);
  ASSERT_EQ(links.size(), 1u);
  {
    std::unique_ptr<ClientFile> file;
    ASSERT_EQ(ClientFile::Open(links[0], &file), STATUS_SUCCESS);
    ULONG result = 0;
    ULONG_PTR information = 0;
    EXPECT_EQ(file->DeviceIoControl(kRunTest, nullptr, 0, &result, sizeof(result), &information), STATUS_SUCCESS);
    EXPECT_EQ(file->Close(), STATUS_SUCCESS);
  }
  EXPECT_EQ(device->Remove(), STATUS_SUCCESS);
  device.reset();
  const LONGLONG before = KeQueryInterruptTime();
  driver->Unload();
  g_workLinger = 0;
  EXPECT_GE(KeQueryInterruptTime() - before, 2 * 10'000'000LL - 10'000);
  EXPECT_CLEAN_UNLOAD();
}

TEST(PnpManager, SurpriseRemovalThenRemove) {
  g_log.clear();
  std::unique_ptr<LoadedDriver> driver;
  ASSERT_EQ(LoadedDriver::Load(DriverEntry, u"kvztiny", &driver), STATUS_SUCCESS);
  std::unique_ptr<PnpDevice> device;
  ASSERT_EQ(PnpDevice::Add(*driver, Camera(), nullptr, &device), STATUS_SUCCESS);
  ASSERT_EQ(device->Start(), STATUS_SUCCESS);
  EXPECT_EQ(device->SurpriseRemove(), STATUS_SUCCESS);
  EXPECT_EQ(device->Remove(), STATUS_SUCCESS);
  device.reset();
  driver->Unload();
  EXPECT_EQ(g_log, (std::vector<std::string>{"add", "start after lower", "pnp minor 23", "remove"}));
  EXPECT_CLEAN_UNLOAD();
}

}  // namespace
