#include "camera_rig.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

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
  std::error_code ec;
  const auto status = std::filesystem::status(name, ec);
  if (!std::filesystem::exists(status)) {
    *error = "camera '" + name + "': no such profile or file (isoch, bulk, usb3, minimal or a descriptor dump)";
    return nullptr;
  }
  if (std::filesystem::is_directory(status)) {
    *error = name + ": is a folder, not a descriptor dump";
    return nullptr;
  }
  if (!std::filesystem::is_regular_file(status)) {
    *error = name + ": is not a file";
    return nullptr;
  }
  std::vector<uint8_t> bytes;
  FILE* in = std::fopen(name.c_str(), "rb");
  bool read = in != nullptr;
  if (read) {
    uint8_t buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof(buffer), in)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    read = !std::ferror(in);
  }
  const int reason = errno;
  if (in) std::fclose(in);
  if (!read) {
    *error = name + ": cannot be read: " + std::strerror(reason);
    return nullptr;
  }
  // The binary descriptors as sysfs shows them, or the same bytes written as hexadecimal text.
  const bool binary = bytes.size() >= 2 && bytes[0] == 18 && bytes[1] == 1;
  std::optional<std::vector<uint8_t>> descriptors = binary ? bytes : simcam::ParseHexDump({bytes.begin(), bytes.end()});
  if (!descriptors || descriptors->empty()) {
    *error = name + ": not a descriptor dump (neither the binary device and configuration descriptors nor their "
                    "hexadecimal text)";
    return nullptr;
  }
  auto profile = simcam::RawDescriptorProfile(*descriptors, &guids);
  if (!profile) {
    *error = name + ": the descriptors are truncated or describe no USB video camera";
    return nullptr;
  }
  if (!binary) profile->name = name.substr(name.find_last_of('/') + 1);
  return std::make_unique<simcam::CameraProfile>(std::move(*profile));
}

CameraRig::~CameraRig() { Shutdown(); }

NTSTATUS CameraRig::Boot(simcam::CameraProfile profile, simcam::CameraOptions options) {
  bus_ = std::make_unique<usb::UsbBus>();
  camera_ = std::make_shared<simcam::SimCamera>(std::move(profile), options);
  // A composite device's parent names each function by its first interface ("&MI_02").
  usb::PortOptions port;
  const uint8_t control = camera_->Layout().controlInterface;
  port.interfaceNumber = control == 0xFF ? 0 : control;
  // Each camera keeps its own settings: the PnP manager gives its instance a driver key of its own.
  port.driverKeyName.clear();
  port_ = std::make_unique<usb::UsbPortHandle>(bus_->Plug(camera_, port));
  NTSTATUS status = kernel::LoadedDriver::Load(DriverEntry, u"kvzcam", &driver_);
  if (!NT_SUCCESS(status)) return status;
  status = kernel::PnpDevice::Add(*driver_, port_->Description(), port_->Pdo(), &device_);
  if (!NT_SUCCESS(status)) return status;
  // What the driver's installation creates: the keys its control values and options live in.
  const std::u16string classKey =
      u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + device_->DriverKeyName();
  kernel::CreateRegistryKey(classKey + u"\\VIDEOPROCAMP");
  kernel::CreateRegistryKey(classKey + u"\\CONTROL");
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
