#include "camera_rig.h"

#include "driver/device/driver_entry.h"
#include "kvz/registry_testing.h"
#include "uvcmodel/vendor_unit_guids.h"

namespace kvz::capture {

simcam::VendorGuids DriverUnitGuids() {
  simcam::VendorGuids guids;
  guids.vendorUnit = VendorUnitGuids[0];
  guids.testUnit = TestUnitGuid;
  return guids;
}

std::unique_ptr<simcam::CameraProfile> ProfileByName(const std::string& name, std::string* error) {
  const simcam::VendorGuids guids = DriverUnitGuids();
  if (name == "isoch") return std::make_unique<simcam::CameraProfile>(simcam::HighSpeedIsochCamera(guids));
  if (name == "bulk") return std::make_unique<simcam::CameraProfile>(simcam::BulkCamera(guids));
  if (name == "usb3") return std::make_unique<simcam::CameraProfile>(simcam::SuperSpeedIsochCamera(guids));
  if (name == "minimal") return std::make_unique<simcam::CameraProfile>(simcam::MinimalCamera());
  auto raw = simcam::LoadRawDescriptorProfile(name, &guids);
  if (!raw) {
    *error = "unknown camera '" + name + "' (isoch, bulk, usb3, minimal or a descriptor dump)";
    return nullptr;
  }
  return std::make_unique<simcam::CameraProfile>(std::move(*raw));
}

CameraRig::~CameraRig() { Shutdown(); }

NTSTATUS CameraRig::Boot(simcam::CameraProfile profile, simcam::CameraOptions options) {
  bus_ = std::make_unique<usb::UsbBus>();
  camera_ = std::make_shared<simcam::SimCamera>(std::move(profile), options);
  // A composite device's parent names each function by its first interface ("&MI_02").
  usb::PortOptions port;
  const uint8_t control = camera_->Layout().controlInterface;
  port.interfaceNumber = control == 0xFF ? 0 : control;
  port_ = std::make_unique<usb::UsbPortHandle>(bus_->Plug(camera_, port));
  // What the driver's installation creates: the keys its control values and options live in.
  const std::u16string classKey =
      u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + port_->Description().driverKeyName;
  kernel::CreateRegistryKey(classKey + u"\\VIDEOPROCAMP");
  kernel::CreateRegistryKey(classKey + u"\\CONTROL");
  NTSTATUS status = kernel::LoadedDriver::Load(DriverEntry, u"kvzcam", &driver_);
  if (!NT_SUCCESS(status)) return status;
  status = kernel::PnpDevice::Add(*driver_, port_->Description(), port_->Pdo(), &device_);
  if (!NT_SUCCESS(status)) return status;
  return device_->Start();
}

NTSTATUS CameraRig::OpenFilter(std::unique_ptr<ksclient::KsFilterClient>* filter) const {
  // A later function of a composite device publishes its filter as a sensor camera only.
  auto links = ksclient::EnumerateInterfaces(KSCATEGORY_CAPTURE);
  if (links.empty()) links = ksclient::EnumerateInterfaces(KSCATEGORY_SENSOR_CAMERA);
  if (links.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
  return ksclient::KsFilterClient::OpenLink(links.front(), filter);
}

void CameraRig::Shutdown() {
  if (device_ && !device_->IsRemoved()) device_->Remove();
  device_.reset();
  if (driver_) driver_->Unload();
  driver_.reset();
  port_.reset();
  bus_.reset();
  camera_.reset();
}

}  // namespace kvz::capture
