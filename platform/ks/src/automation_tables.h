// Which automation tables answer a request on a filter, a pin or a topology node, in the order
// they are searched.
#pragma once

#include <vector>

#include "ks_objects.h"

namespace kvz::ks {

struct TableRef {
  ULONG propertySetsCount = 0;
  ULONG propertyItemSize = 0;
  const KSPROPERTY_SET* propertySets = nullptr;
  ULONG eventSetsCount = 0;
  ULONG eventItemSize = 0;
  const KSEVENT_SET* eventSets = nullptr;
};

template <class Set, class Item>
struct Lookup {
  const Set* set = nullptr;    // the set exists on the object
  const Item* item = nullptr;  // and has the item
};

// Node-addressed requests (topology flag) carry a node id after the identifier; they are answered
// by that node's table first. Fails for a short request or a node the filter does not have.
NTSTATUS CollectTables(Filter* filter, Pin* pin, bool topology, const KSIDENTIFIER* request, ULONG requestLength,
                       std::vector<TableRef>* tables);
Lookup<KSPROPERTY_SET, KSPROPERTY_ITEM> FindPropertyItem(const std::vector<TableRef>& tables, const GUID& set,
                                                        ULONG id);
Lookup<KSEVENT_SET, KSEVENT_ITEM> FindEventItem(const std::vector<TableRef>& tables, const GUID& set, ULONG id);

}  // namespace kvz::ks
