#include "simcam/sim_camera.h"

#include <algorithm>
#include <cstring>

#include "simcam/test_pattern.h"
#include "usb100.h"
#include "uvc.h"

namespace kvz::simcam {
namespace {

constexpr uint8_t kTypeStandard = 0;
constexpr uint8_t kTypeClass = 1;
// The MJPEG quality of the test pattern, used for the face scene too.
constexpr int kSceneQuality = 80;

ControlValue RawControl(uint16_t length, std::vector<uint8_t> def = {}) {
  ControlValue c;
  c.length = length;
  c.checkRange = false;
  c.min.assign(length, 0x00);
  c.max.assign(length, 0xFF);
  c.res = EncodeValue(1, length);
  c.def = def.empty() ? std::vector<uint8_t>(length, 0) : def;
  c.def.resize(length, 0);
  c.cur = c.def;
  return c;
}

bool Matches(const RequestMatch& m, const USB_DEFAULT_PIPE_SETUP_PACKET& s) {
  return (m.bmRequestType < 0 || m.bmRequestType == s.bmRequestType) && (m.bRequest < 0 || m.bRequest == s.bRequest) &&
         (m.wValue < 0 || m.wValue == s.wValue) && (m.wIndex < 0 || m.wIndex == s.wIndex);
}

}  // namespace

SimCamera::SimCamera(CameraProfile profile, CameraOptions options)
    : profile_(std::move(profile)),
      options_(options),
      layout_(ParseDescriptors(profile_.deviceDescriptor, profile_.configurationDescriptor, profile_.speed)) {
  const uint32_t clock = layout_.clockFrequency ? layout_.clockFrequency : 48000000;
  streams_.resize(layout_.streams.size());
  for (size_t i = 0; i < streams_.size(); ++i) {
    StreamState& st = streams_[i];
    st.layout = &layout_.streams[i];
    st.payloads = std::make_unique<PayloadStream>([this](const StreamSelection& s, uint64_t n) { return MakeFrame(s, n); },
                                                  clock, layout_.speed);
    const auto video = layout_.VideoEndpoint(0, st.layout->interfaceNumber);
    st.video.SetPacketSize(video ? video->wMaxPacketSize & USB_ENDPOINT_MAX_PACKET_SIZE_MASK : 512);
    for (const AltSettingLayout& a : layout_.alternates)
      for (const EndpointLayout& e : a.endpoints)
        if (e.address == st.layout->StillEndpoint()) st.still.SetPacketSize(e.wMaxPacketSize & USB_ENDPOINT_MAX_PACKET_SIZE_MASK);
    SetBlock(st.probe, DefaultVideoProbe(layout_, *st.layout, options_.bulkPayloadLimit));
    st.commit = st.probe;
  }
  controls_.AddStandardControls(layout_);
  for (const UnitLayout& u : layout_.units) {
    if (u.subtype != VC_EXTENSION_UNIT) continue;
    for (unsigned bit = 0; bit < u.bmControls.size() * 8; ++bit) {
      if (!u.HasControlBit(bit)) continue;
      const uint8_t selector = static_cast<uint8_t>(bit + 1);
      ControlValue c = RawControl(4);
      if (u.id == profile_.vendorUnitId) {
        switch (selector) {
          case 1: c = RawControl(1, {1}); break;  // long isochronous transfers
          case 2: c = RawControl(2); break;       // register address
          case 3: c = RawControl(1); break;       // register data
          case 27: c = RawControl(15); break;     // exposure window
          case 28: c = RawControl(6, {120, 0, 128, 0, 110, 0}); break;  // exposure levels
          default: break;
        }
      } else if (u.id == profile_.testUnitId && selector == 3) {
        c = RawControl(2);
        c.info = UVC_INFO_SUPPORTS_GET;
      }
      controls_.Set(u.id, selector, c);
    }
  }
}

CameraSnapshot SimCamera::Snapshot(uint8_t streamingInterface) const {
  std::lock_guard<std::mutex> lock(mutex_);
  CameraSnapshot s;
  s.configured = configured_;
  s.stillTriggers = stillTriggers_;
  s.requestErrorCode = requestError_;
  const StreamState* st = StreamOf(streamingInterface == 0xFF ? layout_.streamingInterface : streamingInterface);
  if (!st) return s;
  s.streamingAlternate = st->alternate;
  s.probe = Block(st->probe);
  s.commit = Block(st->commit);
  s.stillCommit = st->stillCommit;
  s.committed = st->committed;
  s.streaming = st->payloads->Running();
  s.framesSent = st->payloads->FramesSent();
  return s;
}

SimCamera::StreamState* SimCamera::StreamOf(uint8_t interfaceNumber) {
  for (StreamState& st : streams_)
    if (st.layout->interfaceNumber == interfaceNumber) return &st;
  return nullptr;
}

const SimCamera::StreamState* SimCamera::StreamOf(uint8_t interfaceNumber) const {
  for (const StreamState& st : streams_)
    if (st.layout->interfaceNumber == interfaceNumber) return &st;
  return nullptr;
}

// The streaming interface whose current setting carries the endpoint: video only on the video
// endpoint of the alternate setting in use, stills on the still endpoint (method 3).
SimCamera::StreamState* SimCamera::StreamOnEndpoint(uint8_t endpoint, bool* stillEndpoint) {
  for (StreamState& st : streams_) {
    const AltSettingLayout* alt = layout_.Alternate(st.layout->interfaceNumber, st.alternate);
    if (!alt) continue;
    for (const EndpointLayout& e : alt->endpoints) {
      if (e.address != endpoint) continue;
      *stillEndpoint = endpoint == st.layout->StillEndpoint() && st.layout->stillCaptureMethod == 3;
      const auto video = layout_.VideoEndpoint(st.alternate, st.layout->interfaceNumber);
      if (*stillEndpoint || (video && video->address == endpoint)) return &st;
    }
  }
  return nullptr;
}

uint16_t SimCamera::ProbeLength() const { return options_.probeLength ? options_.probeLength : layout_.ProbeLength(); }

UVC_VIDEO_PROBE_COMMIT SimCamera::Block(const std::array<uint8_t, 48>& raw) const {
  UVC_VIDEO_PROBE_COMMIT b{};
  std::memcpy(&b, raw.data(), sizeof(b));
  return b;
}

// The 26 bytes every version has, then (1.1) the clock and framing bits, (1.5) the rest left zero.
void SimCamera::SetBlock(std::array<uint8_t, 48>& raw, const UVC_VIDEO_PROBE_COMMIT& block) const {
  raw.fill(0);
  std::memcpy(raw.data(), &block, sizeof(block));
  const uint32_t clock = layout_.clockFrequency;
  for (int i = 0; i < 4; ++i) raw[26 + i] = static_cast<uint8_t>(clock >> (8 * i));
  raw[30] = 0x03;  // FID required, EOF may be present
}

usb::Outcome SimCamera::StallWith(uint8_t errorCode) {
  requestError_ = errorCode;
  return usb::Outcome::Stall();
}

std::vector<LoggedRequest> SimCamera::Log() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

void SimCamera::ClearLog() {
  std::lock_guard<std::mutex> lock(mutex_);
  log_.clear();
}

std::vector<RegisterWrite> SimCamera::RegisterWrites() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return registers_.Writes();
}

