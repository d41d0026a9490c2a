// Camera descriptors: a device descriptor (18 bytes) followed by a configuration, parsed and
// selected by the unit container of a device on the bus stand-in with a simulated camera behind
// it (the camera answers the control handlers' requests for its own units).
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include <ks.h>

#include "kvz/kernel_testing.h"
#include "kvz/pnp_manager.h"
#include "kvz/usb_bus.h"
#include "simcam/sim_camera.h"
#include "tests/usb/support/test_camera_device.h"
#include "primitives/driver_memory.h"
#include "driver/pins/format_table_builder.h"
#include "driver/pins/unit_container.h"
#include "usb/usb_configuration.h"
#include "uvcmodel/descriptor_rules.h"
#include "usb/usb_device.h"
#include "uvcmodel/vendor_unit_guids.h"

namespace {

using namespace kvz;

using FuzzDevice = usbtest::TestCameraDevice;

FuzzDevice* g_device = nullptr;

VOID NTAPI FreeDevice(PVOID item) { delete static_cast<FuzzDevice*>(item); }

NTSTATUS NTAPI Add(PKSDEVICE device) {
  auto* d = new FuzzDevice(device);
  KsAcquireDevice(device);
  KsAddItemToObjectBag(device->Bag, d, FreeDevice);
  KsReleaseDevice(device);
  device->Context = static_cast<CameraDeviceControls*>(d);
  g_device = d;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI Start(PKSDEVICE, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) { return STATUS_SUCCESS; }

const KSDEVICE_DISPATCH kDispatch = {Add, Start, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
const KSDEVICE_DESCRIPTOR kDescriptor = {&kDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION, 0x110};

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) { return KsInitializeDriver(driver, path, &kDescriptor); }

struct World {
  std::unique_ptr<kernel::KernelThreadScope> thread;
  std::unique_ptr<usb::UsbBus> bus;
  std::shared_ptr<simcam::SimCamera> camera;
  std::unique_ptr<kernel::LoadedDriver> driver;
  std::unique_ptr<kernel::PnpDevice> device;
};

World* g_world = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_world = new World();
  g_world->thread = std::make_unique<kernel::KernelThreadScope>("fuzz");
  g_world->bus = std::make_unique<usb::UsbBus>();
  simcam::VendorGuids guids;
  guids.vendorUnit = VendorUnitGuids[0];
  guids.testUnit = TestUnitGuid;
  g_world->camera = std::make_shared<simcam::SimCamera>(simcam::HighSpeedIsochCamera(guids));
  usb::UsbPortHandle port = g_world->bus->Plug(g_world->camera);
  kernel::LoadedDriver::Load(Entry, u"kvzfuzz", &g_world->driver);
  kernel::PnpDevice::Add(*g_world->driver, port.Description(), port.Pdo(), &g_world->device);
  g_world->device->Start();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 18 || size > 18 + 0xFFFF) return 0;
  bool usb3 = false;
  if (!NT_SUCCESS(CheckDeviceDescriptor(data, 18, &usb3))) return 0;
  const ULONG length = static_cast<ULONG>(size - 18);
  auto* config = static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverPoolType, length ? length : 1, 'zzuF'));
  if (length) std::memcpy(config, data + 18, length);

  UnitContainer* units = new (ExAllocatePoolWithTag(DriverPoolType, sizeof(UnitContainer), kTagUnitContainer))
      UnitContainer(g_device);
  units->SetUsb3(usb3);
  KSAUTOMATION_TABLE automation{};
  KSNODE_DESCRIPTOR nodes[kMaxTopologyNodes]{};
  ULONG nodeCount = 0;
  auto* header = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config);
  NTSTATUS status = units->ParseConfigurationDescriptor(header, length, &automation, nodes, &nodeCount, 0);
  PinFormats formats;
  if (NT_SUCCESS(status)) {
    if (units->Model()->HasStreamingInterface()) formats.Build(*units->Model());
    BandwidthEntry bandwidth[kMaxAlternateSettings];
    units->CopyBandwidthTable(bandwidth);
    const PKSDATARANGE* ranges = nullptr;
    for (ULONG pin : {1u, 3u}) {
      const ULONG n = formats.GetFormatList(&ranges, pin);
      FrameEntry entry;
      for (ULONG i = 0; i < n; ++i) (pin == 1 ? formats.Capture() : formats.Still())->GetDataRangeFormat(i, &entry);
    }
    USBD_INTERFACE_INFORMATION streaming{};
    PUSBD_INTERFACE_INFORMATION interrupt = nullptr;
    USBD_CONFIGURATION_HANDLE handle = nullptr;
    ULONG bulk = 0;
    if (NT_SUCCESS(SelectUsbConfiguration(&g_device->usb, units->Model(), header, length, &interrupt, &streaming,
                                          &handle, &bulk)) &&
        interrupt)
      ExFreePool(interrupt);
  }
  formats.Release();
  units->~UnitContainer();
  ExFreePool(units);
  ExFreePool(config);
  return 0;
}
