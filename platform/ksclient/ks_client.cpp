#include "ks_client.h"

#include <cstring>
#include <deque>

#include "kvz/io_testing.h"
#include "kvz/object_manager.h"

namespace kvz::ksclient {
namespace {

ULONG Align8(ULONG n) { return (n + 7u) & ~7u; }

KSPROPERTY MakeProperty(const GUID& set, ULONG id, ULONG flags) {
  KSPROPERTY p{};
  p.Set = set;
  p.Id = id;
  p.Flags = flags;
  return p;
}

KSP_NODE MakeNode(ULONG node, const GUID& set, ULONG id, ULONG flags) {
  KSP_NODE p{};
  p.Property = MakeProperty(set, id, flags | KSPROPERTY_TYPE_TOPOLOGY);
  p.NodeId = node;
  return p;
}

std::u16string TextOf(const Bytes& bytes) {
  std::u16string s(bytes.size() / sizeof(char16_t), u'\0');
  if (!s.empty()) memcpy(&s[0], bytes.data(), s.size() * sizeof(char16_t));
  while (!s.empty() && s.back() == u'\0') s.pop_back();
  return s;
}

}  // namespace

// ---- KsObject ----
NTSTATUS KsObject::Property(const void* request, ULONG requestSize, void* data, ULONG dataSize, ULONG_PTR* returned) {
  return file_->Control(IOCTL_KS_PROPERTY, request, requestSize, data, dataSize, returned);
}

NTSTATUS KsObject::Get(const GUID& set, ULONG id, void* data, ULONG size, ULONG_PTR* returned) {
  KSPROPERTY p = MakeProperty(set, id, KSPROPERTY_TYPE_GET);
  return Property(&p, sizeof(p), data, size, returned);
}

NTSTATUS KsObject::Set(const GUID& set, ULONG id, const void* data, ULONG size) {
  KSPROPERTY p = MakeProperty(set, id, KSPROPERTY_TYPE_SET);
  return Property(&p, sizeof(p), const_cast<void*>(data), size);
}

NTSTATUS KsObject::GetNode(ULONG node, const GUID& set, ULONG id, void* data, ULONG size, ULONG_PTR* returned) {
  KSP_NODE p = MakeNode(node, set, id, KSPROPERTY_TYPE_GET);
  return Property(&p, sizeof(p), data, size, returned);
}

NTSTATUS KsObject::SetNode(ULONG node, const GUID& set, ULONG id, const void* data, ULONG size) {
  KSP_NODE p = MakeNode(node, set, id, KSPROPERTY_TYPE_SET);
  return Property(&p, sizeof(p), const_cast<void*>(data), size);
}

NTSTATUS KsObject::GetVariable(const void* request, ULONG requestSize, Bytes* data) {
  ULONG_PTR size = 0;
  NTSTATUS status = Property(request, requestSize, nullptr, 0, &size);
  if (status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) {
    if (NT_SUCCESS(status)) data->clear();
    return status;
  }
  data->assign(size, 0);
  ULONG_PTR got = 0;
  status = Property(request, requestSize, data->data(), static_cast<ULONG>(size), &got);
  if (NT_SUCCESS(status)) data->resize(got);
  return status;
}

NTSTATUS KsObject::Support(ULONG flags, const GUID& set, ULONG id, Bytes* description, const ULONG* node) {
  if (node) {
    KSP_NODE p = MakeNode(*node, set, id, flags);
    return GetVariable(&p, sizeof(p), description);
  }
  KSPROPERTY p = MakeProperty(set, id, flags);
  return GetVariable(&p, sizeof(p), description);
}

NTSTATUS KsObject::BasicSupport(const GUID& set, ULONG id, Bytes* description, const ULONG* node) {
  return Support(KSPROPERTY_TYPE_BASICSUPPORT, set, id, description, node);
}

NTSTATUS KsObject::DefaultValues(const GUID& set, ULONG id, Bytes* description, const ULONG* node) {
  return Support(KSPROPERTY_TYPE_DEFAULTVALUES, set, id, description, node);
}

ClientEvent::ClientEvent() {
  event_ = static_cast<PKEVENT>(kvz::kernel::CreateObject(*ExEventObjectType, sizeof(KEVENT)));
  KeInitializeEvent(event_, NotificationEvent, FALSE);
  handle_ = kvz::kernel::CreateHandle(event_);
}

ClientEvent::~ClientEvent() {
  ZwClose(handle_);
  ObDereferenceObject(event_);
}

bool ClientEvent::Wait(int64_t timeout100ns) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -timeout100ns;
  return KeWaitForSingleObject(event_, Executive, KernelMode, FALSE, timeout100ns < 0 ? nullptr : &timeout) ==
         STATUS_SUCCESS;
}

