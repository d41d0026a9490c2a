#include <cctype>
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
  p.speed = speed ? *speed : bcdUSB >= 0x0300 ? usb::Speed::Super : bcdUSB < 0x0200 ? usb::Speed::Full : usb::Speed::High;
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

std::optional<std::vector<uint8_t>> ParseHexDump(const std::string& text) {
  std::vector<uint8_t> bytes;
  int high = -1;
  bool comment = false;
  for (char c : text) {
    if (c == '\n') comment = false;
    if (comment) continue;
    if (c == '#') {
      comment = true;
    } else if (std::isxdigit(static_cast<unsigned char>(c))) {
      const int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
      if (high < 0) {
        high = v;
      } else {
        bytes.push_back(static_cast<uint8_t>(high << 4 | v));
        high = -1;
      }
    } else if (!std::isspace(static_cast<unsigned char>(c)) && c != ',') {
      return std::nullopt;
    } else if (high >= 0) {
      return std::nullopt;  // a lone digit
    }
  }
  if (high >= 0) return std::nullopt;
  return bytes;
}

std::optional<CameraProfile> LoadRawDescriptorProfile(const std::string& path, const VendorGuids* guids,
                                                      std::optional<usb::Speed> speed) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Binary as sysfs shows it, or the same bytes written as hexadecimal text.
  if (bytes.size() >= 2 && bytes[0] == 18 && bytes[1] == USB_DEVICE_DESCRIPTOR_TYPE)
    return RawDescriptorProfile(bytes, guids, speed);
  const std::optional<std::vector<uint8_t>> text = ParseHexDump(std::string(bytes.begin(), bytes.end()));
  if (!text) return std::nullopt;
  std::optional<CameraProfile> p = RawDescriptorProfile(*text, guids, speed);
  if (p) p->name = path.substr(path.find_last_of('/') + 1);
  return p;
}

}  // namespace kvz::simcam
