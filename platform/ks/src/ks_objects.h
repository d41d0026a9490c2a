// The class driver's own records behind the public KSDEVICE, KSFILTERFACTORY, KSFILTER and KSPIN.
// Every public structure sits in a shell whose 16-byte header says what it is, so that any
// public pointer (or a file object's FsContext) leads back to its record.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ks.h"
#include "object_bag.h"


namespace kvz::ks {

enum class ObjectKind : uint32_t { Device = 1, FilterFactory, Filter, Pin };

struct alignas(16) ShellHeader {
  uint32_t magic;
  ObjectKind kind;
  void* record;
};
static_assert(sizeof(ShellHeader) == 16, "shell header size");
constexpr uint32_t kShellMagic = 0x4B53484C;  // "KSHL"

template <class Public>
struct Shell {
  ShellHeader header;
  Public pub;
};

// The record of any public object pointer, or null when the pointer is not a live KS object.
ShellHeader* HeaderOf(const void* publicObject);
ShellHeader* HeaderFromContext(const void* fsContext);  // FsContext points at the header
void RegisterShell(ShellHeader* header);
void UnregisterShell(ShellHeader* header);

struct Device;
struct FilterFactory;
struct Filter;
struct Pin;

struct Device {
  Shell<KSDEVICE> shell{};
  ObjectBag bag;
  KMUTEX mutex;      // KsAcquireDevice
  KMUTEX listLock;   // the factory and filter lists (a kernel mutex: holders may wait in the kernel)
  PDRIVER_OBJECT driver = nullptr;
  std::vector<FilterFactory*> factories;
  std::vector<Filter*> filters;  // every open filter, also those of factories already gone
  LONG openFiles = 0;            // filter and pin files not yet closed
  bool removed = false;          // surprise-removed or removed: requests fail
  bool deleted = false;          // REMOVE_DEVICE ran
  KSDEVICE* Public() { return &shell.pub; }
};

struct FilterFactory {
  Shell<KSFILTERFACTORY> shell{};
  ObjectBag bag;
  Device* device = nullptr;
  std::u16string referenceString;
  ULONG createItemFlags = 0;
  std::vector<UNICODE_STRING> interfaceLinks;
  std::vector<Filter*> filters;
};

struct EventEntryRecord;

struct PinFactory {
  const KSPIN_DESCRIPTOR_EX* descriptor = nullptr;
  std::vector<Pin*> pins;
};

struct Filter {
  Shell<KSFILTER> shell{};
  ObjectBag bag;
  Device* device = nullptr;
  FilterFactory* factory = nullptr;  // null once the factory went away at stop
  PFILE_OBJECT file = nullptr;
  KMUTEX control;
  std::vector<PinFactory> pinFactories;
  const KSFILTER_DESCRIPTOR* editedDescriptor = nullptr;  // the copy KsFilterCreatePinFactory made
  KSFILTER* Public() { return &shell.pub; }
};

// The master clock's time and state as a pin's reference clock shows them.
class StreamClock {
 public:
  LONGLONG Time(LONGLONG now) const;
  KSSTATE State() const;
  void SetState(KSSTATE to, LONGLONG now);

