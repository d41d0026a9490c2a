// kvzcam-capture: boots the platform stand-in on the real-time clock with a simulated camera,
// loads the driver and works through the kernel-streaming client only: lists devices, formats
// and controls, sets controls, streams frames into files, captures a still image.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cinttypes>
#include <condition_variable>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "camera_controls.h"
#include "camera_formats.h"
#include "camera_rig.h"
#include "capture_options.h"
#include "frame_files.h"
#include "pin_session.h"
#include "ksmedia.h"
#include "kvz/kernel_testing.h"
#include "kvz/registry_testing.h"
#include "simcam/face_scene.h"
#include "simcam/recorded_frames.h"
#include "tool_machine.h"
#include "video_formats.h"

namespace kvz::capture {
namespace {

using ksclient::KsFilterClient;
using ksclient::KsPinClient;

constexpr size_t kQueueDepth = 4;
constexpr int64_t kFrameTimeout = 5 * kHundredNsPerSecond;
constexpr int kStillAfterFrames = 3;
constexpr char16_t kFaceDetectionKey[] = u"\\Registry\\MACHINE\\SOFTWARE\\Brevik\\Camera\\Integrated";

// The signal that asked the tool to stop (SIGINT, SIGTERM), 0 while none did. The signals are
// blocked in every thread and taken by one watcher thread, so no kernel thread of the stand-in is
// interrupted and the hold below cannot miss one.
std::atomic<int> gStopSignal{0};
std::mutex gStopMutex;
std::condition_variable gStopped;

void CatchStopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  // A signal the tool was started with ignored (a background job of a script) stays ignored.
  for (int signal : {SIGINT, SIGTERM}) {
    struct sigaction was {};
    if (sigaction(signal, nullptr, &was) == 0 && was.sa_handler != SIG_IGN) sigaddset(&stops, signal);
  }
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  std::thread([stops] {
    int signal = 0;
    while (sigwait(&stops, &signal) == 0) {
      {
        std::lock_guard<std::mutex> lock(gStopMutex);
        gStopSignal = signal;
      }
      gStopped.notify_all();
    }
  }).detach();
}

// For the tool's own tests: after the progress line of this frame the stream holds until a stop
// signal arrives, so that a test stops it at an exact frame.
uint32_t HoldAfterFrame() {
  const char* text = std::getenv("KVZCAM_CAPTURE_HOLD_AFTER_FRAME");
  return text ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 0;
}

void HoldUntilStopSignal() {
  std::unique_lock<std::mutex> lock(gStopMutex);
  gStopped.wait(lock, [] { return gStopSignal != 0; });
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "kvzcam-capture: %s\n", what.c_str());
  return 1;
}

std::string Utf8(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out.push_back(c < 128 ? static_cast<char>(c) : '?');
  return out;
}

std::string PinLabel(KsFilterClient& filter, ULONG pin) {
  GUID category{};
  filter.PinCategory(pin, &category);
  if (category == PINNAME_VIDEO_CAPTURE) return "capture";
  if (category == PINNAME_VIDEO_STILL) return "still";
  return "bridge";
}

void ListDevices(const CameraRig& rig, const std::string& camera) {
  for (const auto& link : ksclient::EnumerateInterfaces(KSCATEGORY_CAPTURE))
    std::printf("%s (simulated camera '%s'):\n\t%s\n\n", rig.Camera().Profile().name.c_str(), camera.c_str(),
                Utf8(link).c_str());
}

std::string IntervalText(int64_t interval) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.3fs (%.3f fps)", interval / 1e7,
                interval ? double(kHundredNsPerSecond) / double(interval) : 0.0);
  return text;
}

