#include "simcam/descriptor_layout.h"

#include <cstring>

#include "usb100.h"
#include "uvc.h"

namespace kvz::simcam {
namespace {

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p) { return U16(p) | static_cast<uint32_t>(U16(p + 2)) << 16; }

GUID ReadGuid(const uint8_t* p) {
  GUID g;
  g.Data1 = U32(p);
  g.Data2 = U16(p + 4);
  g.Data3 = U16(p + 6);
  std::memcpy(g.Data4, p + 8, 8);
  return g;
}

void ParseFrame(FormatLayout& format, const uint8_t* d, uint8_t len) {
  if (len < 26) return;
  FrameLayout f;
  f.index = d[3];
  f.width = U16(d + 5);
  f.height = U16(d + 7);
  f.maxFrameBuffer = U32(d + 17);
  f.defaultInterval = U32(d + 21);
  const uint8_t type = d[25];
  const unsigned count = type == 0 ? 3 : type;
  f.continuous = type == 0;
  for (unsigned i = 0; i < count && 26 + 4 * i + 4 <= len; ++i) f.intervals.push_back(U32(d + 26 + 4 * i));
  format.frames.push_back(f);
}

void ParseStill(FormatLayout& format, const uint8_t* d, uint8_t len) {
  if (len < 5) return;
  for (unsigned i = 0; i < d[4] && 5u + 4 * i + 4 <= len; ++i)
    format.stills.push_back(StillSize{U16(d + 5 + 4 * i), U16(d + 7 + 4 * i)});
}

}  // namespace

uint32_t EndpointLayout::BytesPerInterval(usb::Speed speed) const {
  if (speed == usb::Speed::Super && hasCompanion) {
    if (Type() == USB_ENDPOINT_TYPE_ISOCHRONOUS || Type() == USB_ENDPOINT_TYPE_INTERRUPT) return bytesPerInterval;
    return wMaxPacketSize;
  }
  const uint32_t size = wMaxPacketSize & USB_ENDPOINT_MAX_PACKET_SIZE_MASK;
  if (speed == usb::Speed::High &&
      (Type() == USB_ENDPOINT_TYPE_ISOCHRONOUS || Type() == USB_ENDPOINT_TYPE_INTERRUPT))
    return size * (USB_ENDPOINT_ADDITIONAL_TRANSACTIONS(wMaxPacketSize) + 1);
  return size;
}

const FrameLayout* FormatLayout::Frame(uint8_t frameIndex) const {
  for (const FrameLayout& f : frames)
    if (f.index == frameIndex) return &f;
  return nullptr;
}

const AltSettingLayout* DescriptorLayout::Alternate(uint8_t interfaceNumber, uint8_t alternate) const {
  for (const AltSettingLayout& a : alternates)
    if (a.interfaceNumber == interfaceNumber && a.alternate == alternate) return &a;
  return nullptr;
}

const UnitLayout* DescriptorLayout::Unit(uint8_t id) const {
  for (const UnitLayout& u : units)
    if (u.id == id) return &u;
  return nullptr;
}

const FormatLayout* DescriptorLayout::Format(uint8_t formatIndex) const {
  for (const FormatLayout& f : formats)
    if (f.index == formatIndex) return &f;
  return nullptr;
}

bool DescriptorLayout::IsBulk() const {
  const AltSettingLayout* a = Alternate(streamingInterface, 0);
  return a && !a->endpoints.empty();
}

std::optional<EndpointLayout> DescriptorLayout::VideoEndpoint(uint8_t alternate) const {
  const AltSettingLayout* a = Alternate(streamingInterface, alternate);
  if (!a) return std::nullopt;
  for (const EndpointLayout& e : a->endpoints)
    if (e.address & USB_ENDPOINT_DIRECTION_MASK) return e;
  return std::nullopt;
}

std::optional<EndpointLayout> DescriptorLayout::InterruptEndpoint() const {
  const AltSettingLayout* a = Alternate(controlInterface, 0);
  if (!a) return std::nullopt;
  for (const EndpointLayout& e : a->endpoints)
    if (e.Type() == USB_ENDPOINT_TYPE_INTERRUPT) return e;
  return std::nullopt;
}

std::vector<uint32_t> DescriptorLayout::StreamingBandwidths() const {
  std::vector<uint32_t> out;
  for (uint8_t alt = 0;; ++alt) {
    if (!Alternate(streamingInterface, alt)) break;
    auto ep = VideoEndpoint(alt);
    out.push_back(ep ? ep->BytesPerInterval(speed) : 0);
    if (alt == 255) break;
  }
  return out;
}

