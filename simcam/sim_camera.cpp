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
      layout_(ParseDescriptors(profile_.deviceDescriptor, profile_.configurationDescriptor, profile_.speed)),
      stream_([this](const StreamSelection& s, uint64_t n) { return MakeFrame(s, n); },
              layout_.clockFrequency ? layout_.clockFrequency : 48000000) {
  controls_.AddStandardControls(layout_);
  controls_.Set(0, VC_REQUEST_ERROR_CODE_CONTROL, RawControl(1));
  controls_.Find(0, VC_REQUEST_ERROR_CODE_CONTROL)->info = UVC_INFO_SUPPORTS_GET;
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

CameraSnapshot SimCamera::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  CameraSnapshot s;
  s.configured = configured_;
  s.streamingAlternate = streamingAlternate_;
  s.probe = probe_;
  s.commit = commit_;
  s.stillCommit = stillCommit_;
  s.committed = committed_;
  s.streaming = stream_.Running();
  s.framesSent = stream_.FramesSent();
  s.stillTriggers = stillTriggers_;
  return s;
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
  if (faults_.removeAfterFrames == 0 || stream_.FramesSent() < faults_.removeAfterFrames) return;
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
                                     fault->kind == RequestFaultKind::kUrbErrorIrpSuccess);
    uint32_t answered = 0;
    if (!fault || runsFirst) {
      const uint8_t type = (setup.bmRequestType >> 5) & 3;
      const uint8_t recipient = setup.bmRequestType & 0x1F;
      if (type == kTypeStandard) outcome = Standard(setup, data, &answered);
      else if (type == kTypeClass && recipient == BMREQUEST_TO_INTERFACE) outcome = ClassInterface(setup, data, now, &answered);
      else outcome = usb::Outcome::Stall();
    }
    if (fault && (!runsFirst || outcome.completion.irpStatus == STATUS_SUCCESS)) outcome = ApplyRequestFault(*fault, answered);
    if (in && outcome.disposition == usb::Disposition::kComplete && outcome.completion.length)
      entry.data.assign(data, data + outcome.completion.length);
    entry.outcome = outcome;
    Log(std::move(entry));
  }
  return outcome;
}

usb::Outcome SimCamera::Standard(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, uint8_t* data, uint32_t* answered) {
  switch (setup.bRequest) {
    case USB_REQUEST_GET_DESCRIPTOR: {
      const uint8_t type = setup.wValue >> 8;
      const uint8_t index = setup.wValue & 0xFF;
      if (type == USB_DEVICE_DESCRIPTOR_TYPE)
        return Answer(profile_.deviceDescriptor.data(), static_cast<uint32_t>(profile_.deviceDescriptor.size()), setup.wLength, data, answered);
      if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0)
        return Answer(profile_.configurationDescriptor.data(), static_cast<uint32_t>(profile_.configurationDescriptor.size()),
                      setup.wLength, data, answered);
      if (type == USB_STRING_DESCRIPTOR_TYPE) {
        static const uint8_t languages[] = {4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04};
        static const uint8_t name[] = {14, USB_STRING_DESCRIPTOR_TYPE, 'k', 0, 'v', 0, 'z', 0, 'c', 0, 'a', 0, 'm', 0};
        return index == 0 ? Answer(languages, sizeof(languages), setup.wLength, data, answered)
                          : Answer(name, sizeof(name), setup.wLength, data, answered);
      }
      return usb::Outcome::Stall();
    }
    case USB_REQUEST_GET_STATUS: {
      const uint8_t status[2] = {static_cast<uint8_t>(bulkHalted_ && (setup.bmRequestType & 0x1F) == BMREQUEST_TO_ENDPOINT), 0};
      return Answer(status, 2, setup.wLength, data, answered);
    }
    case USB_REQUEST_GET_CONFIGURATION: {
      const uint8_t value = configured_ ? layout_.configurationValue : 0;
      return Answer(&value, 1, setup.wLength, data, answered);
    }
    case USB_REQUEST_GET_INTERFACE: {
      const uint8_t value = (setup.wIndex & 0xFF) == layout_.streamingInterface ? streamingAlternate_ : 0;
      return Answer(&value, 1, setup.wLength, data, answered);
    }
    case USB_REQUEST_CLEAR_FEATURE:
      if ((setup.bmRequestType & 0x1F) == BMREQUEST_TO_ENDPOINT && setup.wValue == USB_FEATURE_ENDPOINT_STALL) bulkHalted_ = false;
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
  if (iface == layout_.streamingInterface && entity == 0) return Streaming(setup, data, answered, now);
  if (iface == layout_.controlInterface) return Unit(entity, setup, data, now, answered);
  return usb::Outcome::Stall();
}

