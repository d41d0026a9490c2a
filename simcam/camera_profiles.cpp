#include "simcam/camera_profile.h"

#include "simcam/descriptor_builder.h"
#include "simcam/descriptor_layout.h"
#include "uvc.h"

namespace kvz::simcam {
namespace {

constexpr uint8_t kVendorUnitId = 4;
constexpr uint8_t kTestUnitId = 5;

// Selectors of the vendor unit: mode byte, register address, register data, then controls of
// other lengths, the exposure window and the exposure levels.
const std::vector<uint8_t> kVendorSelectors = {1, 2, 3, 4, 27, 28};
const std::vector<uint8_t> kTestSelectors = {1, 3};

uint32_t Fps(uint32_t fps) { return 10000000 / fps; }

FormatDescription Yuy2Format(bool stills) {
  FormatDescription f;
  f.kind = FormatKind::kYuy2;
  f.frames = {{640, 480, {Fps(30), Fps(15), Fps(10), Fps(5)}},
              {320, 240, {Fps(30), Fps(15), Fps(10)}},
              {160, 120, {Fps(30), Fps(15)}},
              {1280, 720, {Fps(10), Fps(5)}}};
  if (stills) f.stills = {{640, 480}, {320, 240}, {1280, 720}};
  return f;
}

FormatDescription MjpegFormat(bool stills) {
  FormatDescription f;
  f.kind = FormatKind::kMjpeg;
  f.frames = {{640, 480, {Fps(30), Fps(15), Fps(10)}},
              {1280, 720, {Fps(30), Fps(15)}},
              {1920, 1080, {Fps(30), Fps(15), Fps(5)}}};
  if (stills) f.stills = {{640, 480}, {1280, 720}};
  return f;
}

CameraDescription FullCamera(const VendorGuids& guids) {
  CameraDescription s;
  s.formats = {Yuy2Format(true), MjpegFormat(true)};
  // Exposure, AE mode and priority, zoom, pan/tilt, roll, privacy.
  s.cameraTerminalControls = (1u << 1) | (1u << 2) | (1u << 3) | (1u << 9) | (1u << 11) | (1u << 13) | (1u << 18);
  // Brightness .. white balance temperature, backlight, gain, power line, WB temperature auto.
  s.processingUnitControls = 0x003F | (1u << 6) | (1u << 8) | (1u << 9) | (1u << 10) | (1u << 12);
  s.extensionUnits = {{kVendorUnitId, guids.vendorUnit, kVendorSelectors}, {kTestUnitId, guids.testUnit, kTestSelectors}};
  s.isochAlts = {{128, 0, 0, 0}, {512, 0, 0, 0}, {1024, 0, 0, 0}, {0x0800 | 1024, 0, 0, 0}, {0x1000 | 1024, 0, 0, 0}};
  return s;
}

uint8_t UnitWithGuid(const DescriptorLayout& layout, const GUID& guid) {
  for (const UnitLayout& u : layout.units)
    if (u.subtype == VC_EXTENSION_UNIT && u.guid == guid) return u.id;
  return 0;
}

}  // namespace

CameraProfile ProfileFromDescription(const CameraDescription& camera, const VendorGuids* guids) {
  CameraProfile p;
  p.name = camera.name;
  p.speed = camera.speed;
  p.deviceDescriptor = BuildDeviceDescriptor(camera);
  p.configurationDescriptor = BuildConfigurationDescriptor(camera);
  if (guids) {
    const DescriptorLayout layout = ParseDescriptors(p.deviceDescriptor, p.configurationDescriptor, p.speed);
    p.vendorUnitId = UnitWithGuid(layout, guids->vendorUnit);
    p.testUnitId = UnitWithGuid(layout, guids->testUnit);
  }
  return p;
}

CameraDescription HighSpeedIsochDescription(const VendorGuids& guids) {
  CameraDescription s = FullCamera(guids);
  s.name = "high-speed isochronous camera";
  return s;
}

CameraDescription BulkDescription(const VendorGuids& guids) {
  CameraDescription s = FullCamera(guids);
  s.name = "bulk camera";
  s.idProduct = 0x0103;
  s.transport = Transport::kBulk;
  s.isochAlts.clear();
  return s;
}

CameraDescription SuperSpeedIsochDescription(const VendorGuids& guids) {
  CameraDescription s = FullCamera(guids);
  s.name = "SuperSpeed isochronous camera";
  s.idProduct = 0x0104;
  s.bcdUSB = 0x0300;
  s.speed = usb::Speed::Super;
  s.isochAlts = {{1024, 1024, 0, 0}, {1024, 3072, 2, 0}, {1024, 8192, 7, 0}, {1024, 16384, 15, 0},
                 {1024, 24576, 7, 2}, {1024, 49152, 15, 2}};
  return s;
}

CameraDescription MinimalDescription() {
  CameraDescription s;
  s.name = "minimal camera";
  s.idProduct = 0x0105;
  FormatDescription f;
  f.kind = FormatKind::kYuy2;
  f.frames = {{320, 240, {Fps(30), Fps(15)}}, {160, 120, {Fps(30)}}};
  s.formats = {f};
  s.stillCaptureMethod = 0;
  s.cameraTerminalControls = 1u << 3;
  s.processingUnitControls = 0x0003;
  s.isochAlts = {{512, 0, 0, 0}, {1024, 0, 0, 0}, {0x1000 | 1024, 0, 0, 0}};
  s.interruptEndpoint = false;
  return s;
}

CameraProfile HighSpeedIsochCamera(const VendorGuids& guids) { return ProfileFromDescription(HighSpeedIsochDescription(guids), &guids); }
CameraProfile BulkCamera(const VendorGuids& guids) { return ProfileFromDescription(BulkDescription(guids), &guids); }
CameraProfile SuperSpeedIsochCamera(const VendorGuids& guids) { return ProfileFromDescription(SuperSpeedIsochDescription(guids), &guids); }
CameraProfile MinimalCamera() { return ProfileFromDescription(MinimalDescription(), nullptr); }

}  // namespace kvz::simcam