// The camera's sizes of the formats the driver delivers that the capture pin does not offer, each
// with the reason: on Windows 10 build 10587 and later the driver offers frames taller than 720
// lines as MJPG only.
std::string SizesNotOffered(const std::vector<CameraFormat>& cameraFormats, const std::vector<VideoRange>& offered,
                            const kernel::SystemVersion& version) {
  std::string lines;
  for (const CameraFormat& f : cameraFormats) {
    if (!f.skipped.empty() || (f.name != "YUY2" && f.name != "MJPG")) continue;
    const uint32_t subtype = SubtypeByName(f.name);
    for (const auto& [width, height] : f.sizes) {
      bool found = false;
      for (const VideoRange& r : offered) found |= r.subtype == subtype && r.width == width && std::abs(r.height) == height;
      if (found) continue;
      lines += "\t'" + f.name + "' " + std::to_string(width) + "x" + std::to_string(height) + " (";
      lines += f.name == "YUY2" && height > 720 && !DriverTurnsPicture(version)
                   ? "taller than 720 lines: on Windows 10 build 10587 and later the driver offers it as MJPG only)\n"
                   : "not offered by the driver)\n";
    }
  }
  return lines.empty() ? lines : "Camera sizes not offered:\n" + lines;
}

// Whether the camera's frame behind a range lists a continuous interval range (YUY2 and RGB24 come
// from the camera's YUY2 format).
bool Continuous(const std::vector<CameraFormat>& cameraFormats, const VideoRange& r) {
  const std::string source = r.subtype == SubtypeByName("MJPG") ? "MJPG" : "YUY2";
  for (const CameraFormat& f : cameraFormats)
    if (f.name == source && f.skipped.empty())
      for (const auto& [width, height] : f.continuousSizes)
        if (width == r.width && height == std::abs(r.height)) return true;
  return false;
}

// Each pin's formats as v4l2-ctl lists them: the format, its sizes, and every discrete interval
// with its rate (a range the pin lists no intervals for shows its ends).
void ListFormats(KsFilterClient& filter, const std::vector<CameraFormat>& cameraFormats,
                 const kernel::SystemVersion& version) {
  ULONG count = 0;
  filter.PinCount(&count);
  const PinIds pins = FindPins(filter);
  std::vector<VideoRange> captureRanges;
  for (ULONG pin = 0; pin < count; ++pin) {
    std::vector<Bytes> raw;
    if (!NT_SUCCESS(filter.PinDataRanges(pin, &raw)) || raw.empty()) continue;
    std::printf("Pin %u (%s):\n", pin, PinLabel(filter, pin).c_str());
    std::vector<VideoRange> ranges;
    for (const VideoRange& r : ParseVideoRanges(raw))
      if (!r.videoInfo2) ranges.push_back(r);
    if (static_cast<int>(pin) == pins.capture) captureRanges = ranges;
    std::vector<std::string> names;  // in the order the pin first lists them
    for (const VideoRange& r : ranges)
      if (std::find(names.begin(), names.end(), FormatName(r.subtypeGuid)) == names.end())
        names.push_back(FormatName(r.subtypeGuid));
    for (size_t n = 0; n < names.size(); ++n) {
      std::printf("\t[%zu]: '%s'\n", n, names[n].c_str());
      for (const VideoRange& r : ranges) {
        if (FormatName(r.subtypeGuid) != names[n]) continue;
        std::printf("\t\tSize: Discrete %dx%d\n", r.width, std::abs(r.height));
        if (static_cast<int>(pin) == pins.capture && Continuous(cameraFormats, r)) {
          std::printf("\t\t\tInterval: Continuous %s - %s\n", IntervalText(r.minInterval).c_str(),
                      IntervalText(r.maxInterval).c_str());
          continue;
        }
        const std::vector<int64_t> listed = ListedIntervals(filter, static_cast<int>(pin), r);
        for (int64_t interval : listed) std::printf("\t\t\tInterval: Discrete %s\n", IntervalText(interval).c_str());
        if (listed.empty())
          std::printf("\t\t\tInterval: Stepwise %s - %s\n", IntervalText(r.minInterval).c_str(),
                      IntervalText(r.maxInterval).c_str());
      }
    }
  }
  std::printf("%s%s", SizesNotOffered(cameraFormats, captureRanges, version).c_str(),
              SkippedFormatsNote(cameraFormats).c_str());
}

void ListControls(KsFilterClient& filter) {
  for (const ControlName& c : KnownControls()) {
    ControlInfo info;
    if (!NT_SUCCESS(QueryControl(filter, c, &info))) continue;
    if (info.hasRange)
      std::printf("%27s (int)    : min=%d max=%d step=%d default=%d value=%d\n", c.name, info.minimum, info.maximum,
                  info.step, info.defaultValue, info.value);
    else
      std::printf("%27s (int)    : value=%d\n", c.name, info.value);
  }
}

