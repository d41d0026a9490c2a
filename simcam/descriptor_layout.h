// What the camera model needs to know of its own descriptors, read back from the bytes so that
// built and raw-loaded profiles behave alike.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "kvz/usb_function.h"
#include "ntdef.h"
#include "simcam/camera_description.h"

namespace kvz::simcam {

struct EndpointLayout {
  uint8_t address = 0;
  uint8_t attributes = 0;
  uint16_t wMaxPacketSize = 0;
  uint8_t interval = 0;
  bool hasCompanion = false;
  uint16_t bytesPerInterval = 0;

  uint8_t Type() const { return attributes & 0x03; }
  // Bytes the endpoint moves per service interval at the given speed.
  uint32_t BytesPerInterval(usb::Speed speed) const;
};

struct AltSettingLayout {
  uint8_t interfaceNumber = 0;
  uint8_t alternate = 0;
  uint8_t interfaceClass = 0;
  uint8_t subClass = 0;
  uint8_t protocol = 0;
  std::vector<EndpointLayout> endpoints;
};

struct UnitLayout {
  uint8_t id = 0;
  uint8_t subtype = 0;        // VC_INPUT_TERMINAL, VC_PROCESSING_UNIT, VC_EXTENSION_UNIT, ...
  uint16_t terminalType = 0;  // terminals only
  GUID guid{};                // extension units only
  std::vector<uint8_t> bmControls;
  bool HasControlBit(unsigned bit) const {
    return bit / 8 < bmControls.size() && (bmControls[bit / 8] >> (bit % 8)) & 1;
  }
};

struct FrameLayout {
  uint8_t index = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  uint32_t maxFrameBuffer = 0;
  uint32_t defaultInterval = 0;
  std::vector<uint32_t> intervals;  // discrete intervals; continuous: min, max, step
  bool continuous = false;
};

struct FormatLayout {
  uint8_t index = 0;
  FormatKind kind = FormatKind::kYuy2;
  bool supported = true;     // a format the camera can produce: uncompressed, MJPEG or frame-based
  GUID guid{};               // uncompressed and frame-based formats
  uint8_t bitsPerPixel = 16;
  bool variableSize = false; // frame-based: frames of varying length
  std::vector<FrameLayout> frames;
  std::vector<StillSize> stills;
  uint8_t stillEndpoint = 0; // still image frame descriptor's bEndpointAddress (method 3)
  const FrameLayout* Frame(uint8_t frameIndex) const;
};

// One video streaming interface: its formats are its own, its video endpoint the one its input
// header names.
struct StreamingLayout {
  uint8_t interfaceNumber = 0xFF;
  uint8_t endpointAddress = 0;
  uint8_t stillCaptureMethod = 0;
  std::vector<FormatLayout> formats;
  const FormatLayout* Format(uint8_t formatIndex) const;
  // Method 3: the bulk endpoint stills come on (the first format that names one).
  uint8_t StillEndpoint() const;
};

struct DescriptorLayout {
  usb::Speed speed = usb::Speed::High;
  uint16_t bcdUSB = 0;
  uint8_t configurationValue = 1;
  uint8_t numInterfaces = 0;
  std::vector<AltSettingLayout> alternates;  // every interface descriptor in order
  std::vector<UnitLayout> units;
  std::vector<StreamingLayout> streams;  // every video streaming interface, in descriptor order
  uint8_t controlInterface = 0xFF;
  uint16_t bcdUVC = 0x0100;
  uint32_t clockFrequency = 0;
  // The first streaming interface's number, formats and still method.
  uint8_t streamingInterface = 0xFF;
  std::vector<FormatLayout> formats;
  uint8_t stillCaptureMethod = 0;

  const AltSettingLayout* Alternate(uint8_t interfaceNumber, uint8_t alternate) const;
  const UnitLayout* Unit(uint8_t id) const;
  const FormatLayout* Format(uint8_t formatIndex) const;
  const StreamingLayout* Stream(uint8_t interfaceNumber) const;
  // The streaming endpoint (bulk on alternate 0, isochronous on alternates 1..n) of a streaming
  // interface (default: the first) and the status interrupt endpoint, when present.
  bool IsBulk(uint8_t interfaceNumber = 0xFF) const;
  std::optional<EndpointLayout> VideoEndpoint(uint8_t alternate, uint8_t interfaceNumber = 0xFF) const;
  std::optional<EndpointLayout> InterruptEndpoint() const;
  // Bytes per service interval of each streaming alternate setting (index = alternate number).
  std::vector<uint32_t> StreamingBandwidths(uint8_t interfaceNumber = 0xFF) const;
  // Bytes of one probe or commit block: 26 for UVC 1.0, 34 for 1.1, 48 for 1.5.
  uint16_t ProbeLength() const;
};

// Reads a device descriptor and a configuration descriptor; tolerant of unknown descriptors,
// stops at a descriptor that runs past the end. A device below USB 2.00 runs at full speed.
DescriptorLayout ParseDescriptors(const std::vector<uint8_t>& device, const std::vector<uint8_t>& configuration,
                                  usb::Speed speed);

}  // namespace kvz::simcam
