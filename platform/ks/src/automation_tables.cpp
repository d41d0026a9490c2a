#include "automation_tables.h"

namespace kvz::ks {
namespace {

void Append(const KSAUTOMATION_TABLE* table, std::vector<TableRef>* tables) {
  if (!table) return;
  TableRef ref;
  ref.propertySetsCount = table->PropertySetsCount;
  ref.propertyItemSize = table->PropertyItemSize;
  ref.propertySets = table->PropertySets;
  ref.eventSetsCount = table->EventSetsCount;
  ref.eventItemSize = table->EventItemSize;
  ref.eventSets = table->EventSets;
  tables->push_back(ref);
}

void AppendStandard(const KSPROPERTY_SET* sets, ULONG count, std::vector<TableRef>* tables) {
  TableRef ref;
  ref.propertySetsCount = count;
  ref.propertyItemSize = sizeof(KSPROPERTY_ITEM);
  ref.propertySets = sets;
  tables->push_back(ref);
}

}  // namespace

NTSTATUS CollectTables(Filter* filter, Pin* pin, bool topology, const KSIDENTIFIER* request, ULONG requestLength,
                       std::vector<TableRef>* tables) {
  const KSFILTER_DESCRIPTOR* descriptor = filter->Public()->Descriptor;
  if (topology) {
    // KSP_NODE, KSM_NODE and KSE_NODE share this layout.
    if (requestLength < sizeof(KSP_NODE)) return STATUS_INVALID_BUFFER_SIZE;
    ULONG node = reinterpret_cast<const KSP_NODE*>(request)->NodeId;
    if (!descriptor || node >= descriptor->NodeDescriptorsCount) return STATUS_INVALID_DEVICE_REQUEST;
    ULONG stride = descriptor->NodeDescriptorSize ? descriptor->NodeDescriptorSize : sizeof(KSNODE_DESCRIPTOR);
    auto* nodeDescriptor = reinterpret_cast<const KSNODE_DESCRIPTOR*>(
        reinterpret_cast<const uint8_t*>(descriptor->NodeDescriptors) + static_cast<size_t>(node) * stride);
    Append(nodeDescriptor->AutomationTable, tables);
  }
  ULONG count = 0;
  if (pin) {
    Append(pin->Public()->Descriptor->AutomationTable, tables);
    const KSPROPERTY_SET* sets = PinStandardSets(&count);
    AppendStandard(sets, count, tables);
  } else {
    if (descriptor) Append(descriptor->AutomationTable, tables);
    const KSPROPERTY_SET* sets = FilterStandardSets(&count);
    AppendStandard(sets, count, tables);
  }
  return STATUS_SUCCESS;
}

Lookup<KSEVENT_SET, KSEVENT_ITEM> FindEventItem(const std::vector<TableRef>& tables, const GUID& set, ULONG id) {
  Lookup<KSEVENT_SET, KSEVENT_ITEM> result;
  for (const TableRef& t : tables) {
    for (ULONG s = 0; s < t.eventSetsCount; ++s) {
      const KSEVENT_SET& es = t.eventSets[s];
      if (!es.Set || *es.Set != set) continue;
      if (!result.set) result.set = &es;
      ULONG stride = t.eventItemSize ? t.eventItemSize : sizeof(KSEVENT_ITEM);
      for (ULONG i = 0; i < es.EventsCount; ++i) {
        auto* item = reinterpret_cast<const KSEVENT_ITEM*>(reinterpret_cast<const uint8_t*>(es.EventItem) +
                                                           static_cast<size_t>(i) * stride);
        if (item->EventId == id) {
          result.set = &es;
          result.item = item;
          return result;
        }
      }
    }
  }
  return result;
}

}  // namespace kvz::ks