// The range the command line asks for (unset fields match anything); VIDEOINFO ranges only.
const VideoRange* ChooseRange(const std::vector<VideoRange>& ranges, const CaptureOptions& o, uint32_t subtype) {
  for (const VideoRange& r : ranges) {
    if (r.videoInfo2) continue;
    if (subtype && r.subtype != subtype) continue;
    if (o.width && r.width != *o.width) continue;
    if (o.height && std::abs(r.height) != *o.height) continue;
    return &r;
  }
  return nullptr;
}

int SetControls(KsFilterClient& filter, const CaptureOptions& o);

class FrameSink {
 public:
  FrameSink(const CaptureOptions& o) : dir_(o.streamTo), raw_(o.raw) {}
  bool Write(const std::string& stem, const VideoFormat& f, const Bytes& data, std::string* error) const {
    if (dir_.empty()) return true;
    const std::string base = dir_ + "/" + stem;
    const int w = f.width, h = std::abs(f.height);
    if (raw_) return WriteBytes(base + ".raw", data.data(), data.size(), error);
    if (f.subtype == SubtypeByName("MJPG")) return WriteBytes(base + ".jpg", data.data(), data.size(), error);
    const size_t bpp = f.subtype == SubtypeByName("RGB24") ? 3 : 2;
    if (data.size() < static_cast<size_t>(w) * h * bpp) {
      *error = stem + ": short frame (" + std::to_string(data.size()) + " bytes)";
      return false;
    }
    const auto rgb = bpp == 3 ? BottomUpBgrToRgb(data.data(), w, h) : Yuy2ToRgb(data.data(), w, h);
    return WritePng(base + ".png", rgb, w, h, error);
  }

 private:
  std::string dir_;
  bool raw_;
};

// Triggers one still through the video control mode and reads it from the still pin.
bool CaptureStill(KsFilterClient& filter, int stillId, const VideoFormat& capture, const CaptureOptions& o,
                  const FrameSink& sink, std::string* error) {
  std::vector<Bytes> raw;
  filter.PinDataRanges(static_cast<ULONG>(stillId), &raw);
  const auto ranges = ParseVideoRanges(raw);
  const uint32_t subtype = o.stillPixelFormat.empty() ? capture.subtype : SubtypeByName(o.stillPixelFormat);
  const bool sized = o.stillWidth || o.stillHeight;
  const VideoRange* chosen = nullptr;
  std::string offered;
  for (const VideoRange& r : ranges) {
    if (r.videoInfo2) continue;
    offered += (offered.empty() ? "" : ", ") + SubtypeName(r.subtype) + " " + std::to_string(r.width) + "x" +
               std::to_string(std::abs(r.height));
    if (r.subtype != subtype) continue;
    if (sized) {
      if ((!o.stillWidth || r.width == *o.stillWidth) && (!o.stillHeight || std::abs(r.height) == *o.stillHeight) &&
          !chosen)
        chosen = &r;
    } else if (!chosen || (r.width == capture.width && std::abs(r.height) == std::abs(capture.height))) {
      chosen = &r;
    }
  }
  if (!chosen) {
    std::string asked = subtype ? SubtypeName(subtype) : o.stillPixelFormat;
    if (o.stillWidth) asked += " width " + std::to_string(*o.stillWidth);
    if (o.stillHeight) asked += " height " + std::to_string(*o.stillHeight);
    *error = "the still pin offers no " + asked + " (it offers " + (offered.empty() ? "nothing" : offered) + ")";
    return false;
  }
  CreatedPin still;
  if (!NT_SUCCESS(CreatePinFromRange(filter, stillId, *chosen, std::nullopt, &still, error))) return false;
  NTSTATUS status = RunPin(*still.pin);
  if (!NT_SUCCESS(status)) {
    *error = "still pin RUN failed: " + StatusText(status);
    return false;
  }
  auto read = still.pin->QueueRead(still.format.sizeImage);
  status = TriggerStill(filter, static_cast<ULONG>(stillId));
  bool ok = NT_SUCCESS(status);
  if (!ok) *error = "still trigger failed: " + StatusText(status);
  if (ok) {
    status = read->Request()->Wait(kFrameTimeout);
    ok = status != STATUS_TIMEOUT && NT_SUCCESS(status);
    if (!ok) *error = "no still image arrived: " + StatusText(status);
  }
  if (ok) {
    const ULONG used = read->Headers().header.DataUsed;
    Bytes data(read->Data().begin(), read->Data().begin() + std::min<size_t>(used, read->Data().size()));
    ok = sink.Write("still-0000", still.format, data, error);
    if (ok) std::printf("Still image: %s %dx%d, %u bytes\n", SubtypeName(still.format.subtype).c_str(),
                        still.format.width, std::abs(still.format.height), used);
  }
  read.reset();
  StopPin(*still.pin);
  still.pin->Close();
  return ok;
}

