#include "simcam/descriptor_builder.h"

#include <cstring>

#include "usb100.h"
#include "uvc.h"

namespace kvz::simcam {
namespace {

class ByteWriter {
 public:
  size_t Size() const { return bytes_.size(); }
  void U8(uint32_t v) { bytes_.push_back(static_cast<uint8_t>(v)); }
  void U16(uint32_t v) { U8(v); U8(v >> 8); }
  void U32(uint32_t v) { U16(v); U16(v >> 16); }
  void Guid(const GUID& g) {
    U32(g.Data1);
    U16(g.Data2);
    U16(g.Data3);
    for (uint8_t b : g.Data4) U8(b);
  }
  void Bits(uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) U8(v >> (8 * i));
  }
  void PatchU8(size_t at, uint32_t v) { bytes_[at] = static_cast<uint8_t>(v); }
  void PatchU16(size_t at, uint32_t v) {
    bytes_[at] = static_cast<uint8_t>(v);
    bytes_[at + 1] = static_cast<uint8_t>(v >> 8);
  }
  // Starts a descriptor; End writes its bLength.
  size_t Begin(uint8_t type) {
    size_t at = Size();
    U8(0);
    U8(type);
    return at;
  }
  void End(size_t at) { PatchU8(at, Size() - at); }
  std::vector<uint8_t> Take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
};

uint32_t FrameBytes(FormatKind kind, uint16_t w, uint16_t h) {
  (void)kind;
  return static_cast<uint32_t>(w) * h * 2;
}

void WriteEndpoint(ByteWriter& w, const CameraDescription& camera, uint8_t address, uint8_t attributes,
                   uint16_t maxPacket, uint8_t interval, const IsochAltSetting* ss) {
  size_t at = w.Begin(USB_ENDPOINT_DESCRIPTOR_TYPE);
  w.U8(address);
  w.U8(attributes);
  w.U16(maxPacket);
  w.U8(interval);
  w.End(at);
  if (camera.speed == usb::Speed::Super) {
    size_t c = w.Begin(USB_SUPERSPEED_ENDPOINT_COMPANION_DESCRIPTOR_TYPE);
    w.U8(ss ? ss->maxBurst : 0);
    w.U8(ss ? ss->mult : 0);
    w.U16(ss ? ss->bytesPerInterval : maxPacket);
    w.End(c);
  }
}

void WriteInterface(ByteWriter& w, uint8_t number, uint8_t alt, uint8_t endpoints, uint8_t subclass) {
  size_t at = w.Begin(USB_INTERFACE_DESCRIPTOR_TYPE);
  w.U8(number);
  w.U8(alt);
  w.U8(endpoints);
  w.U8(CC_VIDEO);
  w.U8(subclass);
  w.U8(PC_PROTOCOL_UNDEFINED);
  w.U8(0);
  w.End(at);
}

void WriteControlInterface(ByteWriter& w, const CameraDescription& camera) {
  WriteInterface(w, camera.firstInterface, 0, camera.interruptEndpoint ? 1 : 0, SC_VIDEOCONTROL);
  const size_t header = w.Begin(CS_INTERFACE);
  w.U8(VC_HEADER);
  w.U16(camera.bcdUVC);
  const size_t total = w.Size();
  w.U16(0);
  w.U32(camera.clockFrequency);
  w.U8(1);
  w.U8(camera.firstInterface + 1);
  w.End(header);

  size_t at = w.Begin(CS_INTERFACE);  // camera terminal
  w.U8(VC_INPUT_TERMINAL);
  w.U8(kCameraTerminalId);
  w.U16(ITT_CAMERA);
  w.U8(0);
  w.U8(0);
  w.U16(0);
  w.U16(0);
  w.U16(0);
  w.U8(3);
  w.Bits(camera.cameraTerminalControls, 3);
  w.End(at);

  at = w.Begin(CS_INTERFACE);  // processing unit
  w.U8(VC_PROCESSING_UNIT);
  w.U8(kProcessingUnitId);
  w.U8(kCameraTerminalId);
  w.U16(0);
  w.U8(2);
  w.Bits(camera.processingUnitControls, 2);
  w.U8(0);
  w.U8(0);
  w.End(at);

  uint8_t source = kProcessingUnitId;
  for (const ExtensionUnitDescription& xu : camera.extensionUnits) {
    uint32_t bits[2] = {0, 0};
    for (uint8_t s : xu.selectors)
      if (s >= 1 && s <= 64) bits[(s - 1) / 32] |= 1u << ((s - 1) % 32);
    const int size = bits[1] ? 8 : 4;
    at = w.Begin(CS_INTERFACE);
    w.U8(VC_EXTENSION_UNIT);
    w.U8(xu.unitId);
    w.Guid(xu.guid);
    w.U8(static_cast<uint8_t>(xu.selectors.size()));
    w.U8(1);
    w.U8(source);
    w.U8(size);
    w.Bits(bits[0], 4);
    if (size == 8) w.Bits(bits[1], 4);
    w.U8(0);
    w.End(at);
    source = xu.unitId;
  }

  at = w.Begin(CS_INTERFACE);  // output terminal towards the streaming interface
  w.U8(VC_OUTPUT_TERMINAL);
  w.U8(kOutputTerminalId);
  w.U16(TT_STREAMING);
  w.U8(0);
  w.U8(source);
  w.U8(0);
  w.End(at);
  w.PatchU16(total, w.Size() - header);

  if (camera.interruptEndpoint) {
    WriteEndpoint(w, camera, kInterruptEndpoint, USB_ENDPOINT_TYPE_INTERRUPT, 16,
                  camera.speed == usb::Speed::Full ? 16 : 8, nullptr);
    at = w.Begin(CS_ENDPOINT);
    w.U8(EP_INTERRUPT);
    w.U16(16);
    w.End(at);
  }
}

void WriteFormat(ByteWriter& w, const FormatDescription& f, uint8_t index) {
  size_t at = w.Begin(CS_INTERFACE);
  if (f.kind == FormatKind::kYuy2) {
    w.U8(VS_FORMAT_UNCOMPRESSED);
    w.U8(index);
    w.U8(static_cast<uint8_t>(f.frames.size()));
    w.Guid(Yuy2FormatGuid());
    w.U8(16);
    w.U8(1);
    w.U8(0);
    w.U8(0);
    w.U8(0);
    w.U8(0);
  } else {
    w.U8(VS_FORMAT_MJPEG);
    w.U8(index);
    w.U8(static_cast<uint8_t>(f.frames.size()));
    w.U8(1);  // fixed-size samples
    w.U8(1);
    w.U8(0);
    w.U8(0);
    w.U8(0);
    w.U8(0);
  }
  w.End(at);

  uint8_t frameIndex = 1;
  for (const FrameDescription& fr : f.frames) {
    const uint32_t bytes = FrameBytes(f.kind, fr.width, fr.height);
    uint32_t shortest = 0xFFFFFFFF;
    for (uint32_t i : fr.intervals) shortest = i < shortest ? i : shortest;
    const uint32_t longest = [&] {
      uint32_t m = 0;
      for (uint32_t i : fr.intervals) m = i > m ? i : m;
      return m;
    }();
    at = w.Begin(CS_INTERFACE);
    w.U8(f.kind == FormatKind::kYuy2 ? VS_FRAME_UNCOMPRESSED : VS_FRAME_MJPEG);
    w.U8(frameIndex++);
    w.U8(0);
    w.U16(fr.width);
    w.U16(fr.height);
    w.U32(static_cast<uint32_t>(static_cast<uint64_t>(bytes) * 8 * 10000000 / (longest ? longest : 1)));
    w.U32(static_cast<uint32_t>(static_cast<uint64_t>(bytes) * 8 * 10000000 / (shortest ? shortest : 1)));
    w.U32(bytes);
    w.U32(fr.intervals.empty() ? 0 : fr.intervals.front());
    w.U8(static_cast<uint8_t>(fr.intervals.size()));
    for (uint32_t i : fr.intervals) w.U32(i);
    w.End(at);
  }

  if (!f.stills.empty()) {
    at = w.Begin(CS_INTERFACE);
    w.U8(VS_STILL_IMAGE_FRAME);
    w.U8(0);  // method 2: stills come on the video endpoint
    w.U8(static_cast<uint8_t>(f.stills.size()));
    for (const StillSize& s : f.stills) {
      w.U16(s.width);
      w.U16(s.height);
    }
    w.U8(0);
    w.End(at);
  }

  at = w.Begin(CS_INTERFACE);
  w.U8(VS_COLORFORMAT);
  w.U8(1);  // BT.709
  w.U8(1);
  w.U8(4);  // SMPTE 170M
  w.End(at);
}

void WriteStreamingInterface(ByteWriter& w, const CameraDescription& camera) {
  const bool bulk = camera.transport == Transport::kBulk;
  WriteInterface(w, camera.firstInterface + 1, 0, bulk ? 1 : 0, SC_VIDEOSTREAMING);
  const size_t header = w.Begin(CS_INTERFACE);
  w.U8(VS_INPUT_HEADER);
  w.U8(static_cast<uint8_t>(camera.formats.size()));
  const size_t total = w.Size();
  w.U16(0);
  w.U8(kVideoEndpoint);
  w.U8(0);
  w.U8(kOutputTerminalId);
  w.U8(camera.stillCaptureMethod);
  w.U8(1);  // hardware trigger supported: the button
  w.U8(0);  // the trigger initiates a still
  w.U8(1);
  for (size_t i = 0; i < camera.formats.size(); ++i) w.U8(0);
  w.End(header);
  uint8_t index = 1;
  for (const FormatDescription& f : camera.formats) WriteFormat(w, f, index++);
  w.PatchU16(total, w.Size() - header);

  if (bulk) {
    const uint16_t mps = camera.speed == usb::Speed::Super ? 1024 : camera.bulkMaxPacket;
    IsochAltSetting burst{0, 0, 15, 0};
    WriteEndpoint(w, camera, kVideoEndpoint, USB_ENDPOINT_TYPE_BULK, mps, 0, &burst);
    return;
  }
  uint8_t alt = 1;
  for (const IsochAltSetting& a : camera.isochAlts) {
    WriteInterface(w, camera.firstInterface + 1, alt++, 1, SC_VIDEOSTREAMING);
    // Asynchronous isochronous endpoint, one (micro)frame interval.
    WriteEndpoint(w, camera, kVideoEndpoint, USB_ENDPOINT_TYPE_ISOCHRONOUS | 0x04, a.wMaxPacketSize, 1, &a);
  }
}

}  // namespace

