// A camera with mutated descriptors and a mutated payload stream. The input is a descriptor dump
// (device then configuration descriptor) of the length its first two bytes give, then the knobs of
// the camera's payload attacks and the host's requests. The camera must survive any descriptors;
// what it sends goes to the host-side consumers below, where the driver's transport parsers are
// attached as they are built.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <vector>

#include "simcam/payload_assembler.h"
#include "simcam/sim_camera.h"
#include "usbdlib.h"
#include "uvc.h"

namespace {

using namespace kvz::simcam;

// The descriptor walk a driver does before it trusts anything.
void ConsumeConfiguration(std::vector<uint8_t> config) {
  if (config.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return;
  auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
  if (c->wTotalLength > config.size()) c->wTotalLength = static_cast<USHORT>(config.size());
  PVOID start = c;
  for (int i = 0; i < 64; ++i) {
    PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(c, start, -1, -1, -1, -1, -1);
    if (!d) break;
    start = reinterpret_cast<uint8_t*>(d) + (d->bLength ? d->bLength : 1);
  }
}

struct Host {
  PayloadAssembler assembler;
  void Payload(const uint8_t* data, size_t length, uint64_t time) { assembler.Add(data, length, time); }
};

void Request(SimCamera& cam, uint8_t type, uint8_t request, uint16_t value, uint16_t index, std::vector<uint8_t>& data) {
  USB_DEFAULT_PIPE_SETUP_PACKET s{type, request, value, index, static_cast<USHORT>(data.size())};
  cam.Control(s, data.data(), 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  FuzzedDataProvider in(input, size);
  const size_t descriptorBytes = in.ConsumeIntegralInRange<size_t>(0, 4096);
  const std::vector<uint8_t> dump = in.ConsumeBytes<uint8_t>(descriptorBytes);
  std::optional<CameraProfile> profile = RawDescriptorProfile(dump, nullptr);
  if (!profile) return 0;

  PayloadAttacks a;
  a.headerLength = in.ConsumeBool() ? in.ConsumeIntegral<uint8_t>() : -1;
  a.headerOnlyIdle = in.ConsumeBool();
  a.fid = static_cast<FidMode>(in.ConsumeIntegralInRange<int>(0, 3));
  a.mjpegWidth = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint16_t>(1, 256) : 0;
  a.mjpegHeight = a.mjpegWidth ? in.ConsumeIntegralInRange<uint16_t>(1, 256) : 0;
  a.garbageTimestamps = in.ConsumeBool();
  a.jitterPercent = in.ConsumeIntegralInRange<uint32_t>(0, 100);
  a.burstFrames = in.ConsumeIntegralInRange<uint32_t>(0, 4);
  a.badPacketsPerTransfer = in.ConsumeIntegralInRange<uint32_t>(0, 8);
  a.badPacketsCarryData = in.ConsumeBool();
  a.ignoreNegotiatedPayload = in.ConsumeBool();
  a.bulkZeroLengthPackets = in.ConsumeBool();
  a.descriptorsChangeBetweenReads = in.ConsumeBool();
  a.probeMaxPayloadTransferSize = in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>() : -1;
  a.seed = in.ConsumeIntegral<uint32_t>();
  FrameFault frameFault;
  frameFault.header = static_cast<HeaderFault>(in.ConsumeIntegralInRange<int>(0, 6));
  frameFault.lostEndOfFrame = in.ConsumeBool();
  frameFault.sizeDelta = in.ConsumeIntegralInRange<int32_t>(-4096, 4096);

  SimCamera cam(*profile);
  cam.Configure([&](CameraFaults& f, ControlTable&, RegisterFile&, CameraOptions& o) {
    f.attacks = a;
    f.frames[in.ConsumeIntegralInRange<uint64_t>(0, 3)] = frameFault;
    o.strictLengths = in.ConsumeBool();
    o.mjpegHuffmanTables = in.ConsumeBool();
  });
  std::vector<uint8_t> config(in.ConsumeIntegralInRange<size_t>(0, 1024));
  Request(cam, 0x80, USB_REQUEST_GET_DESCRIPTOR, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0, config);
  ConsumeConfiguration(config);
  config.assign(0xFFFF, 0);
  Request(cam, 0x80, USB_REQUEST_GET_DESCRIPTOR, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0, config);
  ConsumeConfiguration(config);

  const DescriptorLayout& layout = cam.Layout();
  cam.SetConfiguration(layout.configurationValue, 0);
  if (layout.streams.empty()) return 0;
  const StreamingLayout& stream = layout.streams[in.ConsumeIntegralInRange<size_t>(0, layout.streams.size() - 1)];
  const uint8_t iface = stream.interfaceNumber;

  // Probe and commit whatever the input proposes, then a few class requests of its choice.
  std::vector<uint8_t> probe = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 48));
  Request(cam, 0x21, SET_CUR, VS_PROBE_CONTROL << 8, iface, probe);
  std::vector<uint8_t> answer(48);
  Request(cam, 0xA1, GET_CUR, VS_PROBE_CONTROL << 8, iface, answer);
  Request(cam, 0x21, SET_CUR, VS_COMMIT_CONTROL << 8, iface, answer);
  for (int i = in.ConsumeIntegralInRange<int>(0, 4); i > 0; --i) {
    std::vector<uint8_t> data(in.ConsumeIntegralInRange<size_t>(0, 64));
    const uint8_t type = in.ConsumeBool() ? 0xA1 : 0x21;
    Request(cam, type, in.ConsumeIntegral<uint8_t>(), in.ConsumeIntegral<uint16_t>(), in.ConsumeIntegral<uint16_t>(), data);
  }

  Host host;
  const std::vector<uint32_t> bandwidths = layout.StreamingBandwidths(iface);
  const uint64_t unit = layout.speed == kvz::usb::Speed::Full ? 10000 : 1250;
  uint64_t now = 10000000;
  const int steps = in.ConsumeIntegralInRange<int>(1, 4000);
  if (layout.IsBulk(iface)) {
    const uint32_t capacity = in.ConsumeIntegralInRange<uint32_t>(0, 0x20000);
    std::vector<uint8_t> buffer(capacity);
    for (int i = 0; i < steps; ++i) {
      kvz::usb::StreamResult r = cam.StreamIn(stream.endpointAddress, now, buffer.data(), capacity);
      if (r.ready && r.outcome.completion.length <= capacity) host.Payload(buffer.data(), r.outcome.completion.length, now);
      now = r.ready || r.readyAt <= now ? now + unit : r.readyAt;
    }
  } else if (bandwidths.size() > 1) {
    const uint8_t alt = static_cast<uint8_t>(in.ConsumeIntegralInRange<size_t>(1, bandwidths.size() - 1));
    cam.SetInterface(iface, alt, now);
    const uint32_t capacity = bandwidths[alt];
    std::vector<uint8_t> packet(capacity);
    uint64_t frame = 0;
    for (int i = 0; i < steps; ++i) {
      if (i % 32 == 0) cam.IsochTransferStarts(stream.endpointAddress, 32, now);
      kvz::usb::IsochPacketResult p = cam.IsochInPacket(stream.endpointAddress, frame, now, packet.data(), capacity);
      if (p.length <= capacity) host.Payload(packet.data(), p.length, now);
      // Now and then the host has no transfer queued for a while.
      const uint64_t skip = (i % 97 == 96) ? 5 : 1;
      frame += skip;
      now += skip * unit;
    }
  }
  return 0;
}
