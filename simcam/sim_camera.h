// The simulated UVC camera behind the bus stand-in: descriptors, standard and class requests,
// controls, probe/commit, the register file, isochronous and bulk payloads, status packets and
// faults on demand. Safe to drive from the bus thread and inspect from the test thread.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "kvz/usb_function.h"
#include "simcam/bulk_endpoint.h"
#include "simcam/camera_faults.h"
#include "simcam/camera_profile.h"
#include "simcam/descriptor_layout.h"
#include "simcam/face_scene.h"
#include "simcam/mjpeg_encoder.h"
#include "simcam/payload_stream.h"
#include "simcam/probe_commit.h"
#include "simcam/recorded_frames.h"
#include "simcam/register_file.h"
#include "simcam/request_log.h"
#include "simcam/uvc_controls.h"

namespace kvz::simcam {

struct CameraOptions {
  bool strictLengths = false;       // stall a class request whose wLength differs from the control's length
  bool mjpegHuffmanTables = true;   // false: MJPEG frames without DHT segments
  uint32_t bulkPayloadLimit = 0x10000;
  uint16_t probeLength = 0;         // GET_LEN of the probe and commit controls (0: by bcdUVC, 26/34/48)
  bool loseStateInD3 = false;       // controls, probe and commit back to their defaults after D3
  // Non-empty: MJPEG frames are these, in order and then again from the first, whatever size the
  // stream negotiated (a recorded camera replayed).
  std::shared_ptr<const RecordedFrames> recordedMjpeg = nullptr;
  // Set: YUY2 and MJPEG frames show this scene (a moving face) instead of the test pattern.
  std::shared_ptr<const FaceScene> faceScene = nullptr;
};

// What a test reads back (of one streaming interface; by default the first).
struct CameraSnapshot {
  bool configured = false;
  uint8_t streamingAlternate = 0;
  UVC_VIDEO_PROBE_COMMIT probe{};
  UVC_VIDEO_PROBE_COMMIT commit{};
  UVC_STILL_PROBE_COMMIT stillCommit{};
  bool committed = false;
  bool streaming = false;
  uint64_t framesSent = 0;
  uint32_t stillTriggers = 0;
  uint8_t requestErrorCode = 0;     // bRequestErrorCode of the last class request
};

class SimCamera : public usb::UsbFunction {
 public:
  explicit SimCamera(CameraProfile profile, CameraOptions options = {});

  // Test side. Every call takes the camera's lock.
  const CameraProfile& Profile() const { return profile_; }
  const DescriptorLayout& Layout() const { return layout_; }
  CameraSnapshot Snapshot(uint8_t streamingInterface = 0xFF) const;
  std::vector<LoggedRequest> Log() const;
  void ClearLog();
  std::vector<RegisterWrite> RegisterWrites() const;
  uint8_t ReadRegister(uint16_t address, uint64_t now) const;
  std::vector<uint8_t> ControlCurrent(uint8_t entity, uint8_t selector) const;
  // Runs f on the camera's state under its lock (faults, controls, registers, options).
  void Configure(const std::function<void(CameraFaults&, ControlTable&, RegisterFile&, CameraOptions&)>& f);
  void ArmRequestFault(const RequestFault& fault);
  void ArmFrameFault(uint64_t frameNumber, const FrameFault& fault);
  void ArmTransferFault(uint8_t endpointType, const TransferFault& fault);
  void PressButton();
  void ReleaseButton();
  void QueueStatusPacket(std::vector<uint8_t> packet);
  // A VC status packet: a control of an entity changed (attribute 0: its value).
  void QueueControlChange(uint8_t entity, uint8_t selector, std::vector<uint8_t> value);

  // usb::UsbFunction.
  usb::Speed GetSpeed() const override { return layout_.speed; }
  std::vector<uint8_t> DeviceDescriptor() const override { return profile_.deviceDescriptor; }
  std::vector<uint8_t> ConfigurationDescriptor() const override { return profile_.configurationDescriptor; }
  void Attach(usb::UsbPort* port) override;
  usb::Outcome Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, uint8_t* data, uint64_t now) override;
  usb::Outcome SetConfiguration(uint8_t value, uint64_t now) override;
  usb::Outcome SetInterface(uint8_t interfaceNumber, uint8_t alternate, uint64_t now) override;
  usb::Outcome IsochTransferStarts(uint8_t endpoint, uint32_t packets, uint64_t now) override;
  usb::IsochPacketResult IsochInPacket(uint8_t endpoint, uint64_t frameNumber, uint64_t time, uint8_t* buffer,
                                       uint32_t capacity) override;
  usb::StreamResult StreamIn(uint8_t endpoint, uint64_t now, uint8_t* buffer, uint32_t capacity) override;
  void PipeAborted(uint8_t endpoint, uint64_t now) override;
  void PipeReset(uint8_t endpoint, uint64_t now) override;
  void PortCycled(uint64_t now) override;
  void PowerChanged(DEVICE_POWER_STATE state, uint64_t now) override;

