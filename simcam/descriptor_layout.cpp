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
  // Frame-based frames carry no buffer size: their default interval and interval type sit 4 bytes earlier.
  const bool frameBased = d[2] == VS_FRAME_FRAME_BASED;
  f.maxFrameBuffer = frameBased ? 0 : U32(d + 17);
  f.defaultInterval = U32(d + (frameBased ? 17 : 21));
  const uint8_t type = d[frameBased ? 21 : 25];
  const unsigned count = type == 0 ? 3 : type;
  f.continuous = type == 0;
  for (unsigned i = 0; i < count && 26 + 4 * i + 4 <= len; ++i) f.intervals.push_back(U32(d + 26 + 4 * i));
  format.frames.push_back(f);
}

void ParseStill(FormatLayout& format, const uint8_t* d, uint8_t len) {
  if (len < 5) return;
  format.stillEndpoint = d[3];
  for (unsigned i = 0; i < d[4] && 5u + 4 * i + 4 <= len; ++i)
    format.stills.push_back(StillSize{U16(d + 5 + 4 * i), U16(d + 7 + 4 * i)});
}

FormatLayout ParseFormat(const uint8_t* d, uint8_t len) {
  FormatLayout f;
  f.index = d[3];
  const uint8_t subtype = d[2];
  f.supported = false;
  if (subtype == VS_FORMAT_MJPEG) {
    f.kind = FormatKind::kMjpeg;
    f.supported = true;
  } else if ((subtype == VS_FORMAT_UNCOMPRESSED || subtype == VS_FORMAT_FRAME_BASED) && len >= 22) {
    f.guid = ReadGuid(d + 5);
    f.bitsPerPixel = d[21];
    if (subtype == VS_FORMAT_FRAME_BASED) {
      f.kind = FormatKind::kFrameBased;
      f.variableSize = len >= 28 && d[27] != 0;
      f.supported = true;
    } else {
      f.kind = f.guid.Data1 == 0x32595559 ? FormatKind::kYuy2 : FormatKind::kUncompressed;
      f.supported = f.bitsPerPixel != 0;
    }
  }
  return f;
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

const FormatLayout* StreamingLayout::Format(uint8_t formatIndex) const {
  for (const FormatLayout& f : formats)
    if (f.index == formatIndex) return &f;
  return nullptr;
}

uint8_t StreamingLayout::StillEndpoint() const {
  for (const FormatLayout& f : formats)
    if (f.stillEndpoint) return f.stillEndpoint;
  return 0;
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

const StreamingLayout* DescriptorLayout::Stream(uint8_t interfaceNumber) const {
  if (interfaceNumber == 0xFF) interfaceNumber = streamingInterface;
  for (const StreamingLayout& s : streams)
    if (s.interfaceNumber == interfaceNumber) return &s;
  return nullptr;
}

bool DescriptorLayout::IsBulk(uint8_t interfaceNumber) const {
  const auto ep = VideoEndpoint(0, interfaceNumber);
  return ep && ep->Type() == USB_ENDPOINT_TYPE_BULK;
}

std::optional<EndpointLayout> DescriptorLayout::VideoEndpoint(uint8_t alternate, uint8_t interfaceNumber) const {
  const StreamingLayout* s = Stream(interfaceNumber);
  const AltSettingLayout* a = s ? Alternate(s->interfaceNumber, alternate) : nullptr;
  if (!a) return std::nullopt;
  // The input header names the video endpoint; a header that names none leaves the first IN
  // endpoint that is not the still endpoint.
  for (const EndpointLayout& e : a->endpoints)
    if (s->endpointAddress ? e.address == s->endpointAddress
                           : (e.address & USB_ENDPOINT_DIRECTION_MASK) && e.address != s->StillEndpoint())
      return e;
  return std::nullopt;
}

std::optional<EndpointLayout> DescriptorLayout::InterruptEndpoint() const {
  const AltSettingLayout* a = Alternate(controlInterface, 0);
  if (!a) return std::nullopt;
  for (const EndpointLayout& e : a->endpoints)
    if (e.Type() == USB_ENDPOINT_TYPE_INTERRUPT) return e;
  return std::nullopt;
}

std::vector<uint32_t> DescriptorLayout::StreamingBandwidths(uint8_t interfaceNumber) const {
  std::vector<uint32_t> out;
  const StreamingLayout* s = Stream(interfaceNumber);
  if (!s) return out;
  for (unsigned alt = 0; alt < 256 && Alternate(s->interfaceNumber, static_cast<uint8_t>(alt)); ++alt) {
    auto ep = VideoEndpoint(static_cast<uint8_t>(alt), s->interfaceNumber);
    out.push_back(ep ? ep->BytesPerInterval(speed) : 0);
  }
  return out;
}

uint16_t DescriptorLayout::ProbeLength() const {
  if (bcdUVC >= 0x0150) return 48;
  if (bcdUVC >= 0x0110) return 34;
  return 26;
}

DescriptorLayout ParseDescriptors(const std::vector<uint8_t>& device, const std::vector<uint8_t>& configuration,
                                  usb::Speed speed) {
  DescriptorLayout layout;
  layout.speed = speed;
  if (device.size() >= 4) layout.bcdUSB = U16(device.data() + 2);
  if (layout.bcdUSB != 0 && layout.bcdUSB < 0x0200) layout.speed = usb::Speed::Full;
  if (configuration.size() < 9) return layout;
  layout.numInterfaces = configuration[4];
  layout.configurationValue = configuration[5];
  size_t end = U16(configuration.data() + 2);
  if (end > configuration.size()) end = configuration.size();

  AltSettingLayout* current = nullptr;
  StreamingLayout* stream = nullptr;
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
      stream = nullptr;
      if (a.interfaceClass == CC_VIDEO && a.subClass == SC_VIDEOCONTROL && layout.controlInterface == 0xFF)
        layout.controlInterface = a.interfaceNumber;
      if (a.interfaceClass == CC_VIDEO && a.subClass == SC_VIDEOSTREAMING && a.alternate == 0 &&
          !layout.Stream(a.interfaceNumber)) {
        layout.streams.push_back(StreamingLayout{});
        layout.streams.back().interfaceNumber = a.interfaceNumber;
        if (layout.streamingInterface == 0xFF) layout.streamingInterface = a.interfaceNumber;
      }
      if (a.interfaceClass == CC_VIDEO && a.subClass == SC_VIDEOSTREAMING && a.alternate == 0)
        for (StreamingLayout& s : layout.streams)
          if (s.interfaceNumber == a.interfaceNumber) stream = &s;
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
          layout.bcdUVC = U16(d + 3);
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
      } else if (current->subClass == SC_VIDEOSTREAMING && stream) {
        if (subtype == VS_INPUT_HEADER && len >= 13) {
          stream->endpointAddress = d[6];
          stream->stillCaptureMethod = d[9];
        } else if ((subtype == VS_FORMAT_UNCOMPRESSED || subtype == VS_FORMAT_MJPEG || subtype == VS_FORMAT_FRAME_BASED ||
                    subtype == VS_FORMAT_MPEG2TS || subtype == VS_FORMAT_DV || subtype == VS_FORMAT_STREAM_BASED) &&
                   len >= 4) {
          stream->formats.push_back(ParseFormat(d, len));
          format = &stream->formats.back();
        } else if ((subtype == VS_FRAME_UNCOMPRESSED || subtype == VS_FRAME_MJPEG || subtype == VS_FRAME_FRAME_BASED) &&
                   format) {
          ParseFrame(*format, d, len);
        } else if (subtype == VS_STILL_IMAGE_FRAME && format) {
          ParseStill(*format, d, len);
        }
      }
    }
    at += len;
  }
  if (const StreamingLayout* first = layout.Stream(layout.streamingInterface)) {
    layout.formats = first->formats;
    layout.stillCaptureMethod = first->stillCaptureMethod;
  }
  return layout;
}

}  // namespace kvz::simcam
