#include "test_minidriver.h"

#include <cstring>

namespace kvz::kstest {
namespace {

// ---- Data ranges -------------------------------------------------------------------------------
KS_DATARANGE_VIDEO MakeRange(ULONG width, ULONG height) {
  KS_DATARANGE_VIDEO r{};
  r.DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
  r.DataRange.SampleSize = width * height * 2;
  r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
  r.DataRange.SubFormat = MEDIASUBTYPE_YUY2;
  r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  r.bFixedSizeSamples = 1;
  r.ConfigCaps.guid = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  r.ConfigCaps.InputSize = {static_cast<LONG>(width), static_cast<LONG>(height)};
  r.ConfigCaps.MinFrameInterval = kFrameInterval;
  r.ConfigCaps.MaxFrameInterval = kFrameInterval;
  r.VideoInfoHeader.AvgTimePerFrame = kFrameInterval;
  r.VideoInfoHeader.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  r.VideoInfoHeader.bmiHeader.biWidth = static_cast<LONG>(width);
  r.VideoInfoHeader.bmiHeader.biHeight = static_cast<LONG>(height);
  r.VideoInfoHeader.bmiHeader.biPlanes = 1;
  r.VideoInfoHeader.bmiHeader.biBitCount = 16;
  r.VideoInfoHeader.bmiHeader.biCompression = 0x32595559;
  r.VideoInfoHeader.bmiHeader.biSizeImage = width * height * 2;
  return r;
}

KS_DATARANGE_VIDEO g_rangeLarge = MakeRange(kWidth, kHeight);
KS_DATARANGE_VIDEO g_rangeSmall = MakeRange(kWidth / 2, kHeight / 2);
const PKSDATARANGE g_ranges[] = {&g_rangeLarge.DataRange, &g_rangeSmall.DataRange};

const KSALLOCATOR_FRAMING_EX g_framing = {
    1, 0, {1, 1, 0}, 0,
    {{KSMEMORY_TYPE_KERNEL_NONPAGED, GUID_NULL, 0, 0,
      KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY, 4, {0}, 0,
      {0, 0xFFFFFFFF, 1}, {{kFrameBytes, kFrameBytes, 1}, 0, 0}}}};

// ---- Pin ------------------------------------------------------------------------------------------
struct PinContext {
  KTIMER timer;
  KDPC dpc;
  PKSPIN pin;
  bool timerRunning;
  LONGLONG nextFrame;
};

VOID NTAPI OfferFrame(PKDPC, PVOID context, PVOID, PVOID) {
  auto* c = static_cast<PinContext*>(context);
  Log().framesReady++;
  KsPinAttemptProcessing(c->pin, TRUE);  // at DISPATCH_LEVEL, as a transport's completion would
}

void StopTimer(PinContext* c) {
  if (!c->timerRunning) return;
  KeCancelTimer(&c->timer);
  KeFlushQueuedDpcs();
  c->timerRunning = false;
}

VOID NTAPI FreePinContext(PVOID item) {
  StopTimer(static_cast<PinContext*>(item));
  ExFreePool(item);
}

NTSTATUS NTAPI PinCreate(PKSPIN pin, PIRP) {
  Log().Record("PinCreate");
  auto* c = static_cast<PinContext*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PinContext), 'ctPT'));
  if (!c) return STATUS_INSUFFICIENT_RESOURCES;
  memset(c, 0, sizeof(*c));
  c->pin = pin;
  KeInitializeTimerEx(&c->timer, NotificationTimer);
  KeInitializeDpc(&c->dpc, OfferFrame, c);
  NTSTATUS status = KsAddItemToObjectBag(pin->Bag, c, FreePinContext);
  if (!NT_SUCCESS(status)) {
    ExFreePool(c);
    return status;
  }
  pin->Context = c;
  // The pin's own copies of its descriptor and framing, as a real minidriver makes them.
  status = KsEdit(pin, &pin->Descriptor, 'FCLA');
  if (NT_SUCCESS(status)) {
    auto* descriptor = const_cast<KSPIN_DESCRIPTOR_EX*>(pin->Descriptor);
    status = KsEdit(pin, &descriptor->AllocatorFraming, 'FCLA');
    if (NT_SUCCESS(status)) {
      auto* framing = const_cast<KSALLOCATOR_FRAMING_EX*>(descriptor->AllocatorFraming);
      framing->FramingItem[0].Frames = 10;
    }
  }
  pin->StreamHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
  Log().pin = pin;
  return status;
}

