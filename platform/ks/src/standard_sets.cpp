// The property sets the class driver answers itself: pin factories and topology on filters
// (KSPROPSETID_Pin, KSPROPSETID_Topology, KSPROPSETID_General), connection and stream on pins.
#include <cstdio>
#include <cstring>

#include "ks_objects.h"

namespace kvz::ks {
namespace {

ULONG Align8(ULONG n) { return (n + 7u) & ~7u; }

PIO_STACK_LOCATION Stack(PIRP irp) { return IoGetCurrentIrpStackLocation(irp); }
ULONG OutLength(PIRP irp) { return Stack(irp)->Parameters.DeviceIoControl.OutputBufferLength; }
ULONG InLength(PIRP irp) { return Stack(irp)->Parameters.DeviceIoControl.InputBufferLength; }

// Variable-sized answers: a zero-length buffer asks for the size.
NTSTATUS AnswerBytes(PIRP irp, PVOID data, const void* bytes, ULONG size) {
  ULONG length = OutLength(irp);
  irp->IoStatus.Information = size;
  if (length == 0) return STATUS_BUFFER_OVERFLOW;
  if (length < size) return STATUS_BUFFER_TOO_SMALL;
  memcpy(data, bytes, size);
  return STATUS_SUCCESS;
}

// Fixed-size answers: the dispatcher has already checked the buffer against MinData.
template <typename T>
NTSTATUS AnswerValue(PIRP irp, PVOID data, const T& value) {
  *static_cast<T*>(data) = value;
  irp->IoStatus.Information = sizeof(T);
  return STATUS_SUCCESS;
}

NTSTATUS AnswerGuidName(PIRP irp, PVOID data, const GUID* guid) {
  if (!guid) return STATUS_NOT_FOUND;
  char text[40];
  snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid->Data1, guid->Data2,
           guid->Data3, guid->Data4[0], guid->Data4[1], guid->Data4[2], guid->Data4[3], guid->Data4[4],
           guid->Data4[5], guid->Data4[6], guid->Data4[7]);
  WCHAR wide[40];
  size_t n = strlen(text);
  for (size_t i = 0; i <= n; ++i) wide[i] = static_cast<WCHAR>(text[i]);
  return AnswerBytes(irp, data, wide, static_cast<ULONG>((n + 1) * sizeof(WCHAR)));
}

const KSPIN_DESCRIPTOR_EX* PinFactoryOf(PIRP irp, PKSIDENTIFIER request, Filter** filter, ULONG* id) {
  Filter* f = FilterOfIrp(irp);
  ULONG pinId = reinterpret_cast<PKSP_PIN>(request)->PinId;
  if (!f || pinId >= f->pinFactories.size()) return nullptr;
  if (filter) *filter = f;
  if (id) *id = pinId;
  return f->pinFactories[pinId].descriptor;
}

NTSTATUS NTAPI PinCTypes(PIRP irp, PKSIDENTIFIER, PVOID data) {
  Filter* f = FilterOfIrp(irp);
  if (!f) return STATUS_INVALID_DEVICE_REQUEST;
  return AnswerValue<ULONG>(irp, data, static_cast<ULONG>(f->pinFactories.size()));
}

#define KVZ_PIN_FACTORY_OR_FAIL(name)                         \
  const KSPIN_DESCRIPTOR_EX* name = PinFactoryOf(irp, request, nullptr, nullptr); \
  if (!name) return STATUS_INVALID_PARAMETER

NTSTATUS NTAPI PinDataFlow(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  KVZ_PIN_FACTORY_OR_FAIL(d);
  return AnswerValue<KSPIN_DATAFLOW>(irp, data, d->PinDescriptor.DataFlow);
}

NTSTATUS NTAPI PinCommunication(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  KVZ_PIN_FACTORY_OR_FAIL(d);
  return AnswerValue<KSPIN_COMMUNICATION>(irp, data, d->PinDescriptor.Communication);
}

NTSTATUS NTAPI PinCategory(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  KVZ_PIN_FACTORY_OR_FAIL(d);
  if (!d->PinDescriptor.Category) return STATUS_NOT_FOUND;
  return AnswerValue<GUID>(irp, data, *d->PinDescriptor.Category);
}

// Without a registry of media names the name is the GUID (Name, else Category) as text.
NTSTATUS NTAPI PinName(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  KVZ_PIN_FACTORY_OR_FAIL(d);
  return AnswerGuidName(irp, data, d->PinDescriptor.Name ? d->PinDescriptor.Name : d->PinDescriptor.Category);
}

NTSTATUS NTAPI PinCInstances(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  Filter* f = nullptr;
  ULONG id = 0;
  const KSPIN_DESCRIPTOR_EX* d = PinFactoryOf(irp, request, &f, &id);
  if (!d) return STATUS_INVALID_PARAMETER;
  KSPIN_CINSTANCES out;
  out.PossibleCount = d->InstancesPossible;
  out.CurrentCount = static_cast<ULONG>(f->pinFactories[id].pins.size());
  return AnswerValue(irp, data, out);
}

NTSTATUS NTAPI PinNecessaryInstances(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  KVZ_PIN_FACTORY_OR_FAIL(d);
  return AnswerValue<ULONG>(irp, data, d->InstancesNecessary);
}

NTSTATUS NTAPI PinDataRanges(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  KVZ_PIN_FACTORY_OR_FAIL(d);
  const KSPIN_DESCRIPTOR& pd = d->PinDescriptor;
  ULONG size = sizeof(KSMULTIPLE_ITEM);
  for (ULONG i = 0; i < pd.DataRangesCount; ++i) size += Align8(pd.DataRanges[i]->FormatSize);
  ULONG length = OutLength(irp);
  irp->IoStatus.Information = size;
  if (length == 0) return STATUS_BUFFER_OVERFLOW;
  if (length < size) return STATUS_BUFFER_TOO_SMALL;
  auto* out = static_cast<uint8_t*>(data);
  memset(out, 0, size);
  KSMULTIPLE_ITEM item{size, pd.DataRangesCount};
  memcpy(out, &item, sizeof(item));
  ULONG offset = sizeof(item);
  for (ULONG i = 0; i < pd.DataRangesCount; ++i) {
    memcpy(out + offset, pd.DataRanges[i], pd.DataRanges[i]->FormatSize);
    offset += Align8(pd.DataRanges[i]->FormatSize);
  }
  return STATUS_SUCCESS;
}

// KSP_PIN, then a KSMULTIPLE_ITEM of the caller's ranges (each 8-byte aligned). The first
// caller range the pin's intersect handler accepts against one of its own ranges decides.
NTSTATUS NTAPI PinDataIntersection(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  Filter* f = nullptr;
  ULONG id = 0;
  const KSPIN_DESCRIPTOR_EX* d = PinFactoryOf(irp, request, &f, &id);
  if (!d) return STATUS_INVALID_PARAMETER;
  ULONG inLength = InLength(irp);
  if (inLength < sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM)) return STATUS_INVALID_BUFFER_SIZE;
  const auto* base = reinterpret_cast<const uint8_t*>(request);
  KSMULTIPLE_ITEM list;
  memcpy(&list, base + sizeof(KSP_PIN), sizeof(list));
  if (list.Size < sizeof(KSMULTIPLE_ITEM) || list.Size > inLength - sizeof(KSP_PIN)) return STATUS_INVALID_PARAMETER;
  const uint8_t* cursor = base + sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM);
  const uint8_t* end = base + sizeof(KSP_PIN) + list.Size;
  ULONG length = OutLength(irp);
  for (ULONG i = 0; i < list.Count; ++i) {
    if (cursor + sizeof(KSDATARANGE) > end) return STATUS_INVALID_PARAMETER;
    auto* callerRange = reinterpret_cast<PKSDATARANGE>(const_cast<uint8_t*>(cursor));
    if (callerRange->FormatSize < sizeof(KSDATARANGE) || cursor + callerRange->FormatSize > end)
      return STATUS_INVALID_PARAMETER;
    const KSPIN_DESCRIPTOR& pd = d->PinDescriptor;
    for (ULONG r = 0; r < pd.DataRangesCount; ++r) {
      PKSDATARANGE own = pd.DataRanges[r];
      if (!GuidMatches(own->MajorFormat, callerRange->MajorFormat) ||
          !GuidMatches(own->SubFormat, callerRange->SubFormat) ||
          !GuidMatches(own->Specifier, callerRange->Specifier))
        continue;
      NTSTATUS status;
      ULONG size = 0;
      if (d->IntersectHandler) {
        status = d->IntersectHandler(f->Public(), irp, reinterpret_cast<PKSP_PIN>(request), callerRange, own, length,
                                     data, &size);
      } else {
        // Without a handler the pin's own range is the format.
        size = own->FormatSize;
        if (length == 0) {
          status = STATUS_BUFFER_OVERFLOW;
        } else if (length < size) {
          status = STATUS_BUFFER_TOO_SMALL;
        } else {
          memcpy(data, own, size);
          status = STATUS_SUCCESS;
        }
      }
      if (status == STATUS_NO_MATCH) continue;
      irp->IoStatus.Information = NT_ERROR(status) ? 0 : size;
      return status;
    }
    cursor += Align8(callerRange->FormatSize);
  }
  return STATUS_NO_MATCH;
}

