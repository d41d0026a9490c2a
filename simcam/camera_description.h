// A camera described in C++ terms, from which the descriptor builder writes the bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kvz/usb_function.h"
#include "ntdef.h"

namespace kvz::simcam {

// kUncompressed: any uncompressed format other than YUY2, by its bits per pixel; kFrameBased: opaque
// frames of a frame-based format.
enum class FormatKind { kYuy2, kMjpeg, kUncompressed, kFrameBased };
enum class Transport { kIsochronous, kBulk };

struct FrameDescription {
  uint16_t width = 0;
  uint16_t height = 0;
  std::vector<uint32_t> intervals;  // 100-ns units, in the order the descriptor lists them
};

struct StillSize {
  uint16_t width = 0;
  uint16_t height = 0;
};

struct FormatDescription {
  FormatKind kind = FormatKind::kYuy2;
  std::vector<FrameDescription> frames;
  std::vector<StillSize> stills;  // a still image frame descriptor when not empty
};

// One isochronous alternate setting of the streaming interface.
struct IsochAltSetting {
  uint16_t wMaxPacketSize = 0;     // high/full speed encoding (bits 11-12: extra transactions)
  uint16_t bytesPerInterval = 0;   // SuperSpeed companion
  uint8_t maxBurst = 0;            // SuperSpeed companion
  uint8_t mult = 0;                // SuperSpeed companion, packets per burst - 1
};

struct ExtensionUnitDescription {
  uint8_t unitId = 0;
  GUID guid{};
  std::vector<uint8_t> selectors;  // control selectors announced in bmControls (1-based)
};

struct CameraDescription {
  std::string name;
  uint16_t idVendor = 0x1D6B;
  uint16_t idProduct = 0x0102;
  uint16_t bcdDevice = 0x0100;
  uint16_t bcdUSB = 0x0200;
  uint16_t bcdUVC = 0x0100;  // 26-byte probe and commit blocks
  usb::Speed speed = usb::Speed::High;
  Transport transport = Transport::kIsochronous;
  uint8_t stillCaptureMethod = 2;
  std::vector<FormatDescription> formats;
  std::vector<IsochAltSetting> isochAlts;  // alternate settings 1..n of an isochronous camera
  uint16_t bulkMaxPacket = 512;
  uint32_t cameraTerminalControls = 0;   // bmControls bits of the camera terminal (3 bytes)
  uint32_t processingUnitControls = 0;   // bmControls bits of the processing unit (2 bytes)
  std::vector<ExtensionUnitDescription> extensionUnits;
  bool interruptEndpoint = true;
  // The video function's interfaces are firstInterface (control) and firstInterface + 1 (streaming),
  // as in a composite device whose camera is not its first function.
  uint8_t firstInterface = 0;
  uint32_t clockFrequency = 48000000;
};

// Entity identifiers every profile keeps.
constexpr uint8_t kCameraTerminalId = 1;
constexpr uint8_t kProcessingUnitId = 2;
constexpr uint8_t kOutputTerminalId = 3;
constexpr uint8_t kInterruptEndpoint = 0x83;
constexpr uint8_t kVideoEndpoint = 0x81;

}  // namespace kvz::simcam
