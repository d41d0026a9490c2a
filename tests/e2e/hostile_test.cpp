// A hostile client and a hostile camera against the whole driver: every property of every set on
// the filter, its nodes and its pins with buffers of every kind of wrong size; pin states and
// formats out of order; the camera's attack switches on both transports; plug-and-play with
// handles open; properties racing state changes. What must hold: no bug check, no sanitizer
// report, every answer consistent with its buffer and made only of bytes the driver wrote (the
// class driver stand-in stops on a reported byte left as pool), only frames whose headers fit
// their buffers, and a clean unload.
#include <atomic>
#include <climits>
#include <cstring>
#include <functional>
#include <thread>

#include "driver/controls/private_control_handler.h"
#include "driver/controls/region_control_handler.h"
#include "camera_controls.h"
#include "e2e_bench.h"
#include "frame_oracle.h"
#include "ksmedia.h"
#include "uvcmodel/vendor_unit_guids.h"

namespace kvz::e2e {
namespace {

using ksclient::KsObject;
using ksclient::StreamRead;
using kernel::kMillisecond;
using kernel::kSecond;

// ---- Properties with buffers of every size ------------------------------------------------------

// Every set the filter, its nodes or its pins may answer; each object is asked for all of them.
std::vector<const GUID*> AllSets() {
  std::vector<const GUID*> sets = {&KSPROPSETID_Pin,
                                   &KSPROPSETID_Topology,
                                   &KSPROPSETID_General,
                                   &KSPROPSETID_Connection,
                                   &KSPROPSETID_Stream,
                                   &PROPSETID_VIDCAP_CAMERACONTROL,
                                   &PROPSETID_VIDCAP_VIDEOPROCAMP,
                                   &PROPSETID_VIDCAP_VIDEOCONTROL,
                                   &PROPSETID_VIDCAP_VIDEOCOMPRESSION,
                                   &PROPSETID_VIDCAP_DROPPEDFRAMES,
                                   &PROPSETID_KVZ_PRIVATE,
                                   &PROPSETID_KVZ_REGION,
                                   &TestUnitGuid};
  for (const GUID& g : VendorUnitGuids) sets.push_back(&g);
  return sets;
}
// Past the last identifier of every set (extension units: their selectors).
constexpr ULONG kIdsPerSet = 40;

constexpr ULONG kRequestRoom = 128;  // larger than any request structure of these sets
constexpr ULONG kOversize = 64 * 1024;

// What follows the property header in the request (and starts a set's data).
enum class Tail { kBare, kZeros, kOnes };
// Values go with every tail; the descriptions (which carry no value) with zeros only.
struct Operation {
  ULONG flags;
  std::vector<Tail> tails;
};
const std::vector<Operation> kEveryOperation = {{KSPROPERTY_TYPE_GET, {Tail::kBare, Tail::kZeros, Tail::kOnes}},
                                                {KSPROPERTY_TYPE_SET, {Tail::kBare, Tail::kZeros, Tail::kOnes}},
                                                {KSPROPERTY_TYPE_BASICSUPPORT, {Tail::kZeros}},
                                                {KSPROPERTY_TYPE_DEFAULTVALUES, {Tail::kZeros}}};
// Through a node the descriptions are the filter's own again; the node layout is what differs.
const std::vector<Operation> kNodeOperations = {{KSPROPERTY_TYPE_GET, {Tail::kBare}},
                                                {KSPROPERTY_TYPE_SET, {Tail::kOnes}}};
const std::vector<Operation> kGetOnly = {{KSPROPERTY_TYPE_GET, {Tail::kBare}}};

struct Answer {
  NTSTATUS status;
  ULONG_PTR returned;
};

// One request as a hostile application builds it: the header (node-addressed with node >= 0), the
// tail, and for a set the request's own bytes as data, followed by the tail's fill.
Answer Ask(KsObject& object, const GUID& set, ULONG id, ULONG operation, long node, Tail tail, ULONG size) {
  uint8_t request[kRequestRoom];
  std::memset(request, tail == Tail::kOnes ? 0xFF : 0, sizeof(request));
  KSP_NODE header{};
  header.Property.Set = set;
  header.Property.Id = id;
  header.Property.Flags = operation | (node >= 0 ? KSPROPERTY_TYPE_TOPOLOGY : 0);
  header.NodeId = node >= 0 ? static_cast<ULONG>(node) : (tail == Tail::kOnes ? ~0u : 0u);
  header.Reserved = tail == Tail::kOnes ? ~0u : 0u;
  std::memcpy(request, &header, node >= 0 ? sizeof(KSP_NODE) : sizeof(KSPROPERTY));
  const ULONG requestSize = tail == Tail::kBare ? (node >= 0 ? sizeof(KSP_NODE) : sizeof(KSPROPERTY)) : kRequestRoom;
  Bytes data(size ? size : 1, tail == Tail::kOnes ? 0xFF : 0);
  if (operation == KSPROPERTY_TYPE_SET) std::memcpy(data.data(), request, std::min<size_t>(size, requestSize));
  Answer a{};
  a.status = object.Property(request, requestSize, data.data(), size, &a.returned);
  return a;
}

std::string Describe(const GUID& set, ULONG id, ULONG operation, long node, Tail tail, ULONG size) {
  char text[160];
  std::snprintf(text, sizeof(text), "set %08X id %lu op 0x%lX node %ld tail %d size %lu", static_cast<unsigned>(set.Data1),
                static_cast<unsigned long>(id), static_cast<unsigned long>(operation), node, static_cast<int>(tail),
                static_cast<unsigned long>(size));
  return text;
}

enum class Reach { kNoSet, kNoItem, kItem };

// Asks one item with a size query, then a short, the exact, an odd and an oversize buffer (without
// a size: an odd and an oversize one), for each operation and tail. *asked counts the requests.
Reach SweepItem(KsObject& object, const GUID& set, ULONG id, long node, const std::vector<Operation>& operations,
                size_t* asked) {
  for (const Operation& op : operations) {
    const ULONG operation = op.flags;
    const bool support = operation == KSPROPERTY_TYPE_BASICSUPPORT || operation == KSPROPERTY_TYPE_DEFAULTVALUES;
    for (Tail tail : op.tails) {
      const Answer query = Ask(object, set, id, operation, node, tail, 0);
      if (query.status == STATUS_PROPSET_NOT_FOUND) return Reach::kNoSet;
      if (query.status == STATUS_NOT_FOUND) return Reach::kNoItem;
      SCOPED_TRACE(Describe(set, id, operation, node, tail, 0));
      ++*asked;
      // A size query answers the size, or is answered whole (nothing to return), or fails.
      EXPECT_TRUE(query.status == STATUS_BUFFER_OVERFLOW || NT_SUCCESS(query.status) || NT_ERROR(query.status))
          << std::hex << query.status;
      if (NT_SUCCESS(query.status)) {
        EXPECT_EQ(0u, query.returned);
      }
      if (query.status == STATUS_BUFFER_OVERFLOW) {
        EXPECT_GT(query.returned, 0u);
      }
      const ULONG needed = query.status == STATUS_BUFFER_OVERFLOW ? static_cast<ULONG>(query.returned) : 0;
      std::vector<ULONG> sizes = {needed + 3, needed + kOversize};
      if (needed) sizes.push_back(needed);
      if (needed > 1) sizes.push_back(needed - 1);
      for (ULONG size : sizes) {
        SCOPED_TRACE(Describe(set, id, operation, node, tail, size));
        const Answer a = Ask(object, set, id, operation, node, tail, size);
        ++*asked;
        if (NT_SUCCESS(a.status)) {
          EXPECT_LE(a.returned, size) << "success with more bytes than the buffer";
        }
        // Short of the size the query answered: no value goes through (a description may answer
        // its short form).
        if (size < needed && !support) {
          EXPECT_FALSE(NT_SUCCESS(a.status)) << "short buffer accepted";
        }
        // The size the query answered is enough.
        if (size == needed) {
          EXPECT_TRUE(a.status != STATUS_BUFFER_TOO_SMALL && a.status != STATUS_BUFFER_OVERFLOW)
              << "the answered size " << needed << " is refused: " << std::hex << a.status;
        }
      }
    }
  }
  return Reach::kItem;
}

// Every item of every set of one object (node >= 0: through that node). The number of requests
// that reached an item.
size_t SweepProperties(KsObject& object, long node, const std::vector<Operation>& operations = kEveryOperation) {
  size_t asked = 0;
  for (const GUID* set : AllSets())
    for (ULONG id = 0; id < kIdsPerSet; ++id)
      if (SweepItem(object, *set, id, node, operations, &asked) == Reach::kNoSet) break;
  return asked;
}

struct SweepCase {
  const char* name;
  const char* camera;
  enum Object { kFilter, kNodes, kCapturePinStopped, kCapturePinRunning, kStillPin } object;
};

class PropertySweepTest : public E2eBench, public ::testing::WithParamInterface<SweepCase> {};

TEST_P(PropertySweepTest, EveryAnswerFitsItsBuffer) {
  const SweepCase& c = GetParam();
  ASSERT_TRUE(Boot(c.camera));
  size_t asked = 0;
  switch (c.object) {
    case SweepCase::kFilter:
      asked = SweepProperties(Filter(), -1);
      break;
    case SweepCase::kNodes: {
      std::vector<GUID> nodes;
      ASSERT_EQ(STATUS_SUCCESS, Filter().Nodes(&nodes));
      for (long node = 0; node < static_cast<long>(nodes.size()); ++node)
        asked += SweepProperties(Filter(), node, kNodeOperations);
      // A node the filter does not have.
      asked += SweepProperties(Filter(), static_cast<long>(nodes.size()), kGetOnly);
      break;
    }
    case SweepCase::kCapturePinStopped:
    case SweepCase::kCapturePinRunning:
    case SweepCase::kStillPin: {
      const capture::PinIds ids = capture::FindPins(Filter());
      const int pinId = c.object == SweepCase::kStillPin ? ids.still : ids.capture;
      ASSERT_GE(pinId, 0);
      std::vector<Bytes> raw;
      ASSERT_EQ(STATUS_SUCCESS, Filter().PinDataRanges(static_cast<ULONG>(pinId), &raw));
      const auto ranges = capture::ParseVideoRanges(raw);
      ASSERT_FALSE(ranges.empty());
      KsPinClient* pin = nullptr;
      ASSERT_EQ(STATUS_SUCCESS, CreatePin(pinId, ranges[0].subtype, ranges[0].width, std::abs(ranges[0].height), &pin));
      if (c.object == SweepCase::kCapturePinRunning) {
        ASSERT_EQ(STATUS_SUCCESS, capture::RunPin(*pin));
      }
      asked = SweepProperties(*pin, -1);
      capture::StopPin(*pin);
      break;
    }
  }
  RecordProperty("requests", static_cast<int>(asked));
  EXPECT_GT(asked, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Objects, PropertySweepTest,
    ::testing::Values(SweepCase{"isoch_filter", "isoch", SweepCase::kFilter},
                      SweepCase{"isoch_nodes", "isoch", SweepCase::kNodes},
                      SweepCase{"isoch_capture_pin_stopped", "isoch", SweepCase::kCapturePinStopped},
                      SweepCase{"isoch_capture_pin_running", "isoch", SweepCase::kCapturePinRunning},
                      SweepCase{"isoch_still_pin", "isoch", SweepCase::kStillPin},
                      SweepCase{"bulk_filter", "bulk", SweepCase::kFilter},
                      SweepCase{"minimal_filter", "minimal", SweepCase::kFilter},
                      SweepCase{"minimal_nodes", "minimal", SweepCase::kNodes}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Pins, clients, formats, the camera and the device, all out of order -----------------------

// The client's buffer for a format: one whole uncompressed frame (rows of whole 32-bit words),
// whatever its biSizeImage claims; for MJPG what the format allows, at most two bytes a pixel.
// Never more than 64 MiB.
ULONG FrameBytes(const VideoFormat& f) {
  const uint64_t width = static_cast<uint64_t>(std::abs(static_cast<int64_t>(f.width)));
  const uint64_t height = static_cast<uint64_t>(std::abs(static_cast<int64_t>(f.height)));
  const uint64_t bytes = f.subtype == kMjpg ? std::min<uint64_t>(f.sizeImage ? f.sizeImage : ~0ull, width * height * 2)
                                            : (width * f.bitCount + 31) / 32 * 4 * height;
  return static_cast<ULONG>(std::min<uint64_t>(bytes, 64u << 20));
}

// A completed read: the header describes the client's own buffer, a success carries a whole
// frame of the pin's format, a failure carries nothing.
void ExpectFitsBuffer(NTSTATUS status, const StreamRead::Header& h, const Bytes& data, const VideoFormat& f,
                      ULONG bufferSize) {
  EXPECT_EQ(bufferSize, h.header.FrameExtent);
  EXPECT_LE(h.header.DataUsed, h.header.FrameExtent);
  EXPECT_EQ(sizeof(KS_FRAME_INFO), h.frameInfo.ExtendedHeaderSize);
  if (!NT_SUCCESS(status)) {
    EXPECT_EQ(0u, h.header.DataUsed) << "a failed read with data, status " << std::hex << status;
  } else if (f.subtype == kMjpg) {
    ASSERT_GE(h.header.DataUsed, 2u);
    EXPECT_TRUE(data[0] == 0xFF && data[1] == 0xD8) << "an MJPG frame without its start of image";
  } else {
    EXPECT_EQ(FrameBytes(f), h.header.DataUsed) << "a partial frame";
  }
}

// The fixture's helpers, public for the rows' bodies.
class Hostile : public E2eBench {
 public:
  using E2eBench::Camera;
  using E2eBench::ClosePin;
  using E2eBench::CreatePin;
  using E2eBench::Device;
  using E2eBench::Filter;
  using E2eBench::Rig;

  // A pin factory's VIDEOINFO ranges of one subtype, in the pin's order.
  std::vector<capture::VideoRange> Ranges(int pinId, uint32_t subtype) {
    std::vector<Bytes> raw;
    std::vector<capture::VideoRange> out;
    if (pinId < 0 || !NT_SUCCESS(Filter().PinDataRanges(static_cast<ULONG>(pinId), &raw))) return out;
    for (const capture::VideoRange& r : capture::ParseVideoRanges(raw))
      if (!r.videoInfo2 && r.subtype == subtype) out.push_back(r);
    return out;
  }
  // Those up to 640 x 480, which already take the largest alternate setting at 30 fps.
  std::vector<capture::VideoRange> RangesUpToVga(int pinId, uint32_t subtype) {
    std::vector<capture::VideoRange> out;
    for (const capture::VideoRange& r : Ranges(pinId, subtype))
      if (static_cast<int64_t>(r.width) * std::abs(r.height) <= 640 * 480) out.push_back(r);
    return out;
  }
  capture::VideoRange SmallestRange(int pinId, uint32_t subtype) {
    const auto ranges = Ranges(pinId, subtype);
    if (ranges.empty()) {
      ADD_FAILURE() << "pin " << pinId << " offers no " << capture::SubtypeName(subtype);
      return {};
    }
    return *std::min_element(ranges.begin(), ranges.end(), [](const auto& a, const auto& b) {
      return static_cast<int64_t>(a.width) * std::abs(a.height) < static_cast<int64_t>(b.width) * std::abs(b.height);
    });
  }
  // Up to count frames, each waited for at most timeout (seven frame times at 30 fps); every one
  // checked against its buffer.
  static std::vector<CompletedFrame> ReadChecked(KsPinClient& pin, const VideoFormat& f, size_t count,
                                                 int64_t timeout = 250 * kMillisecond) {
    std::vector<CompletedFrame> frames;
    pin.ReadFrames(count, FrameBytes(f), 2, &frames, timeout);
    for (const CompletedFrame& frame : frames) {
      StreamRead::Header h{frame.header, frame.frameInfo};
      ExpectFitsBuffer(frame.status, h, frame.data, f, FrameBytes(f));
    }
    return frames;
  }
  // Frames keep coming, and a YUY2 frame is the camera's picture.
  static void ExpectStreams(KsPinClient& pin, const VideoFormat& f) {
    const auto frames = ReadChecked(pin, f, 2, 5 * kSecond);
    ASSERT_EQ(2u, frames.size());
    for (const CompletedFrame& frame : frames) {
      ASSERT_EQ(STATUS_SUCCESS, frame.status);
      if (f.subtype == kYuy2) {
        EXPECT_EQ(CameraPicture(f.width, std::abs(f.height), FrameNumber(frame.data)), frame.data);
      }
    }
  }
  KsPinClient* Running(int pinId, uint32_t subtype, int width, int height, VideoFormat* f) {
    KsPinClient* pin = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, CreatePin(pinId, subtype, width, height, &pin, f));
    if (pin) {
      EXPECT_EQ(STATUS_SUCCESS, capture::RunPin(*pin));
    }
    return pin;
  }
  int StillPinId() { return capture::FindPins(Filter()).still; }

};

struct ScenarioCase {
  const char* name;
  const char* camera;
  std::function<void(Hostile&)> body;
};

class ScenarioTest : public Hostile, public ::testing::WithParamInterface<ScenarioCase> {};

TEST_P(ScenarioTest, AnswersStayConsistentAndNothingIsLeft) {
  ASSERT_TRUE(Boot(GetParam().camera));
  GetParam().body(*this);
}

KSSTATE StateOf(KsPinClient& pin) {
  KSSTATE state = static_cast<KSSTATE>(-1);
  EXPECT_EQ(STATUS_SUCCESS, pin.GetState(&state));
  return state;
}

// RUN straight from STOP, STOP straight from RUN, each state asked for twice.
void StatesSkippedAndRepeated(Hostile& t) {
  VideoFormat f;
  KsPinClient* pin = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, t.CreatePin(kCapturePin, kYuy2, 320, 240, &pin, &f));
  const KSSTATE walk[] = {KSSTATE_RUN, KSSTATE_RUN, KSSTATE_STOP, KSSTATE_STOP, KSSTATE_RUN,
                          KSSTATE_PAUSE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_ACQUIRE, KSSTATE_RUN};
  for (KSSTATE s : walk) {
    SCOPED_TRACE("state " + std::to_string(s));
    ASSERT_EQ(STATUS_SUCCESS, pin->SetState(s));
    EXPECT_EQ(s, StateOf(*pin));
    if (s == KSSTATE_RUN) Hostile::ExpectStreams(*pin, f);
  }
  EXPECT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_STOP));
}

// Closing a running pin ends its queued reads (none stays pending, none claims data it does not
// hold); a new pin streams.
void CloseWhileRunningWithReadsQueued(Hostile& t) {
  VideoFormat f;
  KsPinClient* pin = t.Running(kCapturePin, kYuy2, 320, 240, &f);
  ASSERT_NE(nullptr, pin);
  std::vector<std::unique_ptr<StreamRead>> reads;
  for (int i = 0; i < 4; ++i) reads.push_back(pin->QueueRead(f.sizeImage));
  t.ClosePin(pin);
  for (auto& read : reads) {
    const NTSTATUS status = read->Request()->Wait(5 * kSecond);
    ASSERT_NE(STATUS_TIMEOUT, status) << "a read outlived its pin";
    ExpectFitsBuffer(status, read->Headers(), read->Data(), f, f.sizeImage);
  }
  reads.clear();
  pin = t.Running(kCapturePin, kYuy2, 320, 240, &f);
  ASSERT_NE(nullptr, pin);
  Hostile::ExpectStreams(*pin, f);
  capture::StopPin(*pin);
}

// A second pin on the filter and a second client's filter and pin while the first streams: the
// second gets a clear answer and the first keeps streaming.
void SecondClient(Hostile& t) {
  VideoFormat f;
  KsPinClient* pin = t.Running(kCapturePin, kYuy2, 320, 240, &f);
  ASSERT_NE(nullptr, pin);
  KsPinClient* again = nullptr;
  EXPECT_TRUE(NT_ERROR(t.CreatePin(kCapturePin, kYuy2, 160, 120, &again))) << "two capture pins on one filter";

  std::unique_ptr<KsFilterClient> other;
  ASSERT_EQ(STATUS_SUCCESS, t.Rig().OpenFilter(&other));
  std::vector<Bytes> raw;
  ASSERT_EQ(STATUS_SUCCESS, other->PinDataRanges(kCapturePin, &raw));
  capture::CreatedPin second;
  std::string error;
  for (const capture::VideoRange& r : capture::ParseVideoRanges(raw)) {
    if (r.videoInfo2 || r.subtype != kYuy2 || r.width != 160) continue;
    const NTSTATUS created = capture::CreatePinFromRange(*other, kCapturePin, r, std::nullopt, &second, &error);
    EXPECT_TRUE(NT_SUCCESS(created) || NT_ERROR(created)) << std::hex << created;
    if (NT_SUCCESS(created)) {
      if (NT_SUCCESS(capture::RunPin(*second.pin))) Hostile::ReadChecked(*second.pin, second.format, 2);
      capture::StopPin(*second.pin);
    }
    break;
  }
  Hostile::ExpectStreams(*pin, f);
  if (second.pin) second.pin->Close();
  other->Close();
  Hostile::ExpectStreams(*pin, f);
  capture::StopPin(*pin);
}

// A client closes its filter before the running pin below it (reads queued): the reads end, the
// pin still closes, and a new client streams.
void FilterClosedBeforeItsRunningPin(Hostile& t) {
  std::unique_ptr<KsFilterClient> filter;
  ASSERT_EQ(STATUS_SUCCESS, t.Rig().OpenFilter(&filter));
  std::vector<Bytes> raw;
  ASSERT_EQ(STATUS_SUCCESS, filter->PinDataRanges(kCapturePin, &raw));
  const capture::VideoRange r = t.SmallestRange(kCapturePin, kYuy2);
  capture::CreatedPin pin;
  std::string error;
  ASSERT_EQ(STATUS_SUCCESS, capture::CreatePinFromRange(*filter, kCapturePin, r, std::nullopt, &pin, &error));
  ASSERT_EQ(STATUS_SUCCESS, capture::RunPin(*pin.pin));
  std::vector<std::unique_ptr<StreamRead>> reads;
  for (int i = 0; i < 3; ++i) reads.push_back(pin.pin->QueueRead(pin.format.sizeImage));
  filter->Close();
  for (auto& read : reads) {
    const NTSTATUS status = read->Request()->Wait(5 * kSecond);
    ASSERT_NE(STATUS_TIMEOUT, status) << "a read outlived its filter";
    ExpectFitsBuffer(status, read->Headers(), read->Data(), pin.format, pin.format.sizeImage);
  }
  reads.clear();
  pin.pin->Close();
  VideoFormat f;
  KsPinClient* again = t.Running(kCapturePin, kYuy2, r.width, std::abs(r.height), &f);
  ASSERT_NE(nullptr, again);
  Hostile::ExpectStreams(*again, f);
  capture::StopPin(*again);
}

// Still triggers with no still pin, with a stopped one (its read waits and ends when the pin
// closes), and a still pin run without capture.
void StillsWhileStopped(Hostile& t) {
  const int stillPin = t.StillPinId();
  ASSERT_GE(stillPin, 0);
  const NTSTATUS noPin = capture::TriggerStill(t.Filter(), static_cast<ULONG>(stillPin));
  EXPECT_TRUE(NT_SUCCESS(noPin) || NT_ERROR(noPin)) << std::hex << noPin;
  const auto ranges = t.Ranges(stillPin, kYuy2);
  ASSERT_FALSE(ranges.empty());
  VideoFormat f;
  KsPinClient* still = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, t.CreatePin(stillPin, kYuy2, ranges[0].width, std::abs(ranges[0].height), &still, &f));
  auto read = still->QueueRead(f.sizeImage);
  capture::TriggerStill(t.Filter(), static_cast<ULONG>(stillPin));
  t.Camera().PressButton();
  t.Camera().ReleaseButton();
  const NTSTATUS stopped = read->Request()->Wait(kSecond);
  EXPECT_FALSE(NT_SUCCESS(stopped)) << "a still on a stopped pin";
  if (stopped != STATUS_TIMEOUT) read = still->QueueRead(f.sizeImage);
  ASSERT_EQ(STATUS_SUCCESS, still->SetState(KSSTATE_RUN));
  capture::TriggerStill(t.Filter(), static_cast<ULONG>(stillPin));
  const NTSTATUS status = read->Request()->Wait(5 * kSecond);
  if (status != STATUS_TIMEOUT) ExpectFitsBuffer(status, read->Headers(), read->Data(), f, f.sizeImage);
  t.ClosePin(still);
  EXPECT_NE(STATUS_TIMEOUT, read->Request()->Wait(5 * kSecond)) << "a still read outlived its pin";
}