int Stream(KsFilterClient& filter, const CaptureOptions& o) {
  const PinIds pins = FindPins(filter);
  if (pins.capture < 0) return Fail("the filter has no capture pin");
  std::vector<Bytes> raw;
  filter.PinDataRanges(static_cast<ULONG>(pins.capture), &raw);
  const auto ranges = ParseVideoRanges(raw);
  const uint32_t subtype = o.pixelFormat.empty() ? 0 : SubtypeByName(o.pixelFormat);
  if (!o.pixelFormat.empty() && !subtype) return Fail("unknown pixel format " + o.pixelFormat);
  const VideoRange* range = ChooseRange(ranges, o, subtype);
  if (!range) return Fail("the capture pin offers no such format (see --list-formats-ext)");

  std::string error;
  CreatedPin capture;
  std::optional<int64_t> interval;
  if (o.fps) interval = IntervalForRate(filter, pins.capture, *range, *o.fps);
  if (!NT_SUCCESS(CreatePinFromRange(filter, pins.capture, *range, interval, &capture, &error))) return Fail(error);
  const VideoFormat& f = capture.format;
  std::printf("Streaming %s %dx%d at %.3f fps\n", SubtypeName(f.subtype).c_str(), f.width, std::abs(f.height),
              f.interval ? double(kHundredNsPerSecond) / double(f.interval) : 0.0);
  capture.pin->SetMasterClock(true);
  int result = 0;
  NTSTATUS status = RunPin(*capture.pin);
  if (!NT_SUCCESS(status)) result = Fail("capture pin RUN failed: " + StatusText(status));
  if (!result) result = SetControls(filter, o);

  const FrameSink sink(o);
  const uint32_t total = o.streamCount.value_or(o.still ? kStillAfterFrames : 30);
  std::deque<std::unique_ptr<ksclient::StreamRead>> queued;
  uint32_t frames = 0;
  bool writeFailed = false;
  uint64_t bytes = 0;
  int64_t first = 0, last = 0, dropped = 0;
  bool stillDone = !o.still;
  const uint32_t holdAfter = HoldAfterFrame();
  while (!result && frames < total && !gStopSignal) {
    while (queued.size() < kQueueDepth) queued.push_back(capture.pin->QueueRead(f.sizeImage));
    auto read = std::move(queued.front());
    queued.pop_front();
    status = read->Request()->Wait(kFrameTimeout);
    if (status == STATUS_TIMEOUT || !NT_SUCCESS(status)) {
      std::fprintf(stderr, "\n");
      result = Fail(status == STATUS_TIMEOUT ? "no frame within 5 s" : "read failed: " + StatusText(status));
      break;
    }
    const auto& h = read->Headers();
    last = kernel::Now();
    if (frames == 0) first = last;
    Bytes data(read->Data().begin(), read->Data().begin() + std::min<size_t>(h.header.DataUsed, read->Data().size()));
    bytes += data.size();
    dropped = h.frameInfo.DropCount;
    char stem[32];
    std::snprintf(stem, sizeof(stem), "frame-%04u", frames);
    if (!sink.Write(stem, f, data, &error)) {
      // The next file would fail the same way: a full disk stops the stream with its reason.
      std::fprintf(stderr, "\n");
      writeFailed = true;
      result = Fail(error + "; streaming stopped");
      break;
    }
    ++frames;
    const double seconds = double(last - first) / kHundredNsPerSecond;
    std::fprintf(stderr, "\rframe %u/%u  dropped %" PRId64 "  %.2f fps  %.1f MB   ", frames, total, dropped,
                 frames > 1 && seconds > 0 ? (frames - 1) / seconds : 0.0, bytes / 1e6);
    if (frames == holdAfter) HoldUntilStopSignal();
    // The still comes after the third frame, or after the last when fewer are asked for.
    if (!stillDone && (frames >= static_cast<uint32_t>(kStillAfterFrames) || frames == total)) {
      stillDone = true;
      std::fprintf(stderr, "\n");
      if (pins.still < 0) {
        result = Fail("the camera has no still pin");
      } else if (!CaptureStill(filter, pins.still, f, o, sink, &error)) {
        result = Fail(error);
      }
    }
  }
  std::fprintf(stderr, "\n");
  if (!stillDone && !result && !gStopSignal) result = Fail("no still image was taken: the stream ended before it");
  queued.clear();
  KSPROPERTY_DROPPEDFRAMES_CURRENT_S drops;
  if (NT_SUCCESS(GetDroppedFrames(*capture.pin, &drops))) dropped = drops.DropCount;
  StopPin(*capture.pin);
  capture.pin->Close();
  const double seconds = double(last - first) / kHundredNsPerSecond;
  std::printf("Summary: %s%u frames, %" PRId64 " dropped, %.2f fps measured, %" PRIu64 " bytes\n", gStopSignal ? "stopped after " : "",
              frames, dropped,
              frames > 1 && seconds > 0 ? (frames - 1) / seconds : 0.0, bytes);
  if (!o.streamTo.empty() && frames && !writeFailed) std::printf("Frames written to %s\n", o.streamTo.c_str());
  return result;
}