usb::Outcome SimCamera::Streaming(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, uint8_t* data, uint32_t* answered,
                                  uint64_t now) {
  const uint8_t selector = setup.wValue >> 8;
  const bool hasStills = layout_.stillCaptureMethod != 0;
  const bool strict = options_.strictLengths;
  switch (selector) {
    case VS_PROBE_CONTROL:
    case VS_COMMIT_CONTROL: {
      UVC_VIDEO_PROBE_COMMIT& block = selector == VS_PROBE_CONTROL ? probe_ : commit_;
      if (setup.bRequest == SET_CUR) {
        if (strict && setup.wLength != options_.probeLength) return usb::Outcome::Stall();
        UVC_VIDEO_PROBE_COMMIT proposal{};
        std::memcpy(&proposal, data, std::min<size_t>(setup.wLength, sizeof(proposal)));
        block = NegotiateVideo(layout_, proposal, options_.bulkPayloadLimit);
        if (selector == VS_COMMIT_CONTROL) {
          committed_ = true;
          StartStreamIfReady(now);
        }
        return usb::Outcome::Ok(setup.wLength);
      }
      if (strict && setup.bRequest != GET_LEN && setup.bRequest != GET_INFO && setup.wLength != options_.probeLength)
        return usb::Outcome::Stall();
      UVC_VIDEO_PROBE_COMMIT answer = DefaultVideoProbe(layout_, options_.bulkPayloadLimit);
      switch (setup.bRequest) {
        case GET_CUR: answer = block; break;
        case GET_MIN: case GET_DEF: break;
        case GET_MAX: answer.wCompQuality = 10000; break;
        case GET_RES: answer = UVC_VIDEO_PROBE_COMMIT{}; break;
        case GET_LEN: { const uint8_t len[2] = {static_cast<uint8_t>(options_.probeLength), static_cast<uint8_t>(options_.probeLength >> 8)};
          return Answer(len, 2, setup.wLength, data, answered); }
        case GET_INFO: { const uint8_t info = UVC_INFO_SUPPORTS_GET | UVC_INFO_SUPPORTS_SET;
          return Answer(&info, 1, setup.wLength, data, answered); }
        default: return usb::Outcome::Stall();
      }
      return Answer(&answer, sizeof(answer), setup.wLength, data, answered);
    }
    case VS_STILL_PROBE_CONTROL:
    case VS_STILL_COMMIT_CONTROL: {
      if (!hasStills) return usb::Outcome::Stall();
      UVC_STILL_PROBE_COMMIT& block = selector == VS_STILL_PROBE_CONTROL ? stillProbe_ : stillCommit_;
      if (setup.bRequest == SET_CUR) {
        if (strict && setup.wLength != sizeof(UVC_STILL_PROBE_COMMIT)) return usb::Outcome::Stall();
        UVC_STILL_PROBE_COMMIT proposal{};
        std::memcpy(&proposal, data, std::min<size_t>(setup.wLength, sizeof(proposal)));
        block = NegotiateStill(layout_, proposal, committed_ ? commit_.dwMaxPayloadTransferSize : 0);
        return usb::Outcome::Ok(setup.wLength);
      }
      UVC_STILL_PROBE_COMMIT answer = NegotiateStill(layout_, UVC_STILL_PROBE_COMMIT{1, 1, 0, 0, 0}, 0);
      switch (setup.bRequest) {
        case GET_CUR: answer = block; break;
        case GET_MIN: case GET_MAX: case GET_DEF: break;
        case GET_LEN: { const uint8_t len[2] = {sizeof(UVC_STILL_PROBE_COMMIT), 0};
          return Answer(len, 2, setup.wLength, data, answered); }
        case GET_INFO: { const uint8_t info = UVC_INFO_SUPPORTS_GET | UVC_INFO_SUPPORTS_SET;
          return Answer(&info, 1, setup.wLength, data, answered); }
        default: return usb::Outcome::Stall();
      }
      if (strict && setup.wLength != sizeof(answer)) return usb::Outcome::Stall();
      return Answer(&answer, sizeof(answer), setup.wLength, data, answered);
    }
    case VS_STILL_IMAGE_TRIGGER_CONTROL: {
      if (!hasStills) return usb::Outcome::Stall();
      if (setup.bRequest == SET_CUR) {
        if (setup.wLength < 1 || (strict && setup.wLength != 1)) return usb::Outcome::Stall();
        if (data[0] == UVC_STILL_TRIGGER_TRANSMIT || data[0] == UVC_STILL_TRIGGER_TRANSMIT_BULK) {
          ++stillTriggers_;
          const StreamSelection still = StillSelectionOf(layout_, stillCommit_);
          if (still.valid) stream_.TriggerStill(still);
        }
        return usb::Outcome::Ok(setup.wLength);
      }
      const uint8_t zero = 0;
      if (setup.bRequest == GET_CUR || setup.bRequest == GET_MIN || setup.bRequest == GET_DEF) return Answer(&zero, 1, setup.wLength, data, answered);
      if (setup.bRequest == GET_MAX) { const uint8_t max = 3; return Answer(&max, 1, setup.wLength, data, answered); }
      if (setup.bRequest == GET_LEN) { const uint8_t len[2] = {1, 0}; return Answer(len, 2, setup.wLength, data, answered); }
      if (setup.bRequest == GET_INFO) { const uint8_t info = 3; return Answer(&info, 1, setup.wLength, data, answered); }
      return usb::Outcome::Stall();
    }
    default:
      return usb::Outcome::Stall();
  }
}