uint8_t SimCamera::ReadRegister(uint16_t address, uint64_t now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return registers_.Read(address, now);
}

std::vector<uint8_t> SimCamera::ControlCurrent(uint8_t entity, uint8_t selector) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const ControlValue* c = controls_.Find(entity, selector);
  return c ? c->cur : std::vector<uint8_t>{};
}

void SimCamera::Configure(const std::function<void(CameraFaults&, ControlTable&, RegisterFile&, CameraOptions&)>& f) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    f(faults_, controls_, registers_, options_);
  }
  Kick();
}

void SimCamera::ArmRequestFault(const RequestFault& fault) {
  Configure([&](CameraFaults& faults, ControlTable&, RegisterFile&, CameraOptions&) { faults.requests.push_back(fault); });
}

void SimCamera::ArmFrameFault(uint64_t frameNumber, const FrameFault& fault) {
  Configure([&](CameraFaults& faults, ControlTable&, RegisterFile&, CameraOptions&) { faults.frames[frameNumber] = fault; });
}

void SimCamera::ArmTransferFault(uint8_t endpointType, const TransferFault& fault) {
  Configure([&](CameraFaults& faults, ControlTable&, RegisterFile&, CameraOptions&) {
    if (endpointType == USB_ENDPOINT_TYPE_ISOCHRONOUS) faults.isochTransfers.push_back(fault);
    else if (endpointType == USB_ENDPOINT_TYPE_BULK) faults.bulkTransfers.push_back(fault);
    else faults.interruptTransfers.push_back(fault);
  });
}

void SimCamera::QueueStatusPacket(std::vector<uint8_t> packet) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    status_.push_back(std::move(packet));
  }
  Kick();
}

void SimCamera::PressButton() {
  QueueStatusPacket({UVC_STATUS_TYPE_STREAMING, layout_.streamingInterface, UVC_VS_EVENT_BUTTON_PRESS, 1});
}

void SimCamera::PowerChanged(DEVICE_POWER_STATE state, uint64_t now) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state == PowerDeviceD3 && options_.loseStateInD3) ResetUvcState();
  LoggedRequest entry;
  entry.time = now;
  entry.kind = RequestKind::kPower;
  entry.value = static_cast<uint8_t>(state);
  Log(std::move(entry));
}

// What a camera forgets when its power goes: controls, negotiation and the stream. The USB
// configuration stays, as the hub keeps the device addressed and configured across suspend.
void SimCamera::ResetUvcState() {
  for (auto& [key, c] : controls_.Mutable()) c.cur = c.def;
  for (StreamState& st : streams_) {
    StopStream(st);
    SetBlock(st.probe, DefaultVideoProbe(layout_, *st.layout, options_.bulkPayloadLimit));
    st.commit = st.probe;
    st.stillProbe = st.stillCommit = UVC_STILL_PROBE_COMMIT{};
    st.committed = false;
  }
  registerAddress_ = 0;
}

void SimCamera::StopStream(StreamState& st) {
  st.payloads->Stop();
  st.video.Clear();
  st.still.Clear();
  st.lastIsochFrame = UINT64_MAX;
}

void SimCamera::ReleaseButton() {
  QueueStatusPacket({UVC_STATUS_TYPE_STREAMING, layout_.streamingInterface, UVC_VS_EVENT_BUTTON_PRESS, 0});
}

void SimCamera::QueueControlChange(uint8_t entity, uint8_t selector, std::vector<uint8_t> value) {
  std::vector<uint8_t> packet = {UVC_STATUS_TYPE_CONTROL, entity, UVC_VC_EVENT_CONTROL_CHANGE, selector, 0};
  packet.insert(packet.end(), value.begin(), value.end());
  QueueStatusPacket(std::move(packet));
}

void SimCamera::Attach(usb::UsbPort* port) {
  std::lock_guard<std::mutex> lock(mutex_);
  port_ = port;
}