void ClientEvent::Reset() { KeClearEvent(event_); }

NTSTATUS KsObject::EnableEvent(const GUID& set, ULONG id, ClientEvent& event, KSEVENTDATA* data, const ULONG* node,
                               bool oneShot) {
  memset(data, 0, sizeof(*data));
  data->NotificationType = KSEVENTF_EVENT_HANDLE;
  data->EventHandle.Event = event.Handle();
  ULONG flags = oneShot ? KSEVENT_TYPE_ONESHOT : KSEVENT_TYPE_ENABLE;
  if (node) {
    KSE_NODE e{};
    e.Event.Set = set;
    e.Event.Id = id;
    e.Event.Flags = flags | KSEVENT_TYPE_TOPOLOGY;
    e.NodeId = *node;
    return file_->Control(IOCTL_KS_ENABLE_EVENT, &e, sizeof(e), data, sizeof(*data));
  }
  KSEVENT e{};
  e.Set = set;
  e.Id = id;
  e.Flags = flags;
  return file_->Control(IOCTL_KS_ENABLE_EVENT, &e, sizeof(e), data, sizeof(*data));
}

NTSTATUS KsObject::DisableEvent(KSEVENTDATA* data) {
  return file_->Control(IOCTL_KS_DISABLE_EVENT, data, sizeof(*data), nullptr, 0);
}

// ---- Streams ----
StreamRead::StreamRead(ULONG bufferSize, LONG surfacePitch) : data_(bufferSize, 0) {
  memset(&headers_, 0, sizeof(headers_));
  headers_.header.Size = sizeof(Header);
  headers_.header.FrameExtent = bufferSize;
  headers_.header.Data = data_.data();
  headers_.frameInfo.ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
  headers_.frameInfo.lSurfacePitch = surfacePitch;
}

std::unique_ptr<StreamRead> KsPinClient::QueueRead(ULONG bufferSize, LONG surfacePitch) {
  auto read = std::make_unique<StreamRead>(bufferSize, surfacePitch);
  read->Request() =
      file_->ControlAsync(IOCTL_KS_READ_STREAM, nullptr, 0, &read->Headers(), sizeof(StreamRead::Header));
  return read;
}

NTSTATUS KsPinClient::ReadFrames(size_t count, ULONG bufferSize, size_t depth, std::vector<CompletedFrame>* frames,
                                 int64_t timeout100ns, LONG surfacePitch) {
  std::deque<std::unique_ptr<StreamRead>> queued;
  size_t sent = 0;
  NTSTATUS result = STATUS_SUCCESS;
  while (frames->size() < count) {
    while (queued.size() < depth && sent < count) {
      queued.push_back(QueueRead(bufferSize, surfacePitch));
      ++sent;
    }
    if (queued.empty()) break;
    std::unique_ptr<StreamRead> read = std::move(queued.front());
    queued.pop_front();
    NTSTATUS status = read->Request()->Wait(timeout100ns);
    if (status == STATUS_TIMEOUT) {
      result = STATUS_TIMEOUT;
      break;
    }
    CompletedFrame frame;
    frame.status = status;
    frame.header = read->Headers().header;
    frame.frameInfo = read->Headers().frameInfo;
    ULONG used = frame.header.DataUsed < bufferSize ? frame.header.DataUsed : bufferSize;
    frame.data.assign(read->Data().begin(), read->Data().begin() + used);
    frames->push_back(std::move(frame));
    if (!NT_SUCCESS(status)) {
      result = status;
      break;
    }
  }
  // Whatever is still queued is cancelled and waited for as the reads go away.
  queued.clear();
  return result;
}

NTSTATUS KsPinClient::SetState(KSSTATE state) { return Set(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &state, sizeof(state)); }

NTSTATUS KsPinClient::GetState(KSSTATE* state) {
  return Get(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, state, sizeof(*state));
}

NTSTATUS KsPinClient::GetDataFormat(Bytes* format) {
  KSPROPERTY p = MakeProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, KSPROPERTY_TYPE_GET);
  return GetVariable(&p, sizeof(p), format);
}