usb::Outcome SimCamera::Unit(uint8_t entity, const USB_DEFAULT_PIPE_SETUP_PACKET& setup, uint8_t* data, uint64_t now,
                             uint32_t* answered) {
  const uint8_t selector = setup.wValue >> 8;
  const bool strict = options_.strictLengths;
  const bool vendor = entity != 0 && entity == profile_.vendorUnitId;
  if (setup.bRequest == SET_CUR) {
    if (controls_.SetCur(entity, selector, data, setup.wLength, strict) != ControlAnswer::kOk) return usb::Outcome::Stall();
    if (vendor && selector == 2 && setup.wLength >= 1)
      registerAddress_ = static_cast<uint16_t>(data[0] | (setup.wLength >= 2 ? data[1] << 8 : 0));
    if (vendor && selector == 3 && setup.wLength >= 1) registers_.Write(registerAddress_, data[0], now);
    return usb::Outcome::Ok(setup.wLength);
  }
  if (setup.bRequest == GET_CUR && vendor && selector == 3) {
    ControlValue* c = controls_.Find(entity, selector);
    if (c) c->cur = {registers_.Read(registerAddress_, now)};
  }
  if (setup.bRequest == GET_CUR && entity != 0 && entity == profile_.testUnitId && selector == 3) {
    ControlValue* c = controls_.Find(entity, selector);
    if (c) c->cur = EncodeValue(registers_.TestResult(now), 2);
  }
  if (controls_.Get(entity, selector, setup.bRequest, data, setup.wLength, strict, answered) != ControlAnswer::kOk)
    return usb::Outcome::Stall();
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
    streamingAlternate_ = 0;
    stream_.Stop();
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
  } else if (interfaceNumber == layout_.streamingInterface) {
    streamingAlternate_ = alternate;
    if (!layout_.IsBulk()) {
      if (alternate == 0) stream_.Stop();
      else StartStreamIfReady(now);
    }
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

void SimCamera::StartStreamIfReady(uint64_t now) {
  if (!committed_) return;
  const StreamSelection selection = SelectionOf(layout_, commit_);
  if (!selection.valid) return;
  if (layout_.IsBulk() || streamingAlternate_ != 0) stream_.Start(selection, now);
}

std::vector<uint8_t> SimCamera::MakeFrame(const StreamSelection& selection, uint64_t frameNumber) {
  if (selection.kind == FormatKind::kMjpeg)
    return mjpeg_.Frame(selection.width, selection.height, frameNumber, options_.mjpegHuffmanTables);
  return MakeYuy2Frame(selection.width, selection.height, frameNumber);
}

usb::Outcome SimCamera::IsochTransferStarts(uint8_t endpoint, uint32_t packets, uint64_t now) {
  (void)endpoint;
  (void)packets;
  (void)now;
  std::lock_guard<std::mutex> lock(mutex_);
  packetInTransfer_ = 0;
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
  (void)endpoint;
  (void)frameNumber;
  std::lock_guard<std::mutex> lock(mutex_);
  const uint32_t index = packetInTransfer_++;
  if (packetFaultArmed_ && index == packetFault_.packetIndex) return {0, packetFault_.urbStatus};
  usb::IsochPacketResult r;
  r.length = stream_.NextIsochPacket(time, time / 10000, buffer, capacity, faults_);
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

  r.ready = true;
  if (bulkHalted_) {
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
      bulkHalted_ = true;
      r.outcome = usb::Outcome::Stall();
    } else if (f.kind == TransferFaultKind::kUrbErrorIrpSuccess) {
      r.outcome = {usb::Disposition::kComplete, {STATUS_SUCCESS, f.urbStatus, 0}};
    } else {
      r.outcome = usb::Outcome::Fail(f.irpStatus, f.urbStatus);
    }
    return r;
  }
  uint32_t length = 0;
  uint64_t readyAt = 0;
  if (!stream_.NextBulkPayload(now, now / 10000, buffer, capacity, faults_, &length, &readyAt)) {
    r.ready = false;
    r.readyAt = readyAt;
    return r;
  }
  CheckRemoval();
  if (length > capacity) {
    r.outcome = {usb::Disposition::kComplete, {STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN, capacity}};
    return r;
  }
  if (!faults_.bulkTransfers.empty() && faults_.bulkTransfers.front().kind == TransferFaultKind::kShort) {
    length = std::min(length, faults_.bulkTransfers.front().shortLength);
    faults_.bulkTransfers.pop_front();
  }
  r.outcome = usb::Outcome::Ok(length);
  return r;
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
  bulkHalted_ = false;
  LoggedRequest entry;
  entry.time = now;
  entry.kind = RequestKind::kPipeReset;
  entry.value = endpoint;
  Log(std::move(entry));
}

void SimCamera::PortCycled(uint64_t now) {
  std::lock_guard<std::mutex> lock(mutex_);
  configured_ = false;
  streamingAlternate_ = 0;
  committed_ = false;
  bulkHalted_ = false;
  stream_.Stop();
  LoggedRequest entry;
  entry.time = now;
  entry.kind = RequestKind::kPortCycle;
  Log(std::move(entry));
}

}  // namespace kvz::simcam
