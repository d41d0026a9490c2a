#include <fstream>
#include <iterator>

#include "simcam/camera_profile.h"
#include "simcam/descriptor_layout.h"
#include "usb100.h"
#include "uvc.h"

namespace kvz::simcam {

std::optional<CameraProfile> RawDescriptorProfile(const std::vector<uint8_t>& bytes, const VendorGuids* guids,
                                                  std::optional<usb::Speed> speed) {
  if (bytes.size() < 18 + 9 || bytes[0] != 18 || bytes[1] != USB_DEVICE_DESCRIPTOR_TYPE) return std::nullopt;
  const uint8_t* config = bytes.data() + 18;
  if (config[0] < 9 || config[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) return std::nullopt;
  const size_t total = static_cast<size_t>(config[2] | config[3] << 8);
  if (total < 9 || 18 + total > bytes.size()) return std::nullopt;

  CameraProfile p;
  p.name = "raw descriptors";
  p.deviceDescriptor.assign(bytes.begin(), bytes.begin() + 18);
  p.configurationDescriptor.assign(config, config + total);
  const uint16_t bcdUSB = static_cast<uint16_t>(bytes[2] | bytes[3] << 8);
  p.speed = speed ? *speed : bcdUSB >= 0x0300 ? usb::Speed::Super : usb::Speed::High;
  if (guids) {
    const DescriptorLayout layout = ParseDescriptors(p.deviceDescriptor, p.configurationDescriptor, p.speed);
    for (const UnitLayout& u : layout.units) {
      if (u.subtype != VC_EXTENSION_UNIT) continue;
      if (u.guid == guids->vendorUnit) p.vendorUnitId = u.id;
      if (u.guid == guids->testUnit) p.testUnitId = u.id;
    }
  }
  return p;
}

std::optional<CameraProfile> LoadRawDescriptorProfile(const std::string& path, const VendorGuids* guids,
                                                      std::optional<usb::Speed> speed) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return RawDescriptorProfile(bytes, guids, speed);
}

}  // namespace kvz::simcam