NTSTATUS KsPinClient::SetDataFormat(const Bytes& format) {
  return Set(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, format.data(), static_cast<ULONG>(format.size()));
}

NTSTATUS KsPinClient::GetAllocatorFraming(Bytes* framing) {
  KSPROPERTY p = MakeProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX, KSPROPERTY_TYPE_GET);
  return GetVariable(&p, sizeof(p), framing);
}

NTSTATUS KsPinClient::SetMasterClock(bool present) {
  HANDLE clock = present ? reinterpret_cast<HANDLE>(1) : nullptr;
  return Set(KSPROPSETID_Stream, KSPROPERTY_STREAM_MASTERCLOCK, &clock, sizeof(clock));
}

// ---- Filters ----
std::vector<std::u16string> EnumerateInterfaces(const GUID& interfaceClass) {
  return kvz::kernel::EnabledDeviceInterfaces(interfaceClass);
}

NTSTATUS KsFilterClient::OpenLink(const std::u16string& link, std::unique_ptr<KsFilterClient>* filter) {
  std::unique_ptr<KsFile> file;
  NTSTATUS status = KsFile::OpenLink(link, &file);
  if (NT_SUCCESS(status)) *filter = std::make_unique<KsFilterClient>(std::move(file));
  return status;
}

NTSTATUS KsFilterClient::Open(PDEVICE_OBJECT device, const std::u16string& referenceString,
                              std::unique_ptr<KsFilterClient>* filter) {
  std::unique_ptr<KsFile> file;
  NTSTATUS status = KsFile::Open(device, u"\\" + referenceString, &file);
  if (NT_SUCCESS(status)) *filter = std::make_unique<KsFilterClient>(std::move(file));
  return status;
}

NTSTATUS KsFilterClient::PinProperty(ULONG pin, ULONG id, void* data, ULONG size) {
  KSP_PIN p{};
  p.Property = MakeProperty(KSPROPSETID_Pin, id, KSPROPERTY_TYPE_GET);
  p.PinId = pin;
  return Property(&p, sizeof(p), data, size);
}

NTSTATUS KsFilterClient::PinCount(ULONG* count) {
  return Get(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, count, sizeof(*count));
}
NTSTATUS KsFilterClient::PinDataFlow(ULONG pin, KSPIN_DATAFLOW* flow) {
  return PinProperty(pin, KSPROPERTY_PIN_DATAFLOW, flow, sizeof(*flow));
}
NTSTATUS KsFilterClient::PinCommunication(ULONG pin, KSPIN_COMMUNICATION* communication) {
  return PinProperty(pin, KSPROPERTY_PIN_COMMUNICATION, communication, sizeof(*communication));
}
NTSTATUS KsFilterClient::PinCategory(ULONG pin, GUID* category) {
  return PinProperty(pin, KSPROPERTY_PIN_CATEGORY, category, sizeof(*category));
}
NTSTATUS KsFilterClient::PinInstances(ULONG pin, KSPIN_CINSTANCES* instances) {
  return PinProperty(pin, KSPROPERTY_PIN_CINSTANCES, instances, sizeof(*instances));
}
NTSTATUS KsFilterClient::PinNecessaryInstances(ULONG pin, ULONG* count) {
  return PinProperty(pin, KSPROPERTY_PIN_NECESSARYINSTANCES, count, sizeof(*count));
}

NTSTATUS KsFilterClient::GetText(const void* request, ULONG requestSize, std::u16string* text) {
  Bytes bytes;
  NTSTATUS status = GetVariable(request, requestSize, &bytes);
  if (NT_SUCCESS(status)) *text = TextOf(bytes);
  return status;
}

NTSTATUS KsFilterClient::PinName(ULONG pin, std::u16string* name) {
  KSP_PIN p{};
  p.Property = MakeProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_NAME, KSPROPERTY_TYPE_GET);
  p.PinId = pin;
  return GetText(&p, sizeof(p), name);
}