void SimCamera::Kick() {
  usb::UsbPort* port;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    port = port_;
  }
  if (port) port->Kick();
}

void SimCamera::Log(LoggedRequest entry) { log_.push_back(std::move(entry)); }

void SimCamera::CheckRemoval() {
  uint64_t sent = 0;
  for (const StreamState& st : streams_) sent += st.payloads->FramesSent();
  if (faults_.removeAfterFrames == 0 || sent < faults_.removeAfterFrames) return;
  faults_.removeAfterFrames = 0;
  removalRequested_ = true;
  if (port_) port_->RequestRemoval();
}

const RequestFault* SimCamera::TakeRequestFault(RequestTarget target, const USB_DEFAULT_PIPE_SETUP_PACKET* setup) {
  for (auto it = faults_.requests.begin(); it != faults_.requests.end(); ++it) {
    if (it->target != target || (setup && !Matches(it->match, *setup))) continue;
    static thread_local RequestFault taken;
    taken = *it;
    if (it->count == 1) faults_.requests.erase(it);
    else if (it->count > 1) --it->count;
    return &taken;
  }
  return nullptr;
}

usb::Outcome SimCamera::ApplyRequestFault(const RequestFault& fault, uint32_t answered) {
  switch (fault.kind) {
    case RequestFaultKind::kStall: return usb::Outcome::Stall();
    case RequestFaultKind::kHold: return usb::Outcome::Hold();
    case RequestFaultKind::kPowerStateInvalid: return usb::Outcome::Fail(STATUS_POWER_STATE_INVALID, USBD_STATUS_SUCCESS);
    case RequestFaultKind::kShortAnswer: return usb::Outcome::Ok(std::min(answered, fault.shortLength));
    // Only the bytes asked for are written; the claim goes past them.
    case RequestFaultKind::kOversizeAnswer: return usb::Outcome::Ok(answered + fault.excessLength);
    case RequestFaultKind::kRemove: return usb::Outcome::Remove();
    case RequestFaultKind::kUrbErrorIrpSuccess:
      return {usb::Disposition::kComplete, {STATUS_SUCCESS, fault.urbStatus, answered}};
    case RequestFaultKind::kFail: return usb::Outcome::Fail(fault.irpStatus, fault.urbStatus);
  }
  return usb::Outcome::Stall();
}

usb::Outcome SimCamera::Answer(const void* bytes, uint32_t size, uint16_t wLength, uint8_t* data,
                               uint32_t* answered) const {
  const uint32_t n = std::min<uint32_t>(size, wLength);
  if (n) std::memcpy(data, bytes, n);
  *answered = n;
  return usb::Outcome::Ok(n);
}

usb::Outcome SimCamera::Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, uint8_t* data, uint64_t now) {
  usb::Outcome outcome;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    LoggedRequest entry;
    entry.time = now;
    entry.kind = RequestKind::kControl;
    entry.setup = setup;
    const bool in = setup.bmRequestType & 0x80;
    if (!in && setup.wLength) entry.data.assign(data, data + setup.wLength);

    const RequestFault* fault = TakeRequestFault(RequestTarget::kControl, &setup);
    const bool runsFirst = fault && (fault->kind == RequestFaultKind::kShortAnswer ||
                                     fault->kind == RequestFaultKind::kOversizeAnswer ||
                                     fault->kind == RequestFaultKind::kUrbErrorIrpSuccess);
    uint32_t answered = 0;
    if (!fault || runsFirst) {
      const uint8_t type = (setup.bmRequestType >> 5) & 3;
      const uint8_t recipient = setup.bmRequestType & 0x1F;
      if (type == kTypeStandard) {
        outcome = Standard(setup, data, &answered);
      } else if (type == kTypeClass && recipient == BMREQUEST_TO_INTERFACE) {
        const bool readsErrorCode = (setup.wIndex & 0xFF) == layout_.controlInterface && (setup.wIndex >> 8) == 0 &&
                                    (setup.wValue >> 8) == VC_REQUEST_ERROR_CODE_CONTROL;
        // Every class request but the read of the code itself starts from "no error".
        if (!readsErrorCode) requestError_ = UVC_ERROR_NONE;
        outcome = ClassInterface(setup, data, now, &answered);
      } else {
        outcome = usb::Outcome::Stall();
      }
    }
    if (fault && (!runsFirst || outcome.completion.irpStatus == STATUS_SUCCESS)) outcome = ApplyRequestFault(*fault, answered);
    if (in && outcome.disposition == usb::Disposition::kComplete && outcome.completion.length)
      entry.data.assign(data, data + std::min<uint32_t>(outcome.completion.length, setup.wLength));
    entry.outcome = outcome;
    Log(std::move(entry));
  }
  return outcome;
}

// Every second read of the configuration descriptor (with the attack on) reports a longer
// wTotalLength and ends in bytes that are no descriptor.
std::vector<uint8_t> SimCamera::ConfigurationAnswer() {
  std::vector<uint8_t> config = profile_.configurationDescriptor;
  if (!faults_.attacks.descriptorsChangeBetweenReads || (configurationReads_++ & 1) == 0) return config;
  config.insert(config.end(), {0x00, CS_INTERFACE, 0xFF, 0xFF, 0x03, 0x24, 0x01, 0xFF});
  config.resize(config.size() + 24, 0xA5);
  const size_t total = config.size();
  if (total <= 0xFFFF) {
    config[2] = static_cast<uint8_t>(total);
    config[3] = static_cast<uint8_t>(total >> 8);
  }
  return config;
}