const KSFILTER_DESCRIPTOR* DescriptorOf(PIRP irp) {
  Filter* f = FilterOfIrp(irp);
  return f ? f->Public()->Descriptor : nullptr;
}

NTSTATUS AnswerMultiple(PIRP irp, PVOID data, const void* items, ULONG count, ULONG itemSize) {
  ULONG size = sizeof(KSMULTIPLE_ITEM) + count * itemSize;
  ULONG length = OutLength(irp);
  irp->IoStatus.Information = size;
  if (length == 0) return STATUS_BUFFER_OVERFLOW;
  if (length < size) return STATUS_BUFFER_TOO_SMALL;
  KSMULTIPLE_ITEM header{size, count};
  memcpy(data, &header, sizeof(header));
  if (count) memcpy(static_cast<uint8_t*>(data) + sizeof(header), items, count * itemSize);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI TopologyCategories(PIRP irp, PKSIDENTIFIER, PVOID data) {
  const KSFILTER_DESCRIPTOR* d = DescriptorOf(irp);
  if (!d) return STATUS_INVALID_DEVICE_REQUEST;
  return AnswerMultiple(irp, data, d->Categories, d->CategoriesCount, sizeof(GUID));
}

const KSNODE_DESCRIPTOR* NodeAt(const KSFILTER_DESCRIPTOR* d, ULONG i) {
  ULONG stride = d->NodeDescriptorSize ? d->NodeDescriptorSize : sizeof(KSNODE_DESCRIPTOR);
  return reinterpret_cast<const KSNODE_DESCRIPTOR*>(reinterpret_cast<const uint8_t*>(d->NodeDescriptors) +
                                                    static_cast<size_t>(i) * stride);
}

NTSTATUS NTAPI TopologyNodes(PIRP irp, PKSIDENTIFIER, PVOID data) {
  const KSFILTER_DESCRIPTOR* d = DescriptorOf(irp);
  if (!d) return STATUS_INVALID_DEVICE_REQUEST;
  std::vector<GUID> types;
  for (ULONG i = 0; i < d->NodeDescriptorsCount; ++i) {
    const KSNODE_DESCRIPTOR* n = NodeAt(d, i);
    types.push_back(n->Type ? *n->Type : GUID_NULL);
  }
  return AnswerMultiple(irp, data, types.data(), static_cast<ULONG>(types.size()), sizeof(GUID));
}

NTSTATUS NTAPI TopologyConnections(PIRP irp, PKSIDENTIFIER, PVOID data) {
  const KSFILTER_DESCRIPTOR* d = DescriptorOf(irp);
  if (!d) return STATUS_INVALID_DEVICE_REQUEST;
  return AnswerMultiple(irp, data, d->Connections, d->ConnectionsCount, sizeof(KSTOPOLOGY_CONNECTION));
}

NTSTATUS NTAPI TopologyName(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  const KSFILTER_DESCRIPTOR* d = DescriptorOf(irp);
  ULONG node = reinterpret_cast<PKSP_NODE>(request)->NodeId;
  if (!d || node >= d->NodeDescriptorsCount) return STATUS_INVALID_PARAMETER;
  const KSNODE_DESCRIPTOR* n = NodeAt(d, node);
  return AnswerGuidName(irp, data, n->Name ? n->Name : n->Type);
}

NTSTATUS NTAPI GeneralComponentId(PIRP irp, PKSIDENTIFIER, PVOID data) {
  const KSFILTER_DESCRIPTOR* d = DescriptorOf(irp);
  if (!d || !d->ComponentId) return STATUS_NOT_FOUND;
  return AnswerValue<KSCOMPONENTID>(irp, data, *d->ComponentId);
}

// ---- Pins ----
NTSTATUS NTAPI GetState(PIRP irp, PKSIDENTIFIER, PVOID data) {
  Pin* p = PinOfIrp(irp);
  if (!p) return STATUS_INVALID_DEVICE_REQUEST;
  return AnswerValue<KSSTATE>(irp, data, p->Public()->DeviceState);
}

NTSTATUS NTAPI SetState(PIRP irp, PKSIDENTIFIER, PVOID data) {
  Pin* p = PinOfIrp(irp);
  if (!p) return STATUS_INVALID_DEVICE_REQUEST;
  // Read as a number: a client's value need not be one of the states.
  const ULONG target = *static_cast<const ULONG*>(data);
  if (target > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
  return ChangePinState(p, static_cast<KSSTATE>(target));
}

NTSTATUS NTAPI GetDataFormat(PIRP irp, PKSIDENTIFIER, PVOID data) {
  Pin* p = PinOfIrp(irp);
  if (!p) return STATUS_INVALID_DEVICE_REQUEST;
  PKSDATAFORMAT f = p->Public()->ConnectionFormat;
  return AnswerBytes(irp, data, f, f->FormatSize);
}

NTSTATUS NTAPI SetDataFormat(PIRP irp, PKSIDENTIFIER, PVOID data) {
  Pin* p = PinOfIrp(irp);
  if (!p) return STATUS_INVALID_DEVICE_REQUEST;
  return ChangePinFormat(p, static_cast<const KSDATAFORMAT*>(data), OutLength(irp));
}

NTSTATUS NTAPI GetFramingEx(PIRP irp, PKSIDENTIFIER, PVOID data) {
  Pin* p = PinOfIrp(irp);
  if (!p) return STATUS_INVALID_DEVICE_REQUEST;
  const KSALLOCATOR_FRAMING_EX* framing = p->Public()->Descriptor->AllocatorFraming;
  if (!framing) return STATUS_NOT_FOUND;
  ULONG items = framing->CountItems ? framing->CountItems : 1;
  ULONG size = static_cast<ULONG>(offsetof(KSALLOCATOR_FRAMING_EX, FramingItem) + items * sizeof(KS_FRAMING_ITEM));
  return AnswerBytes(irp, data, framing, size);
}

// The stand-in has one clock, the kernel's: any clock handle makes it the pin's master clock.
NTSTATUS NTAPI SetMasterClock(PIRP irp, PKSIDENTIFIER, PVOID data) {
  Pin* p = PinOfIrp(irp);
  if (!p) return STATUS_INVALID_DEVICE_REQUEST;
  p->hasClock = *static_cast<HANDLE*>(data) != nullptr;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI GetMasterClock(PIRP irp, PKSIDENTIFIER, PVOID data) {
  Pin* p = PinOfIrp(irp);
  if (!p) return STATUS_INVALID_DEVICE_REQUEST;
  return AnswerValue<HANDLE>(irp, data, p->hasClock ? reinterpret_cast<HANDLE>(1) : nullptr);
}

KSPROPERTY_ITEM Item(ULONG id, PFNKSHANDLER get, ULONG minProperty, ULONG minData, PFNKSHANDLER set = nullptr) {
  KSPROPERTY_ITEM item{};
  item.PropertyId = id;
  item.GetPropertyHandler = get;
  item.MinProperty = minProperty;
  item.MinData = minData;
  item.SetPropertyHandler = set;
  return item;
}

const KSPROPERTY_ITEM kPinItems[] = {
    Item(KSPROPERTY_PIN_CINSTANCES, PinCInstances, sizeof(KSP_PIN), sizeof(KSPIN_CINSTANCES)),
    Item(KSPROPERTY_PIN_CTYPES, PinCTypes, sizeof(KSPROPERTY), sizeof(ULONG)),
    Item(KSPROPERTY_PIN_DATAFLOW, PinDataFlow, sizeof(KSP_PIN), sizeof(KSPIN_DATAFLOW)),
    Item(KSPROPERTY_PIN_DATARANGES, PinDataRanges, sizeof(KSP_PIN), 0),
    Item(KSPROPERTY_PIN_DATAINTERSECTION, PinDataIntersection, sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM), 0),
    Item(KSPROPERTY_PIN_COMMUNICATION, PinCommunication, sizeof(KSP_PIN), sizeof(KSPIN_COMMUNICATION)),
    Item(KSPROPERTY_PIN_NECESSARYINSTANCES, PinNecessaryInstances, sizeof(KSP_PIN), sizeof(ULONG)),
    Item(KSPROPERTY_PIN_CATEGORY, PinCategory, sizeof(KSP_PIN), sizeof(GUID)),
    Item(KSPROPERTY_PIN_NAME, PinName, sizeof(KSP_PIN), 0),
};
const KSPROPERTY_ITEM kTopologyItems[] = {
    Item(KSPROPERTY_TOPOLOGY_CATEGORIES, TopologyCategories, sizeof(KSPROPERTY), 0),
    Item(KSPROPERTY_TOPOLOGY_NODES, TopologyNodes, sizeof(KSPROPERTY), 0),
    Item(KSPROPERTY_TOPOLOGY_CONNECTIONS, TopologyConnections, sizeof(KSPROPERTY), 0),
    Item(KSPROPERTY_TOPOLOGY_NAME, TopologyName, sizeof(KSP_NODE), 0),
};
const KSPROPERTY_ITEM kGeneralItems[] = {
    Item(0, GeneralComponentId, sizeof(KSPROPERTY), sizeof(KSCOMPONENTID)),
};
const KSPROPERTY_SET kFilterSets[] = {
    {&KSPROPSETID_Pin, ARRAYSIZE(kPinItems), kPinItems, 0, nullptr},
    {&KSPROPSETID_Topology, ARRAYSIZE(kTopologyItems), kTopologyItems, 0, nullptr},
    {&KSPROPSETID_General, ARRAYSIZE(kGeneralItems), kGeneralItems, 0, nullptr},
};

const KSPROPERTY_ITEM kConnectionItems[] = {
    Item(KSPROPERTY_CONNECTION_STATE, GetState, sizeof(KSPROPERTY), sizeof(KSSTATE), SetState),
    Item(KSPROPERTY_CONNECTION_DATAFORMAT, GetDataFormat, sizeof(KSPROPERTY), 0, SetDataFormat),
    Item(KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX, GetFramingEx, sizeof(KSPROPERTY), 0),
};
const KSPROPERTY_ITEM kStreamItems[] = {
    Item(KSPROPERTY_STREAM_MASTERCLOCK, GetMasterClock, sizeof(KSPROPERTY), sizeof(HANDLE), SetMasterClock),
};
const KSPROPERTY_SET kPinSets[] = {
    {&KSPROPSETID_Connection, ARRAYSIZE(kConnectionItems), kConnectionItems, 0, nullptr},
    {&KSPROPSETID_Stream, ARRAYSIZE(kStreamItems), kStreamItems, 0, nullptr},
};

}  // namespace

const KSPROPERTY_SET* FilterStandardSets(ULONG* count) {
  *count = ARRAYSIZE(kFilterSets);
  return kFilterSets;
}

const KSPROPERTY_SET* PinStandardSets(ULONG* count) {
  *count = ARRAYSIZE(kPinSets);
  return kPinSets;
}

}  // namespace kvz::ks