NTSTATUS KsFilterClient::PinDataRanges(ULONG pin, std::vector<Bytes>* ranges) {
  KSP_PIN p{};
  p.Property = MakeProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET);
  p.PinId = pin;
  Bytes bytes;
  NTSTATUS status = GetVariable(&p, sizeof(p), &bytes);
  if (!NT_SUCCESS(status)) return status;
  ranges->clear();
  if (bytes.size() < sizeof(KSMULTIPLE_ITEM)) return STATUS_INVALID_PARAMETER;
  KSMULTIPLE_ITEM item;
  memcpy(&item, bytes.data(), sizeof(item));
  size_t offset = sizeof(item);
  for (ULONG i = 0; i < item.Count && offset + sizeof(KSDATARANGE) <= bytes.size(); ++i) {
    KSDATARANGE header;
    memcpy(&header, bytes.data() + offset, sizeof(header));
    if (offset + header.FormatSize > bytes.size()) return STATUS_INVALID_PARAMETER;
    ranges->emplace_back(bytes.begin() + offset, bytes.begin() + offset + header.FormatSize);
    offset += Align8(header.FormatSize);
  }
  return STATUS_SUCCESS;
}

NTSTATUS KsFilterClient::Intersect(ULONG pin, const std::vector<Bytes>& callerRanges, Bytes* format) {
  KSP_PIN p{};
  p.Property = MakeProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET);
  p.PinId = pin;
  Bytes request(sizeof(p) + sizeof(KSMULTIPLE_ITEM), 0);
  for (const Bytes& r : callerRanges) {
    size_t at = request.size();
    request.resize(at + Align8(static_cast<ULONG>(r.size())), 0);
    memcpy(request.data() + at, r.data(), r.size());
  }
  KSMULTIPLE_ITEM item{static_cast<ULONG>(request.size() - sizeof(p)), static_cast<ULONG>(callerRanges.size())};
  memcpy(request.data(), &p, sizeof(p));
  memcpy(request.data() + sizeof(p), &item, sizeof(item));
  return GetVariable(request.data(), static_cast<ULONG>(request.size()), format);
}

template <class T>
NTSTATUS KsFilterClient::Multiple(ULONG id, std::vector<T>* items) {
  KSPROPERTY p = MakeProperty(KSPROPSETID_Topology, id, KSPROPERTY_TYPE_GET);
  Bytes answer;
  NTSTATUS status = GetVariable(&p, sizeof(p), &answer);
  if (!NT_SUCCESS(status)) return status;
  if (answer.size() < sizeof(KSMULTIPLE_ITEM)) return STATUS_INVALID_PARAMETER;
  KSMULTIPLE_ITEM item;
  memcpy(&item, answer.data(), sizeof(item));
  items->resize(item.Count);
  if (item.Count) memcpy(items->data(), answer.data() + sizeof(item), item.Count * sizeof(T));
  return status;
}

NTSTATUS KsFilterClient::Categories(std::vector<GUID>* categories) {
  return Multiple(KSPROPERTY_TOPOLOGY_CATEGORIES, categories);
}

NTSTATUS KsFilterClient::Nodes(std::vector<GUID>* types) { return Multiple(KSPROPERTY_TOPOLOGY_NODES, types); }

NTSTATUS KsFilterClient::Connections(std::vector<KSTOPOLOGY_CONNECTION>* connections) {
  return Multiple(KSPROPERTY_TOPOLOGY_CONNECTIONS, connections);
}

NTSTATUS KsFilterClient::NodeName(ULONG node, std::u16string* name) {
  KSP_NODE p{};
  p.Property = MakeProperty(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NAME, KSPROPERTY_TYPE_GET);
  p.NodeId = node;
  return GetText(&p, sizeof(p), name);
}

NTSTATUS KsFilterClient::CreatePin(ULONG pin, const Bytes& format, std::unique_ptr<KsPinClient>* created) {
  KSPIN_CONNECT connect{};
  connect.Interface.Set = KSINTERFACESETID_Standard;
  connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
  connect.Medium.Set = KSMEDIUMSETID_Standard;
  connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
  connect.PinId = pin;
  connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
  connect.Priority.PrioritySubClass = 1;
  std::u16string type = std::u16string(KSSTRING_Pin) + u"\\";
  Bytes name(type.size() * sizeof(char16_t));
  memcpy(name.data(), type.data(), name.size());
  size_t at = name.size();
  name.resize(at + sizeof(connect) + format.size());
  memcpy(name.data() + at, &connect, sizeof(connect));
  memcpy(name.data() + at + sizeof(connect), format.data(), format.size());
  std::unique_ptr<KsFile> file;
  NTSTATUS status = KsFile::OpenRelative(*file_, name, &file);
  if (NT_SUCCESS(status)) *created = std::make_unique<KsPinClient>(std::move(file));
  return status;
}

}  // namespace kvz::ksclient