usb::Outcome SimCamera::Standard(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, uint8_t* data, uint32_t* answered) {
  const uint8_t recipient = setup.bmRequestType & 0x1F;
  switch (setup.bRequest) {
    case USB_REQUEST_GET_DESCRIPTOR: {
      const uint8_t type = setup.wValue >> 8;
      const uint8_t index = setup.wValue & 0xFF;
      if (type == USB_DEVICE_DESCRIPTOR_TYPE)
        return Answer(profile_.deviceDescriptor.data(), static_cast<uint32_t>(profile_.deviceDescriptor.size()), setup.wLength, data, answered);
      if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) {
        const std::vector<uint8_t> config = ConfigurationAnswer();
        return Answer(config.data(), static_cast<uint32_t>(config.size()), setup.wLength, data, answered);
      }
      if (type == USB_STRING_DESCRIPTOR_TYPE) {
        static const uint8_t languages[] = {4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04};
        static const uint8_t name[] = {14, USB_STRING_DESCRIPTOR_TYPE, 'k', 0, 'v', 0, 'z', 0, 'c', 0, 'a', 0, 'm', 0};
        return index == 0 ? Answer(languages, sizeof(languages), setup.wLength, data, answered)
                          : Answer(name, sizeof(name), setup.wLength, data, answered);
      }
      return usb::Outcome::Stall();
    }
    case USB_REQUEST_GET_STATUS: {
      bool halted = false;
      if (recipient == BMREQUEST_TO_ENDPOINT) {
        bool still = false;
        const StreamState* st = StreamOnEndpoint(setup.wIndex & 0xFF, &still);
        halted = st && st->halted && !still;
      }
      const uint8_t status[2] = {static_cast<uint8_t>(halted), 0};
      return Answer(status, 2, setup.wLength, data, answered);
    }
    case USB_REQUEST_GET_CONFIGURATION: {
      const uint8_t value = configured_ ? layout_.configurationValue : 0;
      return Answer(&value, 1, setup.wLength, data, answered);
    }
    case USB_REQUEST_GET_INTERFACE: {
      const StreamState* st = StreamOf(setup.wIndex & 0xFF);
      const uint8_t value = st ? st->alternate : 0;
      return Answer(&value, 1, setup.wLength, data, answered);
    }
    case USB_REQUEST_CLEAR_FEATURE:
      if (recipient == BMREQUEST_TO_ENDPOINT && setup.wValue == USB_FEATURE_ENDPOINT_STALL) {
        // Clearing a halt resets the endpoint: a bulk stream stops until it is committed again.
        bool still = false;
        if (StreamState* st = StreamOnEndpoint(setup.wIndex & 0xFF, &still)) {
          st->halted = false;
          if (!still && layout_.IsBulk(st->layout->interfaceNumber)) StopStream(*st);
        }
      }
      return usb::Outcome::Ok();
    case USB_REQUEST_SET_FEATURE:
      return usb::Outcome::Ok();
    default:
      return usb::Outcome::Stall();
  }
}

usb::Outcome SimCamera::ClassInterface(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, uint8_t* data, uint64_t now,
                                       uint32_t* answered) {
  const uint8_t iface = setup.wIndex & 0xFF;
  const uint8_t entity = setup.wIndex >> 8;
  if (StreamState* st = StreamOf(iface)) {
    if (entity != 0) return StallWith(UVC_ERROR_INVALID_UNIT);
    return Streaming(*st, setup, data, answered, now);
  }
  if (iface == layout_.controlInterface) return Unit(entity, setup, data, now, answered);
  return usb::Outcome::Stall();
}