DescriptorLayout ParseDescriptors(const std::vector<uint8_t>& device, const std::vector<uint8_t>& configuration,
                                  usb::Speed speed) {
  DescriptorLayout layout;
  layout.speed = speed;
  if (device.size() >= 4) layout.bcdUSB = U16(device.data() + 2);
  if (configuration.size() < 9) return layout;
  layout.numInterfaces = configuration[4];
  layout.configurationValue = configuration[5];
  size_t end = U16(configuration.data() + 2);
  if (end > configuration.size()) end = configuration.size();

  AltSettingLayout* current = nullptr;
  FormatLayout* format = nullptr;
  for (size_t at = 0; at + 2 <= end;) {
    const uint8_t* d = configuration.data() + at;
    const uint8_t len = d[0];
    if (len < 2 || at + len > end) break;
    const uint8_t type = d[1];
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE && len >= 9) {
      AltSettingLayout a;
      a.interfaceNumber = d[2];
      a.alternate = d[3];
      a.interfaceClass = d[5];
      a.subClass = d[6];
      a.protocol = d[7];
      layout.alternates.push_back(a);
      current = &layout.alternates.back();
      format = nullptr;
      if (a.interfaceClass == CC_VIDEO && a.subClass == SC_VIDEOCONTROL && layout.controlInterface == 0xFF)
        layout.controlInterface = a.interfaceNumber;
      if (a.interfaceClass == CC_VIDEO && a.subClass == SC_VIDEOSTREAMING && layout.streamingInterface == 0xFF)
        layout.streamingInterface = a.interfaceNumber;
    } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && len >= 7 && current) {
      EndpointLayout e;
      e.address = d[2];
      e.attributes = d[3];
      e.wMaxPacketSize = U16(d + 4);
      e.interval = d[6];
      current->endpoints.push_back(e);
    } else if (type == USB_SUPERSPEED_ENDPOINT_COMPANION_DESCRIPTOR_TYPE && len >= 6 && current &&
               !current->endpoints.empty()) {
      current->endpoints.back().hasCompanion = true;
      current->endpoints.back().bytesPerInterval = U16(d + 4);
    } else if (type == CS_INTERFACE && current && current->interfaceClass == CC_VIDEO && len >= 3) {
      const uint8_t subtype = d[2];
      if (current->subClass == SC_VIDEOCONTROL) {
        if (subtype == VC_HEADER && len >= 12) {
          layout.clockFrequency = U32(d + 7);
        } else if (subtype == VC_INPUT_TERMINAL && len >= 8) {
          UnitLayout u{d[3], subtype, U16(d + 4), {}, {}};
          if (u.terminalType == ITT_CAMERA && len >= 15) {
            const uint8_t n = d[14];
            for (unsigned i = 0; i < n && 15u + i < len; ++i) u.bmControls.push_back(d[15 + i]);
          }
          layout.units.push_back(u);
        } else if (subtype == VC_OUTPUT_TERMINAL && len >= 9) {
          layout.units.push_back(UnitLayout{d[3], subtype, U16(d + 4), {}, {}});
        } else if (subtype == VC_PROCESSING_UNIT && len >= 8) {
          UnitLayout u{d[3], subtype, 0, {}, {}};
          const uint8_t n = d[7];
          for (unsigned i = 0; i < n && 8u + i < len; ++i) u.bmControls.push_back(d[8 + i]);
          layout.units.push_back(u);
        } else if (subtype == VC_EXTENSION_UNIT && len >= 24) {
          UnitLayout u{d[3], subtype, 0, ReadGuid(d + 4), {}};
          const unsigned p = d[21];
          if (22u + p < len) {
            const uint8_t n = d[22 + p];
            for (unsigned i = 0; i < n && 23u + p + i < len; ++i) u.bmControls.push_back(d[23 + p + i]);
          }
          layout.units.push_back(u);
        } else if (len >= 4) {
          layout.units.push_back(UnitLayout{d[3], subtype, 0, {}, {}});
        }
      } else if (current->subClass == SC_VIDEOSTREAMING) {
        if (subtype == VS_INPUT_HEADER && len >= 13) {
          layout.stillCaptureMethod = d[9];
        } else if ((subtype == VS_FORMAT_UNCOMPRESSED || subtype == VS_FORMAT_MJPEG || subtype == VS_FORMAT_FRAME_BASED ||
                    subtype == VS_FORMAT_MPEG2TS || subtype == VS_FORMAT_DV) && len >= 4) {
          FormatLayout f;
          f.index = d[3];
          f.kind = subtype == VS_FORMAT_MJPEG ? FormatKind::kMjpeg : FormatKind::kYuy2;
          f.supported = subtype == VS_FORMAT_MJPEG ||
                        (subtype == VS_FORMAT_UNCOMPRESSED && len >= 21 && ReadGuid(d + 5).Data1 == 0x32595559);
          layout.formats.push_back(f);
          format = &layout.formats.back();
        } else if ((subtype == VS_FRAME_UNCOMPRESSED || subtype == VS_FRAME_MJPEG) && format) {
          ParseFrame(*format, d, len);
        } else if (subtype == VS_STILL_IMAGE_FRAME && format) {
          ParseStill(*format, d, len);
        }
      }
    }
    at += len;
  }
  return layout;
}

}  // namespace kvz::simcam