GUID Yuy2FormatGuid() {
  return GUID{0x32595559, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

std::vector<uint8_t> BuildDeviceDescriptor(const CameraDescription& camera) {
  ByteWriter w;
  size_t at = w.Begin(USB_DEVICE_DESCRIPTOR_TYPE);
  w.U16(camera.bcdUSB);
  w.U8(0xEF);  // miscellaneous: interface association
  w.U8(0x02);
  w.U8(0x01);
  w.U8(camera.speed == usb::Speed::Super ? 9 : 64);
  w.U16(camera.idVendor);
  w.U16(camera.idProduct);
  w.U16(camera.bcdDevice);
  w.U8(0);
  w.U8(0);
  w.U8(0);
  w.U8(1);
  w.End(at);
  return w.Take();
}

std::vector<uint8_t> BuildConfigurationDescriptor(const CameraDescription& camera) {
  ByteWriter w;
  size_t at = w.Begin(USB_CONFIGURATION_DESCRIPTOR_TYPE);
  const size_t total = w.Size();
  w.U16(0);
  w.U8(2);
  w.U8(1);
  w.U8(0);
  w.U8(USB_CONFIG_BUS_POWERED);
  w.U8(250);
  w.End(at);

  at = w.Begin(USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE);
  w.U8(camera.firstInterface);
  w.U8(2);
  w.U8(CC_VIDEO);
  w.U8(SC_VIDEO_INTERFACE_COLLECTION);
  w.U8(PC_PROTOCOL_UNDEFINED);
  w.U8(0);
  w.End(at);

  WriteControlInterface(w, camera);
  WriteStreamingInterface(w, camera);
  w.PatchU16(total, w.Size());
  return w.Take();
}

}  // namespace kvz::simcam
