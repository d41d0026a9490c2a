#include "stream_bench.h"

#include <jpeglib.h>

#include <csetjmp>
#include <cstring>
#include <new>

#include "camera_start.h"
#include "ks_client.h"
#include "kvz/kernel_testing.h"
#include "simcam/test_pattern.h"
#include "usb/usb_limits.h"
#include "usbdlib.h"
#include "uvc.h"

namespace kvz::usbtest {

namespace {

constexpr ULONG kTagTestReader = 'ClIT';

// What the pins' process routines see and keep. Process runs on the class driver's queue.
struct PinSink {
  std::mutex lock;
  StreamReaderCore* reader = nullptr;
  std::vector<Frame> frames[2];  // capture, still
  bool hold[2] = {};              // keep the frames taken instead of giving them back
  std::vector<FrameBuffer*> held[2];
  PKSPIN pins[2] = {};
  KEVENT arrived;
};

PinSink& Sink() {
  static PinSink* sink = [] {
    auto* s = new PinSink();
    KeInitializeEvent(&s->arrived, SynchronizationEvent, FALSE);
    return s;
  }();
  return *sink;
}

ULONG StreamTypeOfPin(PKSPIN pin) { return pin->Id == 0 ? kStreamCapture : kStreamStill; }

NTSTATUS NTAPI PinProcess(PKSPIN pin) {
  const ULONG type = StreamTypeOfPin(pin);
  PinSink& s = Sink();
  std::lock_guard<std::mutex> guard(s.lock);
  if (!s.reader) return STATUS_PENDING;
  while (FrameBuffer* frame = s.reader->TakeReadyFrame(type)) {
    const ULONG length = UsableFrameLength(frame);
    s.frames[type == kStreamCapture ? 0 : 1].emplace_back(frame->data, frame->data + length);
    const int slot = type == kStreamCapture ? 0 : 1;
    if (s.hold[slot]) {
      s.held[slot].push_back(frame);
    } else {
      s.reader->ReturnFrameBuffer(frame, type);
    }
    KeSetEvent(&s.arrived, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_PENDING;
}

NTSTATUS NTAPI PinCreate(PKSPIN pin, PIRP) {
  std::lock_guard<std::mutex> guard(Sink().lock);
  Sink().pins[pin->Id == 0 ? 0 : 1] = pin;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinClose(PKSPIN pin, PIRP) {
  std::lock_guard<std::mutex> guard(Sink().lock);
  Sink().pins[pin->Id == 0 ? 0 : 1] = nullptr;
  return STATUS_SUCCESS;
}

const KSPIN_DISPATCH g_pinDispatch = {PinCreate, PinClose, PinProcess, nullptr, nullptr,
                                      nullptr, nullptr, nullptr,    nullptr, nullptr};

const KSDATARANGE g_range = {{sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_STREAM, KSDATAFORMAT_SUBTYPE_NONE,
                              KSDATAFORMAT_SPECIFIER_NONE}};
const PKSDATARANGE g_ranges[] = {const_cast<PKSDATARANGE>(&g_range)};

constexpr ULONG kPinFlags = KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING;

const KSPIN_DESCRIPTOR_EX g_pins[] = {
    {&g_pinDispatch,
     nullptr,
     {0, nullptr, 0, nullptr, 1, g_ranges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH, &PINNAME_VIDEO_CAPTURE,
      &PINNAME_VIDEO_CAPTURE, {0}},
     kPinFlags,
     1,
     0,
     nullptr,
     nullptr},
    {&g_pinDispatch,
     nullptr,
     {0, nullptr, 0, nullptr, 1, g_ranges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH, &PINNAME_VIDEO_STILL,
      &PINNAME_VIDEO_STILL, {0}},
     kPinFlags,
     1,
     0,
     nullptr,
     nullptr},
};

const GUID g_categories[] = {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE};

const KSFILTER_DESCRIPTOR g_filter = {nullptr,      nullptr, KSFILTER_DESCRIPTOR_VERSION, 0, &KSNAME_Filter,
                                      2,            sizeof(KSPIN_DESCRIPTOR_EX), g_pins, 2, g_categories,
                                      0,            0,       nullptr,  0,  nullptr,
                                      nullptr};

ksclient::Bytes StreamFormat() {
  KSDATAFORMAT f = g_range;
  ksclient::Bytes bytes(sizeof(f));
  std::memcpy(bytes.data(), &f, sizeof(f));
  return bytes;
}

template <class Reader>
void DestroyInPool(Reader*& reader) {
  if (!reader) return;
  reader->~Reader();
  ExFreePoolWithTag(reader, kTagTestReader);
  reader = nullptr;
}

}  // namespace

void StreamBench::SetUp() {
  UsbBench::SetUp();
  PinSink& s = Sink();
  std::lock_guard<std::mutex> guard(s.lock);
  s.reader = nullptr;
  s.frames[0].clear();
  s.frames[1].clear();
  KeClearEvent(&s.arrived);
}

void StreamBench::TearDown() {
  ClosePins();
  DestroyReader();
  UsbBench::TearDown();
}

void StreamBench::ClosePins() {
  for (auto* pin : {&capture_, &still_}) {
    if (*pin) {
      (*pin)->SetState(KSSTATE_STOP);
      (*pin)->Close();
      pin->reset();
    }
  }
  if (filter_) {
    filter_->Close();
    filter_.reset();
  }
}

void StreamBench::BootStreaming(simcam::CameraProfile profile, simcam::CameraOptions options) {
  onStart = [](TestCameraDevice& d) {
    NTSTATUS status = StartCamera(d);
    if (!NT_SUCCESS(status)) return status;
    return KsCreateFilterFactory(d.usb.KsDevice()->FunctionalDeviceObject, &g_filter, u"GLOBAL", nullptr,
                                 KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
  };
  onRelease = [this](TestCameraDevice& d) {
    DestroyReader();
    StopCamera(d);
  };
  ASSERT_EQ(STATUS_SUCCESS, Boot(std::move(profile), options));
  std::vector<std::u16string> links = ksclient::EnumerateInterfaces(KSCATEGORY_CAPTURE);
  ASSERT_EQ(1u, links.size());
  ASSERT_EQ(STATUS_SUCCESS, ksclient::KsFilterClient::OpenLink(links[0], &filter_));
  ASSERT_EQ(STATUS_SUCCESS, filter_->CreatePin(0, StreamFormat(), &capture_));
  ASSERT_EQ(STATUS_SUCCESS, filter_->CreatePin(1, StreamFormat(), &still_));
  for (auto* pin : {capture_.get(), still_.get()}) {
    ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_ACQUIRE));
    ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_PAUSE));
    ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_RUN));
  }
}