NTSTATUS NTAPI PinClose(PKSPIN pin, PIRP) {
  Log().Record("PinClose");
  StopTimer(static_cast<PinContext*>(pin->Context));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from) {
  Log().Record("SetDeviceState " + std::to_string(from) + "->" + std::to_string(to));
  if (Log().failStateStepTo.load() == static_cast<int>(to)) return STATUS_UNSUCCESSFUL;
  auto* c = static_cast<PinContext*>(pin->Context);
  if (to == KSSTATE_RUN && Log().produceFrames) {
    LARGE_INTEGER due;
    due.QuadPart = -kFrameInterval;
    KeSetTimerEx(&c->timer, due, 33, &c->dpc);
    c->timerRunning = true;
  }
  if (from == KSSTATE_RUN) StopTimer(c);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM, const KSDATARANGE* range,
                                const KSATTRIBUTE_LIST*) {
  Log().Record(oldFormat ? "SetDataFormat change" : "SetDataFormat");
  if (oldFormat && pin->DeviceState != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
  const KSDATAFORMAT* format = pin->ConnectionFormat;
  if (format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) return STATUS_NO_MATCH;
  auto* f = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format);
  auto* r = reinterpret_cast<const KS_DATARANGE_VIDEO*>(range);
  if (f->VideoInfoHeader.bmiHeader.biWidth != r->VideoInfoHeader.bmiHeader.biWidth ||
      f->VideoInfoHeader.bmiHeader.biHeight != r->VideoInfoHeader.bmiHeader.biHeight ||
      f->VideoInfoHeader.bmiHeader.biCompression != r->VideoInfoHeader.bmiHeader.biCompression)
    return STATUS_NO_MATCH;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinProcess(PKSPIN pin) {
  TestLog& log = Log();
  log.processCalls++;
  log.processThread = KeGetCurrentThread();
  if (log.processConcurrent.fetch_add(1) != 0) log.processViolations++;
  if (pin->DeviceState != KSSTATE_RUN) log.processViolations++;
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) log.processViolations++;
  // Widen the window in which a second call could overlap.
  LARGE_INTEGER pause;
  pause.QuadPart = -10000;
  KeDelayExecutionThread(KernelMode, FALSE, &pause);

  NTSTATUS status = STATUS_PENDING;
  if (log.successReturns > 0) {
    log.successReturns--;
    status = STATUS_SUCCESS;
  } else if (log.deliverOnProcess && log.framesReady > 0) {
    PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (sp) {
      auto* c = static_cast<PinContext*>(pin->Context);
      LONGLONG n = c->nextFrame++;
      ULONG bytes = sp->OffsetOut.Count < kFrameBytes ? sp->OffsetOut.Count : kFrameBytes;
      for (ULONG i = 0; i < bytes; ++i) sp->OffsetOut.Data[i] = FrameByte(n, i);
      PKSSTREAM_HEADER h = sp->StreamHeader;
      h->DataUsed = bytes;
      h->PresentationTime.Time = n * kFrameInterval;
      h->PresentationTime.Numerator = 1;
      h->PresentationTime.Denominator = 1;
      h->Duration = kFrameInterval;
      h->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
      if (h->Size >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
        auto* info = reinterpret_cast<PKS_FRAME_INFO>(h + 1);
        info->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
        info->PictureNumber = n;
        info->DropCount = 0;
      }
      log.framesReady--;
      log.framesDelivered++;
      KsStreamPointerUnlock(sp, TRUE);
    }
  }
  if (pin->DeviceState != KSSTATE_RUN) log.processViolations++;
  log.processConcurrent--;
  return status;
}

NTSTATUS NTAPI PinIntersect(PVOID, PIRP, PKSP_PIN, PKSDATARANGE callerRange, PKSDATARANGE descriptorRange,
                            ULONG bufferSize, PVOID data, PULONG dataSize) {
  if (callerRange->FormatSize != sizeof(KS_DATARANGE_VIDEO) ||
      callerRange->Specifier != KSDATAFORMAT_SPECIFIER_VIDEOINFO)
    return STATUS_NO_MATCH;
  auto* caller = reinterpret_cast<const KS_DATARANGE_VIDEO*>(callerRange);
  auto* own = reinterpret_cast<const KS_DATARANGE_VIDEO*>(descriptorRange);
  if (caller->VideoInfoHeader.bmiHeader.biWidth != own->VideoInfoHeader.bmiHeader.biWidth ||
      caller->VideoInfoHeader.bmiHeader.biHeight != own->VideoInfoHeader.bmiHeader.biHeight)
    return STATUS_NO_MATCH;
  const ULONG size = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
  *dataSize = size;
  if (bufferSize == 0) return STATUS_BUFFER_OVERFLOW;
  if (bufferSize < size) return STATUS_BUFFER_TOO_SMALL;
  auto* out = static_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(data);
  out->DataFormat = own->DataRange;
  out->DataFormat.FormatSize = size;
  out->VideoInfoHeader = own->VideoInfoHeader;
  return STATUS_SUCCESS;
}