// Formats no application should send, at creation and as a change of a stopped and a running pin:
// each is refused or streams frames that fit the format the pin reports.
KS_DATAFORMAT_VIDEOINFOHEADER& Info(Bytes& format) { return *reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data()); }

struct FormatEdit {
  const char* name;
  std::function<void(Bytes&)> edit;
};

const std::vector<FormatEdit>& WildFormats() {
  auto bitmap = [](Bytes& b) -> KS_BITMAPINFOHEADER& { return Info(b).VideoInfoHeader.bmiHeader; };
  static const std::vector<FormatEdit> edits = {
      {"format_size_header_only", [](Bytes& b) { b.resize(sizeof(KSDATAFORMAT)); Info(b).DataFormat.FormatSize = sizeof(KSDATAFORMAT); }},
      {"format_size_past_bitmap", [](Bytes& b) { b.resize(b.size() + 64, 0xEE); Info(b).DataFormat.FormatSize = static_cast<ULONG>(b.size()); }},
      {"bisize_zero", [=](Bytes& b) { bitmap(b).biSize = 0; }},
      {"bisize_huge", [=](Bytes& b) { bitmap(b).biSize = 0xFFFFFFF0u; }},
      {"width_zero", [=](Bytes& b) { bitmap(b).biWidth = 0; }},
      {"width_negative", [=](Bytes& b) { bitmap(b).biWidth = -320; }},
      {"width_odd", [=](Bytes& b) { bitmap(b).biWidth += 1; }},
      {"width_wider", [=](Bytes& b) { bitmap(b).biWidth += 64; }},
      {"width_huge", [=](Bytes& b) { bitmap(b).biWidth = 0x7FFFFFFF; }},
      {"largest_top_down", [=](Bytes& b) { bitmap(b).biWidth = INT32_MAX; bitmap(b).biHeight = INT32_MIN; }},
      {"height_zero", [=](Bytes& b) { bitmap(b).biHeight = 0; }},
      {"height_min", [=](Bytes& b) { bitmap(b).biHeight = INT32_MIN; }},
      {"height_flipped", [=](Bytes& b) { bitmap(b).biHeight = -bitmap(b).biHeight; }},
      {"height_huge", [=](Bytes& b) { bitmap(b).biHeight = 0x7FFFFFFF; }},
      {"bit_count_zero", [=](Bytes& b) { bitmap(b).biBitCount = 0; }},
      {"bit_count_huge", [=](Bytes& b) { bitmap(b).biBitCount = 0xFFFF; }},
      {"compression_other", [=](Bytes& b) { bitmap(b).biCompression ^= 0x01010101; }},
      {"size_image_zero", [=](Bytes& b) { bitmap(b).biSizeImage = 0; Info(b).DataFormat.SampleSize = 0; }},
      {"size_image_huge", [=](Bytes& b) { bitmap(b).biSizeImage = 0xFFFFFFFF; Info(b).DataFormat.SampleSize = 0xFFFFFFFF; }},
      {"interval_zero", [](Bytes& b) { Info(b).VideoInfoHeader.AvgTimePerFrame = 0; }},
      {"interval_huge", [](Bytes& b) { Info(b).VideoInfoHeader.AvgTimePerFrame = INT64_MAX; }},
      {"rectangles_wild", [](Bytes& b) {
         Info(b).VideoInfoHeader.rcSource = {-5, INT32_MIN, INT32_MAX, 7};
         Info(b).VideoInfoHeader.rcTarget = {INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
       }},
      {"specifier_videoinfo2", [](Bytes& b) { Info(b).DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO2; }},
  };
  return edits;
}

void WildFormatsOnPin(Hostile& t, uint32_t subtype) {
  const capture::VideoRange range = t.SmallestRange(kCapturePin, subtype);
  Bytes good;
  ASSERT_EQ(STATUS_SUCCESS, t.Filter().Intersect(kCapturePin, {range.raw}, &good));
  auto reported = [](KsPinClient& pin) {
    Bytes actual;
    VideoFormat f;
    EXPECT_EQ(STATUS_SUCCESS, pin.GetDataFormat(&actual));
    EXPECT_TRUE(capture::ParseVideoFormat(actual, &f));
    return f;
  };
  std::unique_ptr<KsPinClient> stopped;
  for (const FormatEdit& e : WildFormats()) {
    SCOPED_TRACE(e.name);
    Bytes wild = good;
    e.edit(wild);
    // At creation; a pin that takes it streams what it reports.
    std::unique_ptr<KsPinClient> pin;
    const NTSTATUS created = t.Filter().CreatePin(kCapturePin, wild, &pin);
    EXPECT_TRUE(NT_SUCCESS(created) || NT_ERROR(created)) << std::hex << created;
    if (NT_SUCCESS(created)) {
      if (NT_SUCCESS(capture::RunPin(*pin))) Hostile::ReadChecked(*pin, reported(*pin), 1);
      capture::StopPin(*pin);
      pin->Close();
    }
    // As a change of a stopped pin, run when it is taken.
    if (!stopped) {
      ASSERT_EQ(STATUS_SUCCESS, t.Filter().CreatePin(kCapturePin, good, &stopped));
    }
    const NTSTATUS changed = stopped->SetDataFormat(wild);
    EXPECT_TRUE(NT_SUCCESS(changed) || NT_ERROR(changed)) << std::hex << changed;
    if (NT_SUCCESS(changed)) {
      if (NT_SUCCESS(capture::RunPin(*stopped))) Hostile::ReadChecked(*stopped, reported(*stopped), 1);
      capture::StopPin(*stopped);
      ASSERT_EQ(STATUS_SUCCESS, stopped->SetDataFormat(good));
    }
  }
  stopped->Close();
  // Every one as a change of a running pin, which goes on streaming what it reports.
  VideoFormat f;
  KsPinClient* pin = t.Running(kCapturePin, subtype, range.width, std::abs(range.height), &f);
  ASSERT_NE(nullptr, pin);
  for (const FormatEdit& e : WildFormats()) {
    SCOPED_TRACE(e.name);
    Bytes wild = good;
    e.edit(wild);
    const NTSTATUS changed = pin->SetDataFormat(wild);
    EXPECT_TRUE(NT_SUCCESS(changed) || NT_ERROR(changed)) << std::hex << changed;
    Hostile::ReadChecked(*pin, reported(*pin), 1);
  }
  Hostile::ExpectStreams(*pin, reported(*pin));
  capture::StopPin(*pin);
}

// Caller ranges no application should send to the intersection: a clear answer each time,
// consistent with the buffer.
void WildIntersections(Hostile& t) {
  for (uint32_t subtype : {kYuy2, kRgb24, kMjpg}) {
    const auto ranges = t.Ranges(kCapturePin, subtype);
    ASSERT_FALSE(ranges.empty());
    const Bytes good = ranges[0].raw;
    const struct {
      const char* name;
      std::function<void(KS_DATARANGE_VIDEO&)> edit;
    } edits[] = {
        {"bisize_zero", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biSize = 0; }},
        {"width_zero", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biWidth = 0; }},
        {"width_negative", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biWidth = INT32_MIN; }},
        {"largest_top_down", [](KS_DATARANGE_VIDEO& r) {
           r.VideoInfoHeader.bmiHeader.biWidth = INT32_MAX;
           r.VideoInfoHeader.bmiHeader.biHeight = INT32_MIN;
         }},
        {"largest_bottom_up", [](KS_DATARANGE_VIDEO& r) {
           r.VideoInfoHeader.bmiHeader.biWidth = INT32_MAX;
           r.VideoInfoHeader.bmiHeader.biHeight = INT32_MAX;
         }},
        {"height_zero", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biHeight = 0; }},
        {"interval_wild", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.AvgTimePerFrame = INT64_MIN; }},
        {"format_size_short", [](KS_DATARANGE_VIDEO& r) { r.DataRange.FormatSize = sizeof(KSDATARANGE) + 8; }},
    };
    for (const auto& e : edits) {
      SCOPED_TRACE(std::string(capture::SubtypeName(subtype)) + " " + e.name);
      Bytes wild = good;
      e.edit(*reinterpret_cast<KS_DATARANGE_VIDEO*>(wild.data()));
      Bytes format;
      const NTSTATUS status = t.Filter().Intersect(kCapturePin, {wild}, &format);
      EXPECT_TRUE(NT_SUCCESS(status) || NT_ERROR(status)) << std::hex << status;
      if (NT_SUCCESS(status)) {
        VideoFormat f;
        EXPECT_TRUE(capture::ParseVideoFormat(format, &f));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    PinsAndClients, ScenarioTest,
    ::testing::Values(ScenarioCase{"states_skipped_and_repeated", "isoch", StatesSkippedAndRepeated},
                      ScenarioCase{"states_skipped_and_repeated_bulk", "bulk", StatesSkippedAndRepeated},
                      ScenarioCase{"close_while_running_with_reads_queued", "isoch", CloseWhileRunningWithReadsQueued},
                      ScenarioCase{"close_while_running_with_reads_queued_bulk", "bulk",
                                   CloseWhileRunningWithReadsQueued},
                      ScenarioCase{"second_client", "isoch", SecondClient},
                      ScenarioCase{"filter_closed_before_its_running_pin", "isoch", FilterClosedBeforeItsRunningPin},
                      ScenarioCase{"stills_while_stopped", "isoch", StillsWhileStopped},
                      ScenarioCase{"wild_formats_yuy2", "isoch", [](Hostile& t) { WildFormatsOnPin(t, kYuy2); }},
                      ScenarioCase{"wild_formats_rgb24", "isoch", [](Hostile& t) { WildFormatsOnPin(t, kRgb24); }},
                      ScenarioCase{"wild_formats_mjpg", "isoch", [](Hostile& t) { WildFormatsOnPin(t, kMjpg); }},
                      ScenarioCase{"wild_intersections", "isoch", WildIntersections}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The camera's attack switches on both transports, every format -----------------------------

struct AttackSwitch {
  const char* name;
  std::function<void(simcam::PayloadAttacks&)> arm;
  bool isoch = true;
  bool bulk = true;
  bool restart = false;  // takes effect when the device reads its descriptors again (PnP stop and start)
};

const std::vector<AttackSwitch>& AttackSwitches() {
  static const std::vector<AttackSwitch> switches = {
      {"header_length_0", [](auto& a) { a.headerLength = 0; }},
      {"header_length_1", [](auto& a) { a.headerLength = 1; }},
      {"header_length_6", [](auto& a) { a.headerLength = 6; }},
      {"header_length_13", [](auto& a) { a.headerLength = 13; }},
      {"header_length_255", [](auto& a) { a.headerLength = 255; }},
      {"header_only_idle", [](auto& a) { a.headerOnlyIdle = true; }},
      {"fid_stuck", [](auto& a) { a.fid = simcam::FidMode::kStuck; }},
      {"fid_toggle_inside_frame", [](auto& a) { a.fid = simcam::FidMode::kToggleInsideFrame; }},
      {"fid_stuck_lost_eof", [](auto& a) { a.fid = simcam::FidMode::kStuckLostEof; }},
      {"mjpeg_smaller_picture", [](auto& a) { a.mjpegWidth = 64; a.mjpegHeight = 48; }},
      {"mjpeg_larger_picture", [](auto& a) { a.mjpegWidth = 2048; a.mjpegHeight = 1536; }},
      {"probe_frame_size_0", [](auto& a) { a.probeMaxVideoFrameSize = 0; }},
      {"probe_frame_size_huge", [](auto& a) { a.probeMaxVideoFrameSize = 0xFFFFFFFF; }},
      {"probe_payload_0", [](auto& a) { a.probeMaxPayloadTransferSize = 0; }},
      {"probe_payload_huge", [](auto& a) { a.probeMaxPayloadTransferSize = 0xFFFFFFFF; }},
      {"bad_packets", [](auto& a) { a.badPacketsPerTransfer = 3; }, true, false},
      {"bad_packets_with_data", [](auto& a) { a.badPacketsPerTransfer = 5; a.badPacketsCarryData = true; }, true, false},
      {"ignore_negotiated_payload", [](auto& a) { a.ignoreNegotiatedPayload = true; }, true, false},
      {"garbage_timestamps", [](auto& a) { a.garbageTimestamps = true; }},
      {"jitter", [](auto& a) { a.jitterPercent = 90; }},
      {"bursts", [](auto& a) { a.burstFrames = 4; }},
      {"bulk_zero_length_packets", [](auto& a) { a.bulkZeroLengthPackets = true; }, false, true},
      {"descriptors_change_between_reads", [](auto& a) { a.descriptorsChangeBetweenReads = true; }, true, true, true},
  };
  return switches;
}

struct AttackCase {
  std::string name;
  const char* camera;
  const AttackSwitch* attack;
  size_t sizeIndex;  // which of each format's sizes; the rows go round them
};

std::vector<AttackCase> AttackRows() {
  std::vector<AttackCase> rows;
  size_t n = 0;
  for (const char* camera : {"isoch", "bulk"}) {
    const bool isoch = std::string(camera) == "isoch";
    for (const AttackSwitch& a : AttackSwitches())
      if (isoch ? a.isoch : a.bulk) rows.push_back({std::string(camera) + "_" + a.name, camera, &a, n++});
  }
  return rows;
}

class AttackTest : public Hostile, public ::testing::WithParamInterface<AttackCase> {};

TEST_P(AttackTest, FramesFitTheirBuffersAndTheStreamRecovers) {
  const AttackCase& c = GetParam();
  ASSERT_TRUE(Boot(c.camera));
  Camera().Configure([&](simcam::CameraFaults& faults, auto&, auto&, auto&) { c.attack->arm(faults.attacks); });
  if (c.attack->restart) {
    ASSERT_EQ(STATUS_SUCCESS, Device().QueryStop());
    ASSERT_EQ(STATUS_SUCCESS, Device().Stop());
    ASSERT_EQ(STATUS_SUCCESS, Device().Start());
  }
  size_t formats = 0;
  for (uint32_t subtype : {kYuy2, kRgb24, kMjpg}) {
    const auto ranges = RangesUpToVga(kCapturePin, subtype);
    if (ranges.empty()) continue;
    ++formats;
    const capture::VideoRange& r = ranges[c.sizeIndex % ranges.size()];
    SCOPED_TRACE(capture::SubtypeName(subtype) + " " + std::to_string(r.width) + "x" + std::to_string(r.height));
    KsPinClient* pin = nullptr;
    VideoFormat f;
    ASSERT_EQ(STATUS_SUCCESS, CreatePin(kCapturePin, subtype, r.width, std::abs(r.height), &pin, &f));
    const NTSTATUS run = capture::RunPin(*pin);
    EXPECT_TRUE(NT_SUCCESS(run) || NT_ERROR(run)) << std::hex << run;
    if (NT_SUCCESS(run)) ReadChecked(*pin, f, 2);
    capture::StopPin(*pin);
    ClosePin(pin);
  }
  EXPECT_EQ(3u, formats);
  // The camera behaves again: a new pin streams the camera's picture.
  Camera().Configure([](simcam::CameraFaults& faults, auto&, auto&, auto&) { faults.attacks = {}; });
  const capture::VideoRange smallest = SmallestRange(kCapturePin, kYuy2);
  VideoFormat f;
  KsPinClient* pin = Running(kCapturePin, kYuy2, smallest.width, std::abs(smallest.height), &f);
  ASSERT_NE(nullptr, pin);
  ExpectStreams(*pin, f);
  capture::StopPin(*pin);
}

INSTANTIATE_TEST_SUITE_P(Switches, AttackTest, ::testing::ValuesIn(AttackRows()),
                         [](const auto& info) { return info.param.name; });

// ---- Plug and play at every stage, with handles open --------------------------------------------

enum class Stage { kStarted, kFilterOpen, kPinStopped, kPinRunningWithReads, kStillPinRunning };
enum class PnpEvent { kSurpriseRemoval, kRemove, kStopAndStart };

struct PnpCase {
  std::string name;
  const char* camera;
  Stage stage;
  PnpEvent event;
};

std::vector<PnpCase> PnpRows() {
  const std::pair<Stage, const char*> stages[] = {{Stage::kStarted, "started"},
                                                  {Stage::kFilterOpen, "filter_open"},
                                                  {Stage::kPinStopped, "pin_stopped"},
                                                  {Stage::kPinRunningWithReads, "pin_running_with_reads"},
                                                  {Stage::kStillPinRunning, "still_pin_running"}};
  const std::pair<PnpEvent, const char*> events[] = {{PnpEvent::kSurpriseRemoval, "surprise_removal"},
                                                     {PnpEvent::kRemove, "remove"},
                                                     {PnpEvent::kStopAndStart, "stop_and_start"}};
  std::vector<PnpCase> rows;
  for (const char* camera : {"isoch", "bulk"})
    for (const auto& [stage, stageName] : stages)
      for (const auto& [event, eventName] : events)
        rows.push_back({std::string(camera) + "_" + stageName + "_" + eventName, camera, stage, event});
  return rows;
}

class PnpTest : public Hostile, public ::testing::WithParamInterface<PnpCase> {};

TEST_P(PnpTest, HandlesOpenThroughTheDeviceLeaving) {
  const PnpCase& c = GetParam();
  ASSERT_TRUE(Boot(c.camera));
  KsPinClient* pin = nullptr;
  VideoFormat f;
  std::vector<std::unique_ptr<StreamRead>> reads;
  if (c.stage >= Stage::kFilterOpen) Filter();
  if (c.stage == Stage::kPinStopped || c.stage == Stage::kPinRunningWithReads) {
    const capture::VideoRange r = SmallestRange(kCapturePin, kYuy2);
    ASSERT_EQ(STATUS_SUCCESS, CreatePin(kCapturePin, kYuy2, r.width, std::abs(r.height), &pin, &f));
  }
  if (c.stage == Stage::kStillPinRunning) {
    const capture::VideoRange r = SmallestRange(StillPinId(), kYuy2);
    ASSERT_EQ(STATUS_SUCCESS, CreatePin(StillPinId(), kYuy2, r.width, std::abs(r.height), &pin, &f));
  }
  if (c.stage == Stage::kPinRunningWithReads || c.stage == Stage::kStillPinRunning) {
    ASSERT_EQ(STATUS_SUCCESS, capture::RunPin(*pin));
    for (int i = 0; i < 3; ++i) reads.push_back(pin->QueueRead(f.sizeImage));
  }

  switch (c.event) {
    case PnpEvent::kSurpriseRemoval:
      Rig().Port().Unplug();
      EXPECT_EQ(STATUS_SUCCESS, Device().SurpriseRemove());
      break;
    case PnpEvent::kRemove:
      EXPECT_EQ(STATUS_SUCCESS, Device().QueryRemove());
      EXPECT_EQ(STATUS_SUCCESS, Device().Remove());
      break;
    case PnpEvent::kStopAndStart: {
      // A device with a filter open may refuse the stop; it then stays started.
      const NTSTATUS query = Device().QueryStop();
      if (NT_SUCCESS(query)) {
        EXPECT_EQ(STATUS_SUCCESS, Device().Stop());
        EXPECT_EQ(STATUS_SUCCESS, Device().Start());
      } else {
        EXPECT_EQ(STATUS_DEVICE_BUSY, query);
        EXPECT_GE(c.stage, Stage::kFilterOpen) << "a stop refused with no filter open";
        EXPECT_EQ(STATUS_SUCCESS, Device().CancelStop());
      }
      break;
    }
  }
  // The client goes on with the handles it holds: a property of the filter, the pin's state.
  if (c.stage >= Stage::kFilterOpen) {
    int32_t brightness = 0;
    const NTSTATUS status = capture::GetControl(Filter(), *capture::FindControl("brightness"), &brightness);
    EXPECT_TRUE(NT_SUCCESS(status) || NT_ERROR(status)) << std::hex << status;
  }
  // Every queued read ends (none stays pending with the device gone), with nothing it does not hold.
  if (pin) capture::StopPin(*pin);
  for (auto& read : reads) {
    const NTSTATUS status = read->Request()->Wait(5 * kSecond);
    ASSERT_NE(STATUS_TIMEOUT, status) << "a read outlived the device";
    ExpectFitsBuffer(status, read->Headers(), read->Data(), f, f.sizeImage);
  }
  reads.clear();
  CloseFilter();
  if (c.event != PnpEvent::kStopAndStart) return;
  // After a stop and a start the device serves a new client.
  const capture::VideoRange r = SmallestRange(kCapturePin, kYuy2);
  pin = Running(kCapturePin, kYuy2, r.width, std::abs(r.height), &f);
  ASSERT_NE(nullptr, pin);
  ExpectStreams(*pin, f);
  capture::StopPin(*pin);
}

INSTANTIATE_TEST_SUITE_P(Stages, PnpTest, ::testing::ValuesIn(PnpRows()),
                         [](const auto& info) { return info.param.name; });

// ---- Property requests racing state changes -----------------------------------------------------

// Every get of every set (or the tool's controls, got and set to their value) on the filter or the
// pin, from a second thread while the test's thread walks the capture pin through its states.
enum class Racer { kFilterGets, kControlSets, kPinGets };

struct RaceCase {
  const char* name;
  const char* camera;
  Racer racer;
};

// A kernel wait after each request, so that the clock moves on while the racer keeps asking.
void Breathe() {
  LARGE_INTEGER pause;
  pause.QuadPart = -kMillisecond / 2;
  KeDelayExecutionThread(KernelMode, FALSE, &pause);
}

void AskEveryGet(KsObject& object, const std::atomic<bool>& done, std::atomic<int>& asked) {
  for (const GUID* set : AllSets()) {
    for (ULONG id = 0; id < kIdsPerSet && !done; ++id) {
      const Answer a = Ask(object, *set, id, KSPROPERTY_TYPE_GET, -1, Tail::kZeros, 256);
      ++asked;
      if (a.status == STATUS_PROPSET_NOT_FOUND) break;
      if (NT_SUCCESS(a.status)) {
        EXPECT_LE(a.returned, 256u);
      }
      Breathe();
    }
  }
}

void SetEveryControl(KsFilterClient& filter, const std::atomic<bool>& done, std::atomic<int>& asked) {
  for (const capture::ControlName& control : capture::KnownControls()) {
    if (done) return;
    int32_t value = 0;
    if (NT_SUCCESS(capture::GetControl(filter, control, &value))) capture::SetControl(filter, control, value);
    ++asked;
    Breathe();
  }
}

class RaceTest : public Hostile, public ::testing::WithParamInterface<RaceCase> {};

TEST_P(RaceTest, PropertiesRacingStateChanges) {
  const RaceCase& c = GetParam();
  ASSERT_TRUE(Boot(c.camera));
  const capture::VideoRange r = SmallestRange(kCapturePin, kYuy2);
  KsPinClient* pin = nullptr;
  VideoFormat f;
  ASSERT_EQ(STATUS_SUCCESS, CreatePin(kCapturePin, kYuy2, r.width, std::abs(r.height), &pin, &f));
  KsFilterClient& filter = Filter();

  std::atomic<bool> done{false};
  std::atomic<bool> finished{false};
  std::atomic<int> asked{0};
  std::thread racer([&] {
    kernel::KernelThreadScope scope("racer");
    while (!done) {
      switch (c.racer) {
        case Racer::kFilterGets:
          AskEveryGet(filter, done, asked);
          break;
        case Racer::kControlSets:
          SetEveryControl(filter, done, asked);
          break;
        case Racer::kPinGets:
          AskEveryGet(*pin, done, asked);
          break;
      }
    }
    finished = true;
  });
  const KSSTATE walk[] = {KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_STOP, KSSTATE_RUN, KSSTATE_ACQUIRE,
                          KSSTATE_RUN, KSSTATE_STOP};
  // The walk starts once the racer is under way: on a loaded machine the thread may not have run
  // yet, and the walk would race nothing.
  while (asked == 0) kernel::AdvanceClock(kMillisecond);
  for (KSSTATE s : walk) {
    EXPECT_EQ(STATUS_SUCCESS, pin->SetState(s));
    if (s == KSSTATE_RUN) ReadChecked(*pin, f, 1);
  }
  done = true;
  // The racer ends its round: wait in the kernel, so that the clock runs for it meanwhile.
  while (!finished) kernel::AdvanceClock(kMillisecond);
  racer.join();
  RecordProperty("requests", asked.load());
  EXPECT_GT(asked.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Racers, RaceTest,
                         ::testing::Values(RaceCase{"isoch_filter_gets", "isoch", Racer::kFilterGets},
                                           RaceCase{"isoch_control_sets", "isoch", Racer::kControlSets},
                                           RaceCase{"isoch_pin_gets", "isoch", Racer::kPinGets},
                                           RaceCase{"bulk_filter_gets", "bulk", Racer::kFilterGets},
                                           RaceCase{"bulk_control_sets", "bulk", Racer::kControlSets},
                                           RaceCase{"bulk_pin_gets", "bulk", Racer::kPinGets}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvz::e2e