// Sets the controls the command line names. Streaming sets them again once the capture pin runs:
// the driver reloads its stored values at RUN, and a flip is stored only when streaming stops.
int SetControls(KsFilterClient& filter, const CaptureOptions& o) {
  std::vector<std::pair<std::string, int64_t>> sets = o.setControls;
  if (o.rotate) sets.emplace_back("rotate", *o.rotate);
  if (o.privacy) sets.emplace_back("privacy", 1);
  for (const auto& [name, value] : sets) {
    const ControlName* c = FindControl(name);
    if (!c) return Fail("unknown control " + name + " (see --list-ctrls)");
    // A value outside the listed range is never sent: the driver would keep what it keeps.
    ControlInfo info;
    const NTSTATUS query = QueryControl(filter, *c, &info);
    if (!NT_SUCCESS(query)) return Fail(name + ": " + ControlFailure(query));
    const int64_t minimum = info.hasRange ? info.minimum : INT32_MIN, maximum = info.hasRange ? info.maximum : INT32_MAX;
    if (value < minimum || value > maximum)
      return Fail(name + ": " + std::to_string(value) + " is out of range (" + std::to_string(minimum) + ".." +
                  std::to_string(maximum) + ")");
    if (c->autoMode && value != c->autoOn && value != c->autoOff)
      return Fail(name + ": " + std::to_string(value) + " is not one of its modes (" + std::to_string(c->autoOn) +
                  " automatic, " + std::to_string(c->autoOff) + " manual)");
    const NTSTATUS status = SetControl(filter, *c, static_cast<int32_t>(value));
    if (!NT_SUCCESS(status)) return Fail(name + ": " + std::to_string(value) + " " + ControlFailure(status));
  }
  return 0;
}

int GetControls(KsFilterClient& filter, const CaptureOptions& o) {
  for (const std::string& name : o.getControls) {
    const ControlName* c = FindControl(name);
    int32_t value = 0;
    if (!c) return Fail("unknown control " + name + " (see --list-ctrls)");
    const NTSTATUS status = GetControl(filter, *c, &value);
    if (!NT_SUCCESS(status)) return Fail(name + ": " + ControlFailure(status));
    std::printf("%s: %d\n", name.c_str(), value);
  }
  return 0;
}

