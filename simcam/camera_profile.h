// Whole cameras: descriptors plus what the descriptors cannot say (which extension unit is the
// vendor unit with the register file, which one the test unit).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "simcam/camera_description.h"

namespace kvz::simcam {

// The driver's own extension-unit identities; profiles take them from the test.
struct VendorGuids {
  GUID vendorUnit{};
  GUID testUnit{};
};

struct CameraProfile {
  std::string name;
  usb::Speed speed = usb::Speed::High;
  std::vector<uint8_t> deviceDescriptor;
  std::vector<uint8_t> configurationDescriptor;
  uint8_t vendorUnitId = 0;  // 0: none
  uint8_t testUnitId = 0;    // 0: none
};

CameraProfile ProfileFromDescription(const CameraDescription& camera, const VendorGuids* guids);

// (1) High-speed isochronous camera: YUY2 and MJPEG, stills, alternate settings of 128 to 3x1024
// bytes, camera terminal, processing unit, vendor and test extension units, status endpoint.
CameraDescription HighSpeedIsochDescription(const VendorGuids& guids);
// (2) The same camera streaming over bulk.
CameraDescription BulkDescription(const VendorGuids& guids);
// (3) A USB 3 isochronous camera with SuperSpeed companions.
CameraDescription SuperSpeedIsochDescription(const VendorGuids& guids);
// (4) A minimal camera: one YUY2 format, no extension units, no stills.
CameraDescription MinimalDescription();

CameraProfile HighSpeedIsochCamera(const VendorGuids& guids);
CameraProfile BulkCamera(const VendorGuids& guids);
CameraProfile SuperSpeedIsochCamera(const VendorGuids& guids);
CameraProfile MinimalCamera();

// A device descriptor followed by a configuration descriptor, as Linux shows them in sysfs
// "descriptors", in binary or as hexadecimal text (pairs of digits, whitespace or commas between
// bytes, '#' comments to the end of the line). Extension units whose GUID equals one of guids take
// its role. The speed follows bcdUSB (0x0300 and above SuperSpeed, below 0x0200 full speed) unless
// given.
std::optional<CameraProfile> LoadRawDescriptorProfile(const std::string& path, const VendorGuids* guids,
                                                      std::optional<usb::Speed> speed = std::nullopt);
std::optional<CameraProfile> RawDescriptorProfile(const std::vector<uint8_t>& bytes, const VendorGuids* guids,
                                                  std::optional<usb::Speed> speed = std::nullopt);
// The bytes of a hexadecimal text dump; nothing when the text holds anything else.
std::optional<std::vector<uint8_t>> ParseHexDump(const std::string& text);

}  // namespace kvz::simcam