PKSPIN StreamBench::Pin(ULONG streamType) const {
  std::lock_guard<std::mutex> guard(Sink().lock);
  return Sink().pins[streamType == kStreamCapture ? 0 : 1];
}

UVC_VIDEO_PROBE_COMMIT StreamBench::Commit(uint8_t format, uint8_t frame, uint32_t interval) {
  UVC_VIDEO_PROBE_COMMIT p{};
  p.bFormatIndex = format;
  p.bFrameIndex = frame;
  p.dwFrameInterval = interval;
  UsbDevice* usb = Usb();
  EXPECT_EQ(STATUS_SUCCESS, usb->SetClassRequest(kRequestSetCur, VS_PROBE_CONTROL << 8, 1, &p, sizeof(p)));
  EXPECT_EQ(STATUS_SUCCESS, usb->GetClassRequest(kRequestGetCur, VS_PROBE_CONTROL << 8, 1, &p, sizeof(p)));
  EXPECT_EQ(STATUS_SUCCESS, usb->SetClassRequest(kRequestSetCur, VS_COMMIT_CONTROL << 8, 1, &p, sizeof(p)));
  return p;
}

NTSTATUS StreamBench::CommitStill(uint8_t format, uint8_t frame) {
  UVC_STILL_PROBE_COMMIT p{};
  p.bFormatIndex = format;
  p.bFrameIndex = frame;
  NTSTATUS status = Usb()->SetClassRequest(kRequestSetCur, VS_STILL_PROBE_CONTROL << 8, 1, &p, sizeof(p));
  if (NT_SUCCESS(status))
    status = Usb()->GetClassRequest(kRequestGetCur, VS_STILL_PROBE_CONTROL << 8, 1, &p, sizeof(p));
  if (NT_SUCCESS(status))
    status = Usb()->SetClassRequest(kRequestSetCur, VS_STILL_COMMIT_CONTROL << 8, 1, &p, sizeof(p));
  return status;
}

NTSTATUS StreamBench::TriggerStill() {
  UCHAR transmit = kStillTriggerTransmit;
  return Usb()->SetClassRequest(kRequestSetCur, kStillTriggerValue, kStillTriggerIndex, &transmit, 1);
}

NTSTATUS StreamBench::SelectAlternate(uint8_t alternate) {
  TestCameraDevice* d = Device();
  const size_t size = GET_SELECT_INTERFACE_REQUEST_SIZE(1);
  std::vector<uint8_t> block(std::max(size, sizeof(URB)), 0);
  auto* urb = reinterpret_cast<PURB>(block.data());
  UsbBuildSelectInterfaceRequest(urb, static_cast<USHORT>(size), d->configurationHandle,
                                 d->streamingInterface->InterfaceNumber, alternate);
  const NTSTATUS status = d->usb.SubmitUrbSync(urb);
  if (NT_SUCCESS(status)) {
    const USHORT length = urb->UrbSelectInterface.Interface.Length;
    std::memcpy(d->streamingInterface, &urb->UrbSelectInterface.Interface,
                std::min<size_t>(length, sizeof(USBD_INTERFACE_INFORMATION)));
    // As the camera device tells its transport.
    if (isoch_) isoch_->AlternateSettingSelected();
    if (bulk_) bulk_->AlternateSettingSelected();
  }
  return status;
}