// The face-exposure windows the camera received (vendor unit, selector 27), as the driver sent
// them while its face detection followed the scene's face.
void PrintFaceWindows(simcam::SimCamera& camera) {
  unsigned sent = 0, cleared = 0;
  std::vector<uint8_t> last;
  for (const simcam::LoggedRequest& r : camera.Log()) {
    if (r.kind != simcam::RequestKind::kControl || r.setup.bRequest != 0x01 || r.setup.wValue != 0x1B00 ||
        r.data.size() != 15)
      continue;
    const std::vector<uint8_t> place(r.data.begin() + 7, r.data.end());
    if (r.data[0] == 0) ++cleared;
    else ++sent;
    if (place == last) continue;  // the same place again
    last = place;
    if (r.data[0] == 0)
      std::printf("face window at %.1f s: off\n", static_cast<double>(r.time) / 1e7);
    else
      std::printf("face window at %.1f s: x %d y %d, %d x %d\n", static_cast<double>(r.time) / 1e7,
                  place[0] << 8 | place[1], place[2] << 8 | place[3], place[4] << 8 | place[5], place[6] << 8 | place[7]);
  }
  std::printf("Face windows: %u sent, %u switched off\n", sent, cleared);
}

// Whether the command line turns the picture (--rotate, or the rotate control).
bool AsksForRotation(const CaptureOptions& o) {
  bool rotation = o.rotate && *o.rotate != 0;
  for (const auto& [name, value] : o.setControls)
    if (name == "rotate") rotation = value != 0;
  return rotation;
}

// The files of the --mjpeg-from folder in the order the camera sends them, each checked as a JPEG
// image: a bad one is named here, not found later as a stream that delivers nothing.
bool CheckJpegFolder(const std::string& folder, std::string* error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    *error = folder + (fs::exists(folder, ec) ? ": is not a folder" : ": no such folder");
    return false;
  }
  std::vector<fs::path> names;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::string ext = it->path().extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (it->is_regular_file() && (ext == ".jpg" || ext == ".jpeg")) names.push_back(it->path());
  }
  for (const fs::path& name : names) {
    std::ifstream in(name, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto at = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
    if (bytes.size() < 4 || at(0) != 0xFF || at(1) != 0xD8) {
      *error = name.string() + ": not a JPEG image (no start-of-image marker)";
      return false;
    }
    bool frame = false;  // a start-of-frame marker (baseline, extended or progressive)
    for (size_t i = 2; i + 1 < bytes.size() && !frame; ++i) frame = at(i) == 0xFF && at(i + 1) >= 0xC0 && at(i + 1) <= 0xC2;
    if (!frame) {
      *error = name.string() + ": not a JPEG image (no start-of-frame marker)";
      return false;
    }
    if (bytes.rfind("\xFF\xD9") == std::string::npos) {
      *error = name.string() + ": a truncated JPEG image (no end-of-image marker)";
      return false;
    }
  }
  return true;
}

// The frames folder exists (it is created) and takes a file, before anything streams.
bool CheckStreamFolder(const std::string& folder, std::string* error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec || !fs::is_directory(folder)) {
    *error = folder + ": " + (ec ? ec.message() : "is not a folder");
    return false;
  }
  const Bytes probe(1, 0);
  const std::string file = folder + "/.kvzcam-capture-write-test";
  if (!WriteBytes(file, probe.data(), probe.size(), error)) {
    *error = folder + ": cannot be written (" + error->substr(error->rfind(": ") + 2) + ")";
    return false;
  }
  std::remove(file.c_str());
  return true;
}

// The settings file is read and written back before the driver boots, so a settings file that
// cannot be kept (a folder, a read-only place, a full disk) is reported before anything runs.
// Only a file is read: a device such as /dev/null keeps nothing.
bool OpenSettings(const std::string& file, std::string* error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const auto status = fs::status(file, ec);
  if (fs::is_directory(status)) {
    *error = file + ": is a folder, not a settings file";
    return false;
  }
  if (fs::is_regular_file(status) && !kernel::LoadRegistry(file, error)) {
    *error = file + ": " + *error;
    return false;
  }
  if (!kernel::SaveRegistry(file, error)) {
    *error = file + ": the settings cannot be saved: " + *error;
    return false;
  }
  return true;
}