usb::Outcome SimCamera::Streaming(StreamState& st, const USB_DEFAULT_PIPE_SETUP_PACKET& setup, uint8_t* data,
                                  uint32_t* answered, uint64_t now) {
  const uint8_t selector = setup.wValue >> 8;
  const uint8_t method = st.layout->stillCaptureMethod;
  const bool strict = options_.strictLengths;
  const uint16_t probeLength = ProbeLength();
  const uint8_t request = setup.bRequest;
  auto info = [&](uint8_t value) { return Answer(&value, 1, setup.wLength, data, answered); };
  auto length = [&](uint16_t value) {
    const uint8_t len[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    return Answer(len, 2, setup.wLength, data, answered);
  };
  switch (selector) {
    case VS_PROBE_CONTROL:
    case VS_COMMIT_CONTROL: {
      const bool commit = selector == VS_COMMIT_CONTROL;
      std::array<uint8_t, 48>& block = commit ? st.commit : st.probe;
      if (request == SET_CUR) {
        if (strict && setup.wLength != probeLength) return StallWith(UVC_ERROR_INVALID_REQUEST);
        UVC_VIDEO_PROBE_COMMIT proposal{};
        if (setup.wLength) std::memcpy(&proposal, data, std::min<size_t>(setup.wLength, sizeof(proposal)));
        const FormatLayout* format = st.layout->Format(proposal.bFormatIndex);
        const FrameLayout* frame = format ? format->Frame(proposal.bFrameIndex) : nullptr;
        if (!frame || !format->supported || !FrameCanStream(*format, frame->width, frame->height))
          return StallWith(UVC_ERROR_OUT_OF_RANGE);
        SetBlock(block, NegotiateVideo(layout_, *st.layout, proposal, options_.bulkPayloadLimit));
        if (commit) {
          st.committed = true;
          StartStreamIfReady(st, now);
        }
        return usb::Outcome::Ok(setup.wLength);
      }
      if (request == GET_LEN) return length(probeLength);
      if (request == GET_INFO) return info(UVC_INFO_SUPPORTS_GET | UVC_INFO_SUPPORTS_SET);
      // The commit control answers only GET_CUR, GET_LEN and GET_INFO.
      if (commit && request != GET_CUR) return StallWith(UVC_ERROR_INVALID_REQUEST);
      if (strict && setup.wLength != probeLength) return StallWith(UVC_ERROR_INVALID_REQUEST);
      std::array<uint8_t, 48> answer{};
      SetBlock(answer, DefaultVideoProbe(layout_, *st.layout, options_.bulkPayloadLimit));
      switch (request) {
        case GET_CUR: answer = block; break;
        case GET_MIN: case GET_DEF: break;
        case GET_MAX: answer[12] = 0x10; answer[13] = 0x27; break;  // wCompQuality 10000
        case GET_RES: answer.fill(0); break;
        default: return StallWith(UVC_ERROR_INVALID_REQUEST);
      }
      const PayloadAttacks& attacks = faults_.attacks;
      auto put32 = [&](size_t at, int64_t v) {
        for (int i = 0; i < 4; ++i) answer[at + i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
      };
      if (request == GET_CUR && attacks.probeMaxVideoFrameSize >= 0) put32(18, attacks.probeMaxVideoFrameSize);
      if (request == GET_CUR && attacks.probeMaxPayloadTransferSize >= 0) put32(22, attacks.probeMaxPayloadTransferSize);
      return Answer(answer.data(), probeLength, setup.wLength, data, answered);
    }
    case VS_STILL_PROBE_CONTROL:
    case VS_STILL_COMMIT_CONTROL: {
      // Still probe and commit exist for methods 2 and 3 only.
      if (method < 2) return StallWith(UVC_ERROR_INVALID_CONTROL);
      const bool commit = selector == VS_STILL_COMMIT_CONTROL;
      UVC_STILL_PROBE_COMMIT& block = commit ? st.stillCommit : st.stillProbe;
      if (request == SET_CUR) {
        if (strict && setup.wLength != sizeof(UVC_STILL_PROBE_COMMIT)) return StallWith(UVC_ERROR_INVALID_REQUEST);
        UVC_STILL_PROBE_COMMIT proposal{};
        if (setup.wLength) std::memcpy(&proposal, data, std::min<size_t>(setup.wLength, sizeof(proposal)));
        const FormatLayout* format = st.layout->Format(proposal.bFormatIndex);
        if (!format || proposal.bFrameIndex < 1 || proposal.bFrameIndex > format->stills.size() ||
            !FrameCanStream(*format, format->stills[proposal.bFrameIndex - 1].width,
                            format->stills[proposal.bFrameIndex - 1].height))
          return StallWith(UVC_ERROR_OUT_OF_RANGE);
        block = NegotiateStill(layout_, *st.layout, proposal,
                               st.committed ? Block(st.commit).dwMaxPayloadTransferSize : 0);
        return usb::Outcome::Ok(setup.wLength);
      }
      if (request == GET_LEN) return length(sizeof(UVC_STILL_PROBE_COMMIT));
      if (request == GET_INFO) return info(UVC_INFO_SUPPORTS_GET | UVC_INFO_SUPPORTS_SET);
      if (commit && request != GET_CUR) return StallWith(UVC_ERROR_INVALID_REQUEST);
      UVC_STILL_PROBE_COMMIT answer = NegotiateStill(layout_, *st.layout, UVC_STILL_PROBE_COMMIT{1, 1, 0, 0, 0}, 0);
      switch (request) {
        case GET_CUR: answer = block; break;
        case GET_MIN: case GET_MAX: case GET_DEF: break;
        default: return StallWith(UVC_ERROR_INVALID_REQUEST);
      }
      if (strict && setup.wLength != sizeof(answer)) return StallWith(UVC_ERROR_INVALID_REQUEST);
      return Answer(&answer, sizeof(answer), setup.wLength, data, answered);
    }
    case VS_STILL_IMAGE_TRIGGER_CONTROL: {
      if (method < 2) return StallWith(UVC_ERROR_INVALID_CONTROL);
      if (request == SET_CUR) {
        if (setup.wLength < 1 || (strict && setup.wLength != 1)) return StallWith(UVC_ERROR_INVALID_REQUEST);
        if (data[0] > UVC_STILL_TRIGGER_ABORT) return StallWith(UVC_ERROR_OUT_OF_RANGE);
        if (data[0] == UVC_STILL_TRIGGER_TRANSMIT || data[0] == UVC_STILL_TRIGGER_TRANSMIT_BULK) {
          ++stillTriggers_;
          const StreamSelection still = StillSelectionOf(*st.layout, st.stillCommit);
          if (still.valid && method == 3)
            for (std::vector<uint8_t>& p : st.payloads->StillPayloads(still, now, faults_))
              st.still.Push(std::move(p), true);
          else if (still.valid)
            st.payloads->TriggerStill(still);
        }
        return usb::Outcome::Ok(setup.wLength);
      }
      const uint8_t zero = 0;
      if (request == GET_CUR || request == GET_DEF) return Answer(&zero, 1, setup.wLength, data, answered);
      if (request == GET_LEN) return length(1);
      if (request == GET_INFO) return info(UVC_INFO_SUPPORTS_GET | UVC_INFO_SUPPORTS_SET);
      return StallWith(UVC_ERROR_INVALID_REQUEST);
    }
    case VS_STREAM_ERROR_CODE_CONTROL: {
      const uint8_t zero = 0;
      if (request == GET_CUR) return Answer(&zero, 1, setup.wLength, data, answered);
      if (request == GET_INFO) return info(UVC_INFO_SUPPORTS_GET);
      return StallWith(UVC_ERROR_INVALID_REQUEST);
    }
    default:
      return StallWith(UVC_ERROR_INVALID_CONTROL);
  }
}

usb::Outcome SimCamera::Unit(uint8_t entity, const USB_DEFAULT_PIPE_SETUP_PACKET& setup, uint8_t* data, uint64_t now,
                             uint32_t* answered) {
  const uint8_t selector = setup.wValue >> 8;
  const bool strict = options_.strictLengths;
  const bool vendor = entity != 0 && entity == profile_.vendorUnitId;
  if (entity == 0) {
    if (selector != VC_REQUEST_ERROR_CODE_CONTROL) return StallWith(UVC_ERROR_INVALID_CONTROL);
    const uint8_t value = setup.bRequest == GET_CUR ? requestError_ : UVC_INFO_SUPPORTS_GET;
    if (setup.bRequest != GET_CUR && setup.bRequest != GET_INFO) return StallWith(UVC_ERROR_INVALID_REQUEST);
    return Answer(&value, 1, setup.wLength, data, answered);
  }
  if (!layout_.Unit(entity)) return StallWith(UVC_ERROR_INVALID_UNIT);
  if (setup.bRequest == SET_CUR) {
    const ControlAnswer a = controls_.SetCur(entity, selector, data, setup.wLength, strict);
    if (a != ControlAnswer::kOk) return StallWith(static_cast<uint8_t>(a));
    if (vendor && selector == 2 && setup.wLength >= 1)
      registerAddress_ = static_cast<uint16_t>(data[0] | (setup.wLength >= 2 ? data[1] << 8 : 0));
    if (vendor && selector == 3 && setup.wLength >= 1) registers_.Write(registerAddress_, data[0], now);
    return usb::Outcome::Ok(setup.wLength);
  }
  if (setup.bRequest == GET_CUR && vendor && selector == 3) {
    ControlValue* c = controls_.Find(entity, selector);
    if (c) c->cur = {registers_.Read(registerAddress_, now)};
  }
  if (setup.bRequest == GET_CUR && entity == profile_.testUnitId && selector == 3) {
    ControlValue* c = controls_.Find(entity, selector);
    if (c) c->cur = EncodeValue(registers_.TestResult(now), 2);
  }
  const ControlAnswer a = controls_.Get(entity, selector, setup.bRequest, data, setup.wLength, strict, answered);
  if (a != ControlAnswer::kOk) return StallWith(static_cast<uint8_t>(a));
  return usb::Outcome::Ok(*answered);
}

usb::Outcome SimCamera::SetConfiguration(uint8_t value, uint64_t now) {
  std::lock_guard<std::mutex> lock(mutex_);
  usb::Outcome outcome = usb::Outcome::Ok();
  if (const RequestFault* fault = TakeRequestFault(RequestTarget::kSetConfiguration, nullptr)) {
    outcome = ApplyRequestFault(*fault, 0);
  } else if (value != 0 && value != layout_.configurationValue) {
    outcome = usb::Outcome::Stall();
  } else {
    configured_ = value != 0;
    for (StreamState& st : streams_) {
      st.alternate = 0;
      st.halted = false;
      StopStream(st);
    }
  }
  LoggedRequest entry;
  entry.time = now;
  entry.kind = RequestKind::kSetConfiguration;
  entry.value = value;
  entry.outcome = outcome;
  Log(std::move(entry));
  return outcome;
}

usb::Outcome SimCamera::SetInterface(uint8_t interfaceNumber, uint8_t alternate, uint64_t now) {
  std::lock_guard<std::mutex> lock(mutex_);
  usb::Outcome outcome = usb::Outcome::Ok();
  if (const RequestFault* fault = TakeRequestFault(RequestTarget::kSetInterface, nullptr)) {
    outcome = ApplyRequestFault(*fault, 0);
  } else if (!configured_ || !layout_.Alternate(interfaceNumber, alternate)) {
    outcome = usb::Outcome::Stall();
  } else if (StreamState* st = StreamOf(interfaceNumber)) {
    st->alternate = alternate;
    st->halted = false;
    // Any SET_INTERFACE resets the interface's endpoints; alternate setting 0 of an isochronous
    // interface has no bandwidth, and a bulk stream stops until it is committed again.
    StopStream(*st);
    if (alternate != 0 && !layout_.IsBulk(interfaceNumber)) StartStreamIfReady(*st, now);
    if (alternate == 0 && layout_.IsBulk(interfaceNumber)) st->committed = false;
  }
  LoggedRequest entry;
  entry.time = now;
  entry.kind = RequestKind::kSetInterface;
  entry.interfaceNumber = interfaceNumber;
  entry.value = alternate;
  entry.outcome = outcome;
  Log(std::move(entry));
  return outcome;
}

void SimCamera::StartStreamIfReady(StreamState& st, uint64_t now) {
  if (!st.committed) return;
  const StreamSelection selection = SelectionOf(*st.layout, Block(st.commit));
  if (!selection.valid) return;
  if (layout_.IsBulk(st.layout->interfaceNumber) || st.alternate != 0) {
    st.payloads->Start(selection, now);
    st.lastIsochFrame = UINT64_MAX;
  }
}

std::vector<uint8_t> SimCamera::MakeFrame(const StreamSelection& selection, uint64_t frameNumber) {
  switch (selection.kind) {
    case FormatKind::kMjpeg: {
      if (options_.recordedMjpeg && !options_.recordedMjpeg->empty())
        return (*options_.recordedMjpeg)[frameNumber % options_.recordedMjpeg->size()];
      const PayloadAttacks& a = faults_.attacks;
      const uint16_t w = a.mjpegWidth ? a.mjpegWidth : selection.width;
      const uint16_t h = a.mjpegHeight ? a.mjpegHeight : selection.height;
      if (options_.faceScene) {
        const std::vector<uint8_t>& picture = ScenePictureAt(w, h, frameNumber);
        if (scene_.jpeg.empty() || scene_.huffmanTables != options_.mjpegHuffmanTables) {
          scene_.huffmanTables = options_.mjpegHuffmanTables;
          scene_.jpeg = EncodeYuy2AsJpeg(picture, w, h, kSceneQuality, scene_.huffmanTables);
        }
        return scene_.jpeg;
      }
      return mjpeg_.Frame(w, h, frameNumber, options_.mjpegHuffmanTables);
    }
    case FormatKind::kYuy2:
      if (options_.faceScene) {
        std::vector<uint8_t> frame = ScenePictureAt(selection.width, selection.height, frameNumber);
        StampFrameNumber(&frame, frameNumber);
        return frame;
      }
      return MakeYuy2Frame(selection.width, selection.height, frameNumber);
    case FormatKind::kUncompressed:
    case FormatKind::kFrameBased:
      break;
  }
  // Other uncompressed formats take exactly their bits per pixel; frame-based frames are opaque,
  // a quarter of that, varying in length when the format says so. Both keep the frame number in
  // their first bytes.
  FormatLayout format;
  format.bitsPerPixel = selection.bitsPerPixel;
  uint32_t bytes = FrameBytes(format, selection.width, selection.height);
  if (selection.kind == FormatKind::kFrameBased) {
    bytes = std::max<uint32_t>(bytes / 4, 8);
    if (selection.variableSize) bytes = bytes / 2 + static_cast<uint32_t>(frameNumber * 7919 % (bytes / 2 + 1));
  }
  std::vector<uint8_t> frame = MakeYuy2Frame(selection.width, selection.height, frameNumber);
  frame.resize(std::max<uint32_t>(bytes, 8), 0x10);
  frame.resize(bytes);
  return frame;
}

const std::vector<uint8_t>& SimCamera::ScenePictureAt(uint16_t width, uint16_t height, uint64_t frameNumber) {
  const FacePlacement face = options_.faceScene->At(frameNumber, width, height);
  if (scene_.yuy2.empty() || !(scene_.face == face) || scene_.width != width || scene_.height != height) {
    scene_ = {};
    scene_.face = face;
    scene_.width = width;
    scene_.height = height;
    scene_.yuy2 = options_.faceScene->Picture(width, height, face);
  }
  return scene_.yuy2;
}

usb::Outcome SimCamera::IsochTransferStarts(uint8_t endpoint, uint32_t packets, uint64_t now) {
  (void)packets;
  (void)now;
  std::lock_guard<std::mutex> lock(mutex_);
  bool still = false;
  if (StreamState* st = StreamOnEndpoint(endpoint, &still)) st->packetInTransfer = 0;
  packetFaultArmed_ = false;
  if (faults_.holdIsochUntilAbort) return usb::Outcome::Hold();
  if (faults_.isochTransfers.empty()) return usb::Outcome::Ok();
  const TransferFault f = faults_.isochTransfers.front();
  faults_.isochTransfers.pop_front();
  switch (f.kind) {
    case TransferFaultKind::kIrpFailure: return usb::Outcome::Fail(f.irpStatus, f.urbStatus);
    case TransferFaultKind::kUrbErrorIrpSuccess: return {usb::Disposition::kComplete, {STATUS_SUCCESS, f.urbStatus, 0}};
    case TransferFaultKind::kPacketStatus:
      packetFaultArmed_ = true;
      packetFault_ = f;
      return usb::Outcome::Ok();
    default: return usb::Outcome::Ok();
  }
}

usb::IsochPacketResult SimCamera::IsochInPacket(uint8_t endpoint, uint64_t frameNumber, uint64_t time,
                                                uint8_t* buffer, uint32_t capacity) {
  std::lock_guard<std::mutex> lock(mutex_);
  bool still = false;
  StreamState* st = StreamOnEndpoint(endpoint, &still);
  if (!st || still) return {};
  const uint32_t index = st->packetInTransfer++;
  const uint64_t unit = layout_.speed == usb::Speed::Full ? 10000 : 1250;
  // The camera sends in every (micro)frame whether or not the host asked: what went out while no
  // transfer was queued is lost.
  if (st->lastIsochFrame != UINT64_MAX && frameNumber > st->lastIsochFrame + 1) {
    constexpr uint64_t kLostLimit = 16000;
    std::vector<uint8_t> lost(capacity);
    const uint64_t first = frameNumber - std::min(frameNumber - st->lastIsochFrame - 1, kLostLimit);
    for (uint64_t f = first; f < frameNumber; ++f)
      st->payloads->NextIsochPacket(f * unit, f / (unit == 1250 ? 8 : 1), lost.data(), capacity, faults_);
    st->payloads->TakeLost();
  }
  st->lastIsochFrame = frameNumber;
  if (packetFaultArmed_ && index == packetFault_.packetIndex) return {0, packetFault_.urbStatus};
  usb::IsochPacketResult r;
  r.length = st->payloads->NextIsochPacket(time, time / 10000, buffer, capacity, faults_);
  if (st->payloads->TakeLost()) {
    CheckRemoval();
    return {0, USBD_STATUS_XACT_ERROR};
  }
  const PayloadAttacks& a = faults_.attacks;
  if (index < a.badPacketsPerTransfer) {
    r.status = a.badPacketStatus;
    if (!a.badPacketsCarryData) r.length = 0;
  }
  CheckRemoval();
  return r;
}

usb::StreamResult SimCamera::StreamIn(uint8_t endpoint, uint64_t now, uint8_t* buffer, uint32_t capacity) {
  std::lock_guard<std::mutex> lock(mutex_);
  usb::StreamResult r;
  const auto interrupt = layout_.InterruptEndpoint();
  if (interrupt && endpoint == interrupt->address) {
    if (!faults_.interruptTransfers.empty()) {
      const TransferFault f = faults_.interruptTransfers.front();
      faults_.interruptTransfers.pop_front();
      r.ready = true;
      r.outcome = f.kind == TransferFaultKind::kUrbErrorIrpSuccess
                      ? usb::Outcome{usb::Disposition::kComplete, {STATUS_SUCCESS, f.urbStatus, 0}}
                      : usb::Outcome::Fail(f.irpStatus, f.urbStatus);
      return r;
    }
    if (status_.empty()) return r;
    std::vector<uint8_t> packet = std::move(status_.front());
    status_.pop_front();
    uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(packet.size()), capacity);
    if (!faults_.shortStatusPackets.empty()) {
      n = std::min(n, faults_.shortStatusPackets.front());
      faults_.shortStatusPackets.pop_front();
    }
    if (n) std::memcpy(buffer, packet.data(), n);
    r.ready = true;
    r.outcome = usb::Outcome::Ok(n);
    return r;
  }

  bool stillEndpoint = false;
  StreamState* st = StreamOnEndpoint(endpoint, &stillEndpoint);
  // An endpoint that carries no video (audio, vendor, or not in the current setting) never answers.
  if (!st) return r;
  if (stillEndpoint) {
    const BulkEndpoint::Read read = st->still.Take(buffer, capacity);
    if (!read.complete) return r;
    r.ready = true;
    r.outcome = usb::Outcome::Ok(read.length);
    return r;
  }

  r.ready = true;
  if (st->halted) {
    r.outcome = usb::Outcome::Fail(STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED);
    return r;
  }
  if (faults_.holdBulkUntilAbort) {
    r.outcome = usb::Outcome::Hold();
    return r;
  }
  if (!faults_.bulkTransfers.empty() && faults_.bulkTransfers.front().kind != TransferFaultKind::kShort) {
    const TransferFault f = faults_.bulkTransfers.front();
    faults_.bulkTransfers.pop_front();
    if (f.kind == TransferFaultKind::kStallThenHalt) {
      st->halted = true;
      r.outcome = usb::Outcome::Stall();
    } else if (f.kind == TransferFaultKind::kUrbErrorIrpSuccess) {
      r.outcome = {usb::Disposition::kComplete, {STATUS_SUCCESS, f.urbStatus, 0}};
    } else {
      r.outcome = usb::Outcome::Fail(f.irpStatus, f.urbStatus);
    }
    return r;
  }
  // Payloads go out as they fall due; a read waits until its last packet has been sent.
  for (;;) {
    if (!st->video.Empty()) {
      const BulkEndpoint::Read read = st->video.Take(buffer, capacity);
      if (read.complete) {
        if (read.overrun) {
          r.outcome = {usb::Disposition::kComplete, {STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN, read.length}};
          return r;
        }
        uint32_t length = read.length;
        if (!faults_.bulkTransfers.empty() && faults_.bulkTransfers.front().kind == TransferFaultKind::kShort) {
          length = std::min(length, faults_.bulkTransfers.front().shortLength);
          faults_.bulkTransfers.pop_front();
        }
        r.outcome = usb::Outcome::Ok(length);
        return r;
      }
    }
    std::vector<uint8_t> payload;
    uint64_t readyAt = 0;
    if (!st->payloads->NextBulkPayload(now, now / 10000, faults_, &payload, &readyAt)) {
      r.ready = false;
      r.readyAt = readyAt;
      return r;
    }
    CheckRemoval();
    if (st->payloads->TakeLost()) {
      r.outcome = usb::Outcome::Fail(STATUS_UNSUCCESSFUL, USBD_STATUS_XACT_ERROR);
      return r;
    }
    st->video.Push(std::move(payload), faults_.attacks.bulkZeroLengthPackets);
  }
}

void SimCamera::PipeAborted(uint8_t endpoint, uint64_t now) {
  std::lock_guard<std::mutex> lock(mutex_);
  LoggedRequest entry;
  entry.time = now;
  entry.kind = RequestKind::kPipeAbort;
  entry.value = endpoint;
  Log(std::move(entry));
}

void SimCamera::PipeReset(uint8_t endpoint, uint64_t now) {
  std::lock_guard<std::mutex> lock(mutex_);
  bool still = false;
  if (StreamState* st = StreamOnEndpoint(endpoint, &still)) {
    st->halted = false;
    // A reset endpoint starts from a clean state; a bulk stream waits for the next commit.
    if (!still && layout_.IsBulk(st->layout->interfaceNumber)) {
      StopStream(*st);
      st->committed = false;
    }
  }
  LoggedRequest entry;
  entry.time = now;
  entry.kind = RequestKind::kPipeReset;
  entry.value = endpoint;
  Log(std::move(entry));
}

void SimCamera::PortCycled(uint64_t now) {
  std::lock_guard<std::mutex> lock(mutex_);
  configured_ = false;
  for (StreamState& st : streams_) {
    st.alternate = 0;
    st.committed = false;
    st.halted = false;
    StopStream(st);
  }
  LoggedRequest entry;
  entry.time = now;
  entry.kind = RequestKind::kPortCycle;
  Log(std::move(entry));
}

}  // namespace kvz::simcam