IsochStreamReader* StreamBench::MakeIsoch(ULONG slots) {
  TestCameraDevice* d = Device();
  void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(IsochStreamReader), kTagTestReader);
  isoch_ = new (block)
      IsochStreamReader(d->streamingInterface, slots, 0, d->usb.GetLowerStackSize(), &d->usb, d->usb3);
  std::lock_guard<std::mutex> guard(Sink().lock);
  Sink().reader = isoch_;
  return isoch_;
}

BulkStreamReader* StreamBench::MakeBulk() {
  TestCameraDevice* d = Device();
  void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(BulkStreamReader), kTagTestReader);
  bulk_ = new (block) BulkStreamReader(d->streamingInterface, 0, d->usb.GetLowerStackSize(), &d->usb);
  std::lock_guard<std::mutex> guard(Sink().lock);
  Sink().reader = bulk_;
  return bulk_;
}

void StreamBench::HoldFrames(ULONG streamType, bool hold) {
  std::lock_guard<std::mutex> guard(Sink().lock);
  const int slot = streamType == kStreamCapture ? 0 : 1;
  Sink().hold[slot] = hold;
  if (hold) return;
  for (FrameBuffer* frame : Sink().held[slot]) Sink().reader->ReturnFrameBuffer(frame, streamType);
  Sink().held[slot].clear();
}

void StreamBench::ReleaseOneHeldFrame() {
  std::lock_guard<std::mutex> guard(Sink().lock);
  if (Sink().held[0].empty()) return;
  Sink().reader->ReturnFrameBuffer(Sink().held[0].back(), kStreamCapture);
  Sink().held[0].pop_back();
}

void StreamBench::DestroyReader() {
  HoldVideoFrames(false);
  HoldStillFrames(false);
  {
    std::lock_guard<std::mutex> guard(Sink().lock);
    Sink().reader = nullptr;
  }
  DestroyInPool(isoch_);
  DestroyInPool(bulk_);
}

bool StreamBench::WaitFrames(ULONG streamType, size_t count, int64_t timeout100ns) {
  const int64_t deadline = kvz::kernel::Now() + timeout100ns;
  PinSink& s = Sink();
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(s.lock);
      if (s.frames[streamType == kStreamCapture ? 0 : 1].size() >= count) return true;
    }
    const int64_t left = deadline - kvz::kernel::Now();
    if (left <= 0) return false;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -left;
    KeWaitForSingleObject(&s.arrived, Executive, KernelMode, FALSE, &timeout);
  }
}

std::vector<Frame> StreamBench::Frames(ULONG streamType) {
  std::lock_guard<std::mutex> guard(Sink().lock);
  return Sink().frames[streamType == kStreamCapture ? 0 : 1];
}

void StreamBench::Sleep(int64_t duration100ns) {
  LARGE_INTEGER interval;
  interval.QuadPart = -duration100ns;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

bool IsCameraYuy2Frame(const Frame& frame, uint16_t width, uint16_t height) {
  if (frame.size() != static_cast<size_t>(width) * height * 2) return false;
  const uint32_t number = simcam::FrameNumberOfYuy2(frame.data(), frame.size());
  return frame == simcam::MakeYuy2Frame(width, height, number);
}

namespace {
struct JpegError {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};
void OnJpegError(j_common_ptr info) { longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1); }
}  // namespace

bool DecodesAsJpeg(const Frame& frame, uint16_t width, uint16_t height) {
  jpeg_decompress_struct info;
  JpegError error;
  info.err = jpeg_std_error(&error.mgr);
  error.mgr.error_exit = OnJpegError;
  // Warnings (a damaged stream libjpeg patches up) count as failures too.
  error.mgr.emit_message = [](j_common_ptr info, int level) {
    if (level < 0) longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1);
  };
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, frame.data(), static_cast<unsigned long>(frame.size()));
  jpeg_read_header(&info, TRUE);
  jpeg_start_decompress(&info);
  std::vector<uint8_t> row(static_cast<size_t>(info.output_width) * info.output_components);
  while (info.output_scanline < info.output_height) {
    JSAMPROW rows[] = {row.data()};
    jpeg_read_scanlines(&info, rows, 1);
  }
  const bool size = info.output_width == width && info.output_height == height;
  jpeg_finish_decompress(&info);
  // One picture and nothing after it: a frame glued to the next one decodes as its first.
  const bool whole = info.src->bytes_in_buffer == 0;
  jpeg_destroy_decompress(&info);
  return size && whole;
}

}  // namespace kvz::usbtest