VOID NTAPI PinReset(PKSPIN pin) {
  Log().Record(pin->ResetState == KSRESET_BEGIN ? "Reset begin" : "Reset");
}

const KSPIN_DISPATCH g_pinDispatch = {PinCreate, PinClose, PinProcess, PinReset, PinSetDataFormat,
                                      PinSetDeviceState, nullptr, nullptr, nullptr, nullptr};

const KSPIN_DESCRIPTOR_EX g_pinDescriptor = {
    &g_pinDispatch,
    nullptr,
    {0, nullptr, 0, nullptr, ARRAYSIZE(g_ranges), g_ranges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH,
     &PINNAME_VIDEO_CAPTURE, &PINNAME_VIDEO_CAPTURE, {0}},
    KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_HYPERCRITICAL_PROCESSING,
    1,
    0,
    &g_framing,
    PinIntersect};

// ---- Properties and events ---------------------------------------------------------------------
LONG g_rangedValue = 4;

NTSTATUS NTAPI GetRanged(PIRP irp, PKSIDENTIFIER, PVOID data) {
  *static_cast<LONG*>(data) = g_rangedValue;
  irp->IoStatus.Information = sizeof(LONG);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI SetRanged(PIRP, PKSIDENTIFIER, PVOID data) {
  LONG v = *static_cast<LONG*>(data);
  if (v < -10 || v > 10 || (v + 10) % 2) return STATUS_INVALID_PARAMETER;
  g_rangedValue = v;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI GetWide(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  ULONG in[2];
  memcpy(in, reinterpret_cast<const uint8_t*>(request) + sizeof(KSPROPERTY), sizeof(in));
  ULONG out[2] = {in[1], in[0]};
  memcpy(data, out, sizeof(out));
  irp->IoStatus.Information = sizeof(out);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI GetVariable(PIRP irp, PKSIDENTIFIER, PVOID data) {
  ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  irp->IoStatus.Information = 12;
  if (length == 0) return STATUS_BUFFER_OVERFLOW;
  if (length < 12) return STATUS_BUFFER_TOO_SMALL;
  ULONG values[3] = {1, 2, 3};
  memcpy(data, values, sizeof(values));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI GetOverlong(PIRP irp, PKSIDENTIFIER, PVOID) {
  irp->IoStatus.Information = 64;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI GetPartial(PIRP irp, PKSIDENTIFIER, PVOID data) {
  ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  if (length < 3) return STATUS_BUFFER_TOO_SMALL;
  auto* bytes = static_cast<uint8_t*>(data);
  Log().partialSeen = bytes[2];
  bytes[0] = 0x11;
  bytes[1] = 0x22;
  bytes[2] = 0x33;
  irp->IoStatus.Information = 2;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI GetFillValued(PIRP irp, PKSIDENTIFIER, PVOID data) {
  if (data) memset(data, 0xA5, Log().written);
  irp->IoStatus.Information = Log().reported;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI GetNodeValue(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  *static_cast<ULONG*>(data) = 100 + reinterpret_cast<PKSP_NODE>(request)->NodeId;
  irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

const KSPROPERTY_STEPPING_LONG g_stepping = {2, 0, {{-10, 10}}};
const LONG g_default = 4;
const KSPROPERTY_MEMBERSLIST g_members[] = {
    {{KSPROPERTY_MEMBER_RANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, &g_stepping},
    {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &g_default},
};
const KSPROPERTY_VALUES g_values = {{{{KSPROPTYPESETID_General, VT_I4, 0}}}, ARRAYSIZE(g_members), g_members};

KSPROPERTY MakeRelation() {
  KSPROPERTY p{};
  p.Set = kTestPropertySet;
  p.Id = kWideRequest;
  p.Flags = 0;
  return p;
}
const KSPROPERTY g_relations[] = {MakeRelation()};

KSPROPERTY_ITEM MakeItem(ULONG id, PFNKSHANDLER get, ULONG minProperty, ULONG minData, PFNKSHANDLER set,
                         const KSPROPERTY_VALUES* values) {
  KSPROPERTY_ITEM item{};
  item.PropertyId = id;
  item.GetPropertyHandler = get;
  item.MinProperty = minProperty;
  item.MinData = minData;
  item.SetPropertyHandler = set;
  item.Values = values;
  return item;
}

KSPROPERTY_ITEM RangedItem() {
  KSPROPERTY_ITEM item = MakeItem(kRangedValue, GetRanged, sizeof(KSPROPERTY), sizeof(LONG), SetRanged, &g_values);
  item.RelationsCount = ARRAYSIZE(g_relations);
  item.Relations = g_relations;
  return item;
}

const KSPROPERTY_ITEM g_items[] = {
    RangedItem(),
    MakeItem(kWideRequest, GetWide, sizeof(KSPROPERTY) + 8, 8, nullptr, nullptr),
    MakeItem(kVariableSize, GetVariable, sizeof(KSPROPERTY), 0, nullptr, nullptr),
    MakeItem(kOverlong, GetOverlong, sizeof(KSPROPERTY), 4, nullptr, nullptr),
    MakeItem(kPartial, GetPartial, sizeof(KSPROPERTY), 0, nullptr, nullptr),
    MakeItem(kFillValued, GetFillValued, sizeof(KSPROPERTY), 0, nullptr, nullptr),
};
const KSPROPERTY_SET g_sets[] = {{&kTestPropertySet, ARRAYSIZE(g_items), g_items, 0, nullptr}};

const KSEVENT_ITEM g_eventItems[] = {{0, sizeof(KSEVENTDATA), 0, nullptr, nullptr, nullptr}};
const KSEVENT_SET g_eventSets[] = {{&kTestEventSet, ARRAYSIZE(g_eventItems), g_eventItems}};

const KSAUTOMATION_TABLE g_filterAutomation = {ARRAYSIZE(g_sets), sizeof(KSPROPERTY_ITEM), g_sets, 0, 0, nullptr,
                                               ARRAYSIZE(g_eventSets), sizeof(KSEVENT_ITEM), g_eventSets};

const KSPROPERTY_ITEM g_nodeItems[] = {MakeItem(0, GetNodeValue, sizeof(KSP_NODE), sizeof(ULONG), nullptr, nullptr)};
const KSPROPERTY_SET g_nodeSets[] = {{&kTestNodePropertySet, ARRAYSIZE(g_nodeItems), g_nodeItems, 0, nullptr}};
const KSAUTOMATION_TABLE g_nodeAutomation = {ARRAYSIZE(g_nodeSets), sizeof(KSPROPERTY_ITEM), g_nodeSets, 0, 0,
                                             nullptr, 0, 0, nullptr};

// ---- Filter -----------------------------------------------------------------------------------------
NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP irp) {
  Log().Record("FilterCreate");
  if (KsGetFilterFromIrp(irp) != filter) return STATUS_UNSUCCESSFUL;
  Log().filter = filter;
  ULONG id = 0;
  return KsFilterCreatePinFactory(filter, &g_pinDescriptor, &id);
}

NTSTATUS NTAPI FilterClose(PKSFILTER, PIRP) {
  Log().Record("FilterClose");
  return STATUS_SUCCESS;
}

const KSFILTER_DISPATCH g_filterDispatch = {FilterCreate, FilterClose, nullptr, nullptr};
const GUID g_categories[] = {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE};
const KSNODE_DESCRIPTOR g_nodes[] = {
    {nullptr, &KSNODETYPE_VIDEO_CAMERA_TERMINAL, nullptr},
    {&g_nodeAutomation, &KSNODETYPE_VIDEO_PROCESSING, nullptr},
};
const KSTOPOLOGY_CONNECTION g_connections[] = {{0, 0, 1, 1}, {1, 0, KSFILTER_NODE, 0}};

const KSFILTER_DESCRIPTOR g_filterDescriptor = {
    &g_filterDispatch, &g_filterAutomation, KSFILTER_DESCRIPTOR_VERSION, 0, &KSNAME_Filter,
    0, sizeof(KSPIN_DESCRIPTOR_EX), nullptr,
    ARRAYSIZE(g_categories), g_categories,
    ARRAYSIZE(g_nodes), sizeof(KSNODE_DESCRIPTOR), g_nodes,
    ARRAYSIZE(g_connections), g_connections,
    nullptr};

// ---- Device -----------------------------------------------------------------------------------------
VOID NTAPI FreeDeviceContext(PVOID item) {
  Log().bagFrees++;
  ExFreePool(item);
}

NTSTATUS NTAPI DeviceAdd(PKSDEVICE device) {
  Log().Record("Add");
  Log().device = device;
  PVOID context = ExAllocatePoolWithTag(NonPagedPoolNx, 32, 'ctDT');
  if (!context) return STATUS_INSUFFICIENT_RESOURCES;
  KsAcquireDevice(device);
  NTSTATUS status = KsAddItemToObjectBag(device->Bag, context, FreeDeviceContext);
  KsReleaseDevice(device);
  if (!NT_SUCCESS(status)) {
    ExFreePool(context);
    return status;
  }
  device->Context = context;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI DeviceStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  Log().Record("Start");
  return KsCreateFilterFactory(device->FunctionalDeviceObject, &g_filterDescriptor, u"GLOBAL", nullptr,
                               KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
}

NTSTATUS NTAPI DeviceQueryStop(PKSDEVICE, PIRP) {
  Log().Record("QueryStop");
  return Log().queryStopStatus;
}

VOID NTAPI DeviceCancelStop(PKSDEVICE, PIRP) { Log().Record("CancelStop"); }
VOID NTAPI DeviceStop(PKSDEVICE, PIRP) { Log().Record("Stop"); }
VOID NTAPI DeviceRemove(PKSDEVICE, PIRP) { Log().Record("Remove"); }
VOID NTAPI DeviceSurpriseRemoval(PKSDEVICE, PIRP) { Log().Record("SurpriseRemoval"); }

NTSTATUS NTAPI DeviceQueryCapabilities(PKSDEVICE, PIRP, PDEVICE_CAPABILITIES capabilities) {
  Log().Record("QueryCapabilities");
  capabilities->SurpriseRemovalOK = 1;
  return STATUS_SUCCESS;
}

VOID NTAPI DeviceSetPower(PKSDEVICE, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
  std::string call = "SetPower " + std::to_string(from) + "->" + std::to_string(to);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) call += " at " + std::to_string(KeGetCurrentIrql());
  Log().Record(call);
}

const KSDEVICE_DISPATCH g_deviceDispatch = {DeviceAdd,  DeviceStart, nullptr, DeviceQueryStop, DeviceCancelStop,
                                            DeviceStop, nullptr,     nullptr, DeviceRemove, DeviceQueryCapabilities,
                                            DeviceSurpriseRemoval, nullptr, DeviceSetPower, nullptr};
const KSDEVICE_DESCRIPTOR g_deviceDescriptor = {&g_deviceDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION, 0x110};

}  // namespace

void TestLog::Record(const std::string& call) {
  std::lock_guard<std::mutex> hold(lock);
  calls.push_back(call);
}

std::vector<std::string> TestLog::Calls() {
  std::lock_guard<std::mutex> hold(lock);
  return calls;
}

void TestLog::ClearCalls() {
  std::lock_guard<std::mutex> hold(lock);
  calls.clear();
}

void TestLog::Reset() {
  {
    std::lock_guard<std::mutex> hold(lock);
    calls.clear();
  }
  processCalls = 0;
  processConcurrent = 0;
  processViolations = 0;
  bagFrees = 0;
  framesDelivered = 0;
  processThread = nullptr;
  partialSeen = -1;
  written = 0;
  reported = 0;
  failStateStepTo = -1;
  queryStopStatus = STATUS_SUCCESS;
  successReturns = 0;
  produceFrames = true;
  framesReady = 0;
  deliverOnProcess = true;
  pin = nullptr;
  filter = nullptr;
  device = nullptr;
  g_rangedValue = 4;
}

TestLog& Log() {
  static auto* log = new TestLog();
  return *log;
}

NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  return KsInitializeDriver(driver, registryPath, &g_deviceDescriptor);
}

std::vector<uint8_t> Yuy2Range(ULONG width, ULONG height) {
  KS_DATARANGE_VIDEO r = MakeRange(width, height);
  std::vector<uint8_t> bytes(sizeof(r));
  memcpy(bytes.data(), &r, sizeof(r));
  return bytes;
}

std::vector<uint8_t> Yuy2Format(ULONG width, ULONG height) {
  KS_DATARANGE_VIDEO r = MakeRange(width, height);
  KS_DATAFORMAT_VIDEOINFOHEADER f{};
  f.DataFormat = r.DataRange;
  f.DataFormat.FormatSize = sizeof(f);
  f.VideoInfoHeader = r.VideoInfoHeader;
  std::vector<uint8_t> bytes(sizeof(f));
  memcpy(bytes.data(), &f, sizeof(f));
  return bytes;
}

uint8_t FrameByte(LONGLONG n, size_t offset) { return static_cast<uint8_t>((n + static_cast<LONGLONG>(offset)) & 0xFF); }

const KSPIN_DESCRIPTOR_EX& CapturePinDescriptor() { return g_pinDescriptor; }

void RaiseTestEvent() { KsGenerateEvents(Log().filter, &kTestEventSet, 0, 0, nullptr, nullptr, nullptr); }

}  // namespace kvz::kstest
