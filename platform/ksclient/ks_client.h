// What an application calls on kernel-streaming objects: properties (plain, pin-, node-addressed,
// basic support, default values), events, filters with their pin factories and topology,
// pins with their state, data format, clock and read streams. Synchronous; every call blocks in
// kernel waits on the calling kernel thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ks_file.h"
#include "ksmedia.h"

namespace kvz::ksclient {

using Bytes = std::vector<uint8_t>;

// An event as an application creates one: a notification event object reached through a handle,
// which is what a client passes when it enables a kernel-streaming event.
class ClientEvent {
 public:
  ClientEvent();
  ~ClientEvent();
  ClientEvent(const ClientEvent&) = delete;
  ClientEvent& operator=(const ClientEvent&) = delete;

  HANDLE Handle() const { return handle_; }
  // A kernel wait; true when signalled within the timeout (-1: no limit).
  bool Wait(int64_t timeout100ns = -1);
  void Reset();

 private:
  PKEVENT event_ = nullptr;
  HANDLE handle_ = nullptr;
};

// Any KS object file: the property and event requests common to filters and pins.
class KsObject {
 public:
  explicit KsObject(std::unique_ptr<KsFile> file) : file_(std::move(file)) {}
  virtual ~KsObject() = default;

  KsFile& File() { return *file_; }
  NTSTATUS Close() { return file_->Close(); }

  // `request` is the whole property request (KSPROPERTY, KSP_PIN, KSP_NODE or a larger structure).
  NTSTATUS Property(const void* request, ULONG requestSize, void* data, ULONG dataSize, ULONG_PTR* returned = nullptr);
  NTSTATUS Get(const GUID& set, ULONG id, void* data, ULONG size, ULONG_PTR* returned = nullptr);
  NTSTATUS Set(const GUID& set, ULONG id, const void* data, ULONG size);
  NTSTATUS GetNode(ULONG node, const GUID& set, ULONG id, void* data, ULONG size, ULONG_PTR* returned = nullptr);
  NTSTATUS SetNode(ULONG node, const GUID& set, ULONG id, const void* data, ULONG size);
  // A variable-sized answer: size query first, then the data.
  NTSTATUS GetVariable(const void* request, ULONG requestSize, Bytes* data);
  // KSPROPERTY_DESCRIPTION followed by members headers and values (size query, then the data).
  NTSTATUS BasicSupport(const GUID& set, ULONG id, Bytes* description, const ULONG* node = nullptr);
  NTSTATUS DefaultValues(const GUID& set, ULONG id, Bytes* description, const ULONG* node = nullptr);

  // Enables an event that sets `event` (through its handle) when it fires. `data` must stay
  // valid until the event is disabled: it identifies the event.
  NTSTATUS EnableEvent(const GUID& set, ULONG id, ClientEvent& event, KSEVENTDATA* data, const ULONG* node = nullptr,
                       bool oneShot = false);
  NTSTATUS DisableEvent(KSEVENTDATA* data);

 protected:
  std::unique_ptr<KsFile> file_;

 private:
  NTSTATUS Support(ULONG flags, const GUID& set, ULONG id, Bytes* description, const ULONG* node);
};

// One client buffer of a read stream: the header with KS_FRAME_INFO and the data it describes.
class StreamRead {
 public:
  struct Header {
    KSSTREAM_HEADER header;
    KS_FRAME_INFO frameInfo;
  };
  StreamRead(ULONG bufferSize, LONG surfacePitch);
  Header& Headers() { return headers_; }
  Bytes& Data() { return data_; }
  std::unique_ptr<PendingRequest>& Request() { return request_; }

 private:
  Header headers_;
  Bytes data_;
  std::unique_ptr<PendingRequest> request_;
};

struct CompletedFrame {
  NTSTATUS status;
  KSSTREAM_HEADER header;
  KS_FRAME_INFO frameInfo;
  Bytes data;  // DataUsed bytes
};

class KsPinClient : public KsObject {
 public:
  using KsObject::KsObject;

  NTSTATUS SetState(KSSTATE state);
  NTSTATUS GetState(KSSTATE* state);
  NTSTATUS GetDataFormat(Bytes* format);
  NTSTATUS SetDataFormat(const Bytes& format);
  NTSTATUS GetAllocatorFraming(Bytes* framing);
  // The stand-in's one clock becomes (or stops being) the pin's master clock.
  NTSTATUS SetMasterClock(bool present);

  // Sends one read request now; wait on it with Request()->Wait().
  std::unique_ptr<StreamRead> QueueRead(ULONG bufferSize, LONG surfacePitch = 0);
  // Keeps `depth` buffers queued until `count` have completed (or one fails or times out);
  // the completed frames in order.
  NTSTATUS ReadFrames(size_t count, ULONG bufferSize, size_t depth, std::vector<CompletedFrame>* frames,
                      int64_t timeout100ns = 50000000, LONG surfacePitch = 0);
};

class KsFilterClient : public KsObject {
 public:
  using KsObject::KsObject;

  // Opens a filter (or any object named by a reference string) on a device's stack.
  static NTSTATUS Open(PDEVICE_OBJECT device, const std::u16string& referenceString,
                       std::unique_ptr<KsFilterClient>* filter);
  // Opens a filter through one of its device interfaces (a link from EnumerateInterfaces).
  static NTSTATUS OpenLink(const std::u16string& link, std::unique_ptr<KsFilterClient>* filter);

  NTSTATUS PinCount(ULONG* count);
  NTSTATUS PinDataFlow(ULONG pin, KSPIN_DATAFLOW* flow);
  NTSTATUS PinCommunication(ULONG pin, KSPIN_COMMUNICATION* communication);
  NTSTATUS PinCategory(ULONG pin, GUID* category);
  NTSTATUS PinName(ULONG pin, std::u16string* name);
  NTSTATUS PinInstances(ULONG pin, KSPIN_CINSTANCES* instances);
  NTSTATUS PinNecessaryInstances(ULONG pin, ULONG* count);
  // Each data range as its own byte block.
  NTSTATUS PinDataRanges(ULONG pin, std::vector<Bytes>* ranges);
  // Size query, then the format the pin proposes for one of the caller's ranges.
  NTSTATUS Intersect(ULONG pin, const std::vector<Bytes>& callerRanges, Bytes* format);

  NTSTATUS Categories(std::vector<GUID>* categories);
  NTSTATUS Nodes(std::vector<GUID>* types);
  NTSTATUS Connections(std::vector<KSTOPOLOGY_CONNECTION>* connections);
  NTSTATUS NodeName(ULONG node, std::u16string* name);

  NTSTATUS CreatePin(ULONG pin, const Bytes& format, std::unique_ptr<KsPinClient>* created);

 private:
  NTSTATUS PinProperty(ULONG pin, ULONG id, void* data, ULONG size);
  NTSTATUS GetText(const void* request, ULONG requestSize, std::u16string* text);
  // A KSMULTIPLE_ITEM answer of the topology set, unpacked into its items.
  template <class T>
  NTSTATUS Multiple(ULONG id, std::vector<T>* items);
};

// The enabled device interfaces of a class, as symbolic links.
std::vector<std::u16string> EnumerateInterfaces(const GUID& interfaceClass);

}  // namespace kvz::ksclient