// Boots the camera and does what the command line asks; every ending leaves through the rig's
// shutdown.
int RunCamera(const CaptureOptions& o, const ToolMachine& machine, simcam::CameraProfile profile,
              const simcam::CameraOptions& cameraOptions) {
  CameraRig rig;
  NTSTATUS status = rig.Boot(std::move(profile), cameraOptions);
  if (!NT_SUCCESS(status)) return Fail("the driver did not start the camera: " + StatusText(status));
  std::unique_ptr<KsFilterClient> filter;
  status = rig.OpenFilter(&filter);
  if (!NT_SUCCESS(status)) return Fail("the capture filter cannot be opened: " + StatusText(status));
  if (o.listDevices) ListDevices(rig, o.camera);
  int result = SetControls(*filter, o);
  if (!result) result = GetControls(*filter, o);
  const std::vector<CameraFormat> cameraFormats = ReadCameraFormats(rig.Camera().Profile().configurationDescriptor);
  if (!result && o.listFormats) ListFormats(*filter, cameraFormats, machine.Version());
  if (!result && o.listControls) ListControls(*filter);
  if (!result && o.Streams() && FindPins(*filter).capture < 0) result = Fail(NoCapturePinMessage(cameraFormats));
  if (!result && o.Streams()) result = Stream(*filter, o);
  if (o.faceScene) PrintFaceWindows(rig.Camera());
  filter->Close();
  filter.reset();
  rig.Shutdown();
  return result;
}

// A file or folder of the command line that cannot be used: one line, exit status 2.
int BadInput(const std::string& what) {
  Fail(what);
  return 2;
}

int RunTool(const CaptureOptions& o) {
  const ToolMachine machine(o.windowsBuild);
  if (AsksForRotation(o) && !DriverTurnsPicture(machine.Version()))
    std::fprintf(stderr,
                 "kvzcam-capture: on Windows 10 build 10587 and later the driver leaves rotation to the system: the "
                 "rotation is stored, but the delivered picture is not turned (--windows-build 9600 boots an earlier "
                 "Windows, on which the driver turns it)\n");
  std::string error;
  auto profile = ProfileByName(o.camera, &error);
  if (!profile) return BadInput(error);
  simcam::CameraOptions cameraOptions;
  if (!o.mjpegFrom.empty()) {
    if (!CheckJpegFolder(o.mjpegFrom, &error)) return BadInput(error);
    cameraOptions.recordedMjpeg = simcam::LoadJpegFolder(o.mjpegFrom, &error);
    if (!cameraOptions.recordedMjpeg) return BadInput(error);
  }
  if (!o.streamTo.empty() && !CheckStreamFolder(o.streamTo, &error)) return BadInput(error);
  if (!OpenSettings(o.registryFile, &error)) return BadInput(error);
  if (o.faceScene) {
    cameraOptions.faceScene = simcam::FaceScene::Wandering();
    // The machine's switch for the driver's face detection, read when the device starts.
    kernel::CreateRegistryKey(kFaceDetectionKey);
    kernel::SetRegistryDword(kFaceDetectionKey, u"FaceDetectEnable", 1);
  }

  int result = RunCamera(o, machine, std::move(*profile), cameraOptions);
  const kernel::UnloadReport report = kernel::CheckUnload();
  if (!report.clean) result = Fail("the driver left resources behind at unload:\n" + report.text);
  if (!kernel::SaveRegistry(o.registryFile, &error))
    result = Fail(o.registryFile + ": the settings cannot be saved: " + error);
  return result;
}

}  // namespace
}  // namespace kvz::capture

int main(int argc, char** argv) {
  kvz::capture::CaptureOptions options;
  std::string error;
  if (!kvz::capture::ParseCaptureOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "kvzcam-capture: %s (--help lists the options)\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fprintf(options.usageError ? stderr : stdout, "%s", kvz::capture::CaptureUsage());
    return options.usageError ? 2 : 0;
  }
  kvz::capture::CatchStopSignals();
  kvz::kernel::SetClockMode(kvz::kernel::ClockMode::Real);
  kvz::kernel::KernelThreadScope thread("kvzcam-capture");
  const int result = kvz::capture::RunTool(options);
  // Stopped by a signal: the shell's status for it, after the run ended in order.
  return kvz::capture::gStopSignal ? 128 + kvz::capture::gStopSignal : result;
}