 private:
  mutable std::mutex lock_;
  KSSTATE state_ = KSSTATE_STOP;
  LONGLONG accumulated_ = 0;  // stream time up to the last change
  LONGLONG runSince_ = 0;     // kernel time RUN began
};

// One client buffer on a pin's queue.
struct Frame {
  PIRP irp;
  PKSSTREAM_HEADER header;
  KSSTREAM_POINTER pointer;
  BOOLEAN locked;
  BOOLEAN cancelled;       // cancelled while the minidriver held it locked: the unlock completes it
  BOOLEAN awaitingCancel;  // its cancel routine was already called: that routine completes it
};

struct Pin {
  Shell<KSPIN> shell{};
  ObjectBag bag;
  Filter* filter = nullptr;
  ULONG factoryId = 0;
  PFILE_OBJECT file = nullptr;
  KMUTEX processingMutex;
  KSPIN_LOCK lock;                // queue and processing flags; taken up to DISPATCH_LEVEL
  std::deque<Frame*> queue;
  bool processingQueued = false;
  bool processingRunning = false;
  bool processingRetrigger = false;
  bool closing = false;
  bool inProcess = false;         // a Process call is running
  bool stateChangePending = false;  // a new state waits for the running call to return
  KEVENT processingIdle;          // signalled while nothing is queued or running
  KEVENT processReturned;         // signalled while no Process call runs
  bool hasClock = false;
  std::shared_ptr<StreamClock> clock = std::make_shared<StreamClock>();
  KSPIN* Public() { return &shell.pub; }
  ULONG Flags() const { return shell.pub.Descriptor->Flags; }
};

template <class Record, class Public>
Record* RecordOf(Public* pub, ObjectKind kind) {
  ShellHeader* h = HeaderOf(pub);
  if (!h || h->kind != kind) return nullptr;
  return static_cast<Record*>(h->record);
}
inline Device* DeviceOf(const KSDEVICE* d) { return RecordOf<Device>(d, ObjectKind::Device); }
inline Filter* FilterOf(const KSFILTER* f) { return RecordOf<Filter>(f, ObjectKind::Filter); }
inline Pin* PinOf(const KSPIN* p) { return RecordOf<Pin>(p, ObjectKind::Pin); }
Device* DeviceOfDeviceObject(PDEVICE_OBJECT fdo);

// What a minidriver hands the class driver must be a live object of the kind the routine takes;
// anything else stops with a bugcheck naming the routine (the real class driver would touch
// freed or foreign memory).
ShellHeader* LiveObject(const void* object, const char* routine);
Device* LiveDevice(const KSDEVICE* device, const char* routine);
Filter* LiveFilter(const KSFILTER* filter, const char* routine);
Pin* LivePin(const KSPIN* pin, const char* routine);
[[noreturn]] void KsBugCheck(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Whether the calling thread owns the mutex (acquired and not yet released).
bool OwnsMutex(KMUTEX* mutex);

// The class driver's own non-paged allocations: no-execute pool where the system has it.
inline POOL_TYPE KsPoolType() { return RtlIsNtDdiVersionAvailable(NTDDI_WIN8) ? NonPagedPoolNx : NonPagedPool; }
constexpr const char* kDeviceMutexName = "device mutex (KsAcquireDevice)";
constexpr const char* kControlMutexName = "filter control mutex (KsFilterAcquireControl)";

// ---- Internal entry points between the class driver's parts ----
NTSTATUS DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
void FileClosed(Device* device);
void DeviceRemoved(Device* device);  // after REMOVE_DEVICE: closes what is left and deletes the device

NTSTATUS CreateFilter(Device* device, FilterFactory* factory, PIRP irp);
NTSTATUS CloseFilter(Filter* filter, PIRP irp);
void DestroyFactory(FilterFactory* factory);
NTSTATUS CreatePin(Filter* filter, PIRP irp, const uint8_t* connectData, size_t connectSize);
NTSTATUS ClosePin(Pin* pin, PIRP irp);
NTSTATUS ChangePinState(Pin* pin, KSSTATE target);
NTSTATUS ChangePinFormat(Pin* pin, const KSDATAFORMAT* format, ULONG size);
NTSTATUS ResetPin(Pin* pin, PIRP irp);  // IOCTL_KS_RESET_STATE with a KSRESET
const KSDATARANGE* MatchDataRange(const KSPIN_DESCRIPTOR_EX* descriptor, const KSDATAFORMAT* format,
                                  const KSDATARANGE* after);
bool GuidMatches(const GUID& range, const GUID& format);

NTSTATUS QueueReadStream(Pin* pin, PIRP irp);
void DiscardFrame(Frame* frame);  // a frame whose request is gone without completion
void FlushQueue(Pin* pin, NTSTATUS status);
// Queues a Process call on the work queue, or (inCaller) runs it in the calling thread when none
// is queued or running.
void TriggerProcessing(Pin* pin, bool inCaller = false);
void WaitProcessingIdle(Pin* pin);
// Records the pin's new state once no Process call is running, so that a call never sees its
// pin leave the state it was started in.
void SetDeviceStateOf(Pin* pin, KSSTATE state);

// Automation: property, event and device-control requests on a filter or pin file.
NTSTATUS HandleProperty(PIRP irp, Filter* filter, Pin* pin);
NTSTATUS HandleEnableEvent(PIRP irp, Filter* filter, Pin* pin);
NTSTATUS HandleDisableEvent(PIRP irp, Filter* filter, Pin* pin);
void FreeEventsOfFile(PFILE_OBJECT file);
void FreeEventsOfObject(void* object);

// The class driver's own sets (pin and topology on filters; connection and stream on pins).
const KSPROPERTY_SET* FilterStandardSets(ULONG* count);
const KSPROPERTY_SET* PinStandardSets(ULONG* count);

// The request context of a property handler: the object the request was sent to.
Filter* FilterOfIrp(PIRP irp);
Pin* PinOfIrp(PIRP irp);

// A copy of a UTF-16 text as a pool-allocated UNICODE_STRING-free buffer helper.
std::u16string ToU16(const UNICODE_STRING& s);
bool EqualNoCase(const std::u16string& a, const std::u16string& b);

// Counted in the unload check: class-driver objects still alive.
void CountLive(ObjectKind kind, int delta);

// A new record becomes reachable from its public pointer and counted live, until RetireShell.
template <class Record>
void AdoptShell(Record* record, ObjectKind kind) {
  record->shell.header.kind = kind;
  record->shell.header.record = record;
  RegisterShell(&record->shell.header);
  CountLive(kind, 1);
}

template <class Record>
void RetireShell(Record* record) {
  UnregisterShell(&record->shell.header);
  CountLive(record->shell.header.kind, -1);
}

}  // namespace kvz::ks