 private:
  // One video streaming interface: its setting, negotiation and payloads.
  struct StreamState {
    const StreamingLayout* layout = nullptr;
    uint8_t alternate = 0;
    std::array<uint8_t, 48> probe{};
    std::array<uint8_t, 48> commit{};
    UVC_STILL_PROBE_COMMIT stillProbe{};
    UVC_STILL_PROBE_COMMIT stillCommit{};
    bool committed = false;
    std::unique_ptr<PayloadStream> payloads;
    BulkEndpoint video;       // bulk streaming
    BulkEndpoint still;       // still method 3
    bool halted = false;
    uint64_t lastIsochFrame = UINT64_MAX;
    uint32_t packetInTransfer = 0;
  };

  // Control requests by recipient; each returns the outcome and fills *answered for IN requests.
  usb::Outcome Standard(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, uint8_t* data, uint32_t* answered);
  usb::Outcome ClassInterface(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, uint8_t* data, uint64_t now,
                              uint32_t* answered);
  usb::Outcome Streaming(StreamState& st, const USB_DEFAULT_PIPE_SETUP_PACKET& setup, uint8_t* data,
                         uint32_t* answered, uint64_t now);
  usb::Outcome Unit(uint8_t entity, const USB_DEFAULT_PIPE_SETUP_PACKET& setup, uint8_t* data, uint64_t now,
                    uint32_t* answered);
  usb::Outcome Answer(const void* bytes, uint32_t size, uint16_t wLength, uint8_t* data, uint32_t* answered) const;
  const RequestFault* TakeRequestFault(RequestTarget target, const USB_DEFAULT_PIPE_SETUP_PACKET* setup);
  usb::Outcome ApplyRequestFault(const RequestFault& fault, uint32_t answered);
  usb::Outcome StallWith(uint8_t errorCode);
  std::vector<uint8_t> MakeFrame(const StreamSelection& selection, uint64_t frameNumber);
  void StartStreamIfReady(StreamState& st, uint64_t now);
  void StopStream(StreamState& st);
  StreamState* StreamOf(uint8_t interfaceNumber);
  const StreamState* StreamOf(uint8_t interfaceNumber) const;
  StreamState* StreamOnEndpoint(uint8_t endpoint, bool* stillEndpoint);
  UVC_VIDEO_PROBE_COMMIT Block(const std::array<uint8_t, 48>& raw) const;
  void SetBlock(std::array<uint8_t, 48>& raw, const UVC_VIDEO_PROBE_COMMIT& block) const;
  uint16_t ProbeLength() const;
  std::vector<uint8_t> ConfigurationAnswer();
  void ResetUvcState();
  void Log(LoggedRequest entry);
  void CheckRemoval();
  void Kick();

  mutable std::mutex mutex_;
  CameraProfile profile_;
  CameraOptions options_;
  DescriptorLayout layout_;
  ControlTable controls_;
  RegisterFile registers_;
  CameraFaults faults_;
  MjpegFrameCache mjpeg_;
  // The face scene's last picture and its MJPEG encoding: frames with the face in the same place
  // reuse them.
  struct ScenePicture {
    FacePlacement face;
    uint16_t width = 0, height = 0;
    std::vector<uint8_t> yuy2;
    bool huffmanTables = false;
    std::vector<uint8_t> jpeg;
  } scene_;
  const std::vector<uint8_t>& ScenePictureAt(uint16_t width, uint16_t height, uint64_t frameNumber);
  std::vector<StreamState> streams_;
  std::vector<LoggedRequest> log_;
  std::deque<std::vector<uint8_t>> status_;
  usb::UsbPort* port_ = nullptr;

  bool configured_ = false;
  uint32_t stillTriggers_ = 0;
  uint16_t registerAddress_ = 0;
  bool removalRequested_ = false;
  uint8_t requestError_ = 0;
  uint32_t configurationReads_ = 0;
  // The isochronous transfer being filled: its packet status fault, if any.
  bool packetFaultArmed_ = false;
  TransferFault packetFault_;
};

}  // namespace kvz::simcam
