// Property requests on filters, pins and topology nodes: the item is found in the object's
// automation tables (the minidriver's first, then the class driver's own sets), the request is
// checked against the item's minimum sizes, a zero-length data buffer is a size query, and basic
// support and default values are answered from the item's value description.
#include <cstring>
#include <vector>

#include "automation_tables.h"
#include "ks_objects.h"

namespace kvz::ks {
namespace {

const KSPROPERTY_ITEM* ItemAt(const KSPROPERTY_SET& set, ULONG index, ULONG stride) {
  auto* base = reinterpret_cast<const uint8_t*>(set.PropertyItem);
  return reinterpret_cast<const KSPROPERTY_ITEM*>(base + static_cast<size_t>(index) * stride);
}

// Size of the members that follow the description for the chosen members lists.
ULONG DescriptionSize(const KSPROPERTY_VALUES* values, bool defaultsOnly) {
  ULONG size = sizeof(KSPROPERTY_DESCRIPTION);
  if (!values) return size;
  for (ULONG i = 0; i < values->MembersListCount; ++i) {
    const KSPROPERTY_MEMBERSLIST& list = values->MembersList[i];
    if (defaultsOnly && !(list.MembersHeader.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT)) continue;
    size += sizeof(KSPROPERTY_MEMBERSHEADER) + list.MembersHeader.MembersSize * list.MembersHeader.MembersCount;
  }
  return size;
}

NTSTATUS AnswerDescription(PIRP irp, const KSPROPERTY_ITEM* item, bool defaultsOnly, PVOID data, ULONG length) {
  const KSPROPERTY_VALUES* values = item->Values;
  ULONG access = KSPROPERTY_TYPE_BASICSUPPORT;
  if (item->GetPropertyHandler) access |= KSPROPERTY_TYPE_GET;
  if (item->SetPropertyHandler) access |= KSPROPERTY_TYPE_SET;
  if (defaultsOnly) access |= KSPROPERTY_TYPE_DEFAULTVALUES;
  const ULONG total = DescriptionSize(values, defaultsOnly);

  if (length == 0) {
    irp->IoStatus.Information = total;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (length == sizeof(ULONG)) {
    *static_cast<ULONG*>(data) = access;
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  if (length < sizeof(KSPROPERTY_DESCRIPTION)) return STATUS_BUFFER_TOO_SMALL;

  KSPROPERTY_DESCRIPTION description{};
  description.AccessFlags = access;
  description.DescriptionSize = total;
  if (values) {
    description.PropTypeSet = values->PropTypeSet;
    for (ULONG i = 0; i < values->MembersListCount; ++i) {
      if (!defaultsOnly || (values->MembersList[i].MembersHeader.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT))
        ++description.MembersListCount;
    }
  } else {
    description.PropTypeSet.Set = GUID_NULL;
  }
  memcpy(data, &description, sizeof(description));
  if (length < total) {
    // Only the description fits: the client learns DescriptionSize from it.
    irp->IoStatus.Information = sizeof(description);
    return STATUS_SUCCESS;
  }
  auto* out = static_cast<uint8_t*>(data) + sizeof(description);
  for (ULONG i = 0; values && i < values->MembersListCount; ++i) {
    const KSPROPERTY_MEMBERSLIST& list = values->MembersList[i];
    if (defaultsOnly && !(list.MembersHeader.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT)) continue;
    memcpy(out, &list.MembersHeader, sizeof(KSPROPERTY_MEMBERSHEADER));
    out += sizeof(KSPROPERTY_MEMBERSHEADER);
    ULONG bytes = list.MembersHeader.MembersSize * list.MembersHeader.MembersCount;
    if (bytes && list.Members) memcpy(out, list.Members, bytes);
    out += bytes;
  }
  irp->IoStatus.Information = total;
  return STATUS_SUCCESS;
}

// The properties whose values depend on this one: a KSMULTIPLE_ITEM followed by their identifiers;
// a ULONG-sized buffer asks for the size.
NTSTATUS AnswerRelations(PIRP irp, const KSPROPERTY_ITEM* item, PVOID data, ULONG length) {
  const ULONG size = sizeof(KSMULTIPLE_ITEM) + item->RelationsCount * sizeof(KSPROPERTY);
  irp->IoStatus.Information = size;
  if (length == 0) return STATUS_BUFFER_OVERFLOW;
  if (length == sizeof(ULONG)) {
    *static_cast<ULONG*>(data) = size;
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  if (length < size) {
    irp->IoStatus.Information = 0;
    return STATUS_BUFFER_TOO_SMALL;
  }
  KSMULTIPLE_ITEM header{size, item->RelationsCount};
  memcpy(data, &header, sizeof(header));
  if (item->RelationsCount)
    memcpy(static_cast<uint8_t*>(data) + sizeof(header), item->Relations, item->RelationsCount * sizeof(KSPROPERTY));
  return STATUS_SUCCESS;
}

}  // namespace

Lookup<KSPROPERTY_SET, KSPROPERTY_ITEM> FindPropertyItem(const std::vector<TableRef>& tables, const GUID& set,
                                                        ULONG id) {
  Lookup<KSPROPERTY_SET, KSPROPERTY_ITEM> result;
  for (const TableRef& t : tables) {
    for (ULONG s = 0; s < t.propertySetsCount; ++s) {
      const KSPROPERTY_SET& ps = t.propertySets[s];
      if (!ps.Set || *ps.Set != set) continue;
      if (!result.set) result.set = &ps;
      ULONG stride = t.propertyItemSize ? t.propertyItemSize : sizeof(KSPROPERTY_ITEM);
      for (ULONG i = 0; i < ps.PropertiesCount; ++i) {
        const KSPROPERTY_ITEM* item = ItemAt(ps, i, stride);
        if (item->PropertyId == id) {
          result.set = &ps;
          result.item = item;
          return result;
        }
      }
    }
  }
  return result;
}

namespace {

NTSTATUS DispatchBuffered(PIRP irp, Filter* filter, Pin* pin, PKSPROPERTY property, ULONG inLength, PVOID data,
                          ULONG outLength) {
  std::vector<TableRef> tables;
  NTSTATUS status = CollectTables(filter, pin, property->Flags & KSPROPERTY_TYPE_TOPOLOGY, property, inLength, &tables);
  if (!NT_SUCCESS(status)) return status;

  auto found = FindPropertyItem(tables, property->Set, property->Id);
  const ULONG type = property->Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
  if (type == KSPROPERTY_TYPE_SETSUPPORT) return found.set ? STATUS_SUCCESS : STATUS_PROPSET_NOT_FOUND;
  if (!found.set) return STATUS_PROPSET_NOT_FOUND;
  if (!found.item) return STATUS_NOT_FOUND;
  const KSPROPERTY_ITEM* item = found.item;

  switch (type) {
    case KSPROPERTY_TYPE_GET:
    case KSPROPERTY_TYPE_SET: {
      PFNKSHANDLER handler = type == KSPROPERTY_TYPE_GET ? item->GetPropertyHandler : item->SetPropertyHandler;
      if (!handler) return STATUS_INVALID_DEVICE_REQUEST;
      if (inLength < item->MinProperty) return STATUS_INVALID_BUFFER_SIZE;
      if (outLength < item->MinData) {
        if (outLength == 0) {
          irp->IoStatus.Information = item->MinData;
          return STATUS_BUFFER_OVERFLOW;
        }
        return STATUS_BUFFER_TOO_SMALL;
      }
      irp->IoStatus.Information = type == KSPROPERTY_TYPE_GET ? item->MinData : 0;
      status = handler(irp, property, data);
      if (NT_ERROR(status)) irp->IoStatus.Information = 0;
      return status;
    }
    case KSPROPERTY_TYPE_BASICSUPPORT:
    case KSPROPERTY_TYPE_DEFAULTVALUES:
      if (item->SupportHandler) {
        status = item->SupportHandler(irp, property, data);
        if (NT_ERROR(status)) irp->IoStatus.Information = 0;
        return status;
      }
      return AnswerDescription(irp, item, type == KSPROPERTY_TYPE_DEFAULTVALUES, data, outLength);
    case KSPROPERTY_TYPE_RELATIONS:
      return AnswerRelations(irp, item, data, outLength);
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

constexpr ULONG kBufferTag = 'bpSK';
constexpr uint8_t kUnwrittenByte = 0xA5;
constexpr uint8_t kSecondUnwrittenByte = 0x5A;

// A pool block of the client's data length: the client's data for a set, the fill otherwise.
uint8_t* NewDataBlock(ULONG type, const void* clientData, ULONG length, uint8_t fill) {
  if (!length) return nullptr;
  auto* block = static_cast<uint8_t*>(ExAllocatePoolWithTag(KsPoolType(), length, kBufferTag));
  if (!block) return nullptr;
  if (type == KSPROPERTY_TYPE_SET)
    memcpy(block, clientData, length);
  else
    memset(block, fill, length);
  return block;
}

void CheckAnswerFits(const KSPROPERTY* property, NTSTATUS status, ULONG_PTR information, ULONG outLength) {
  if (NT_SUCCESS(status) && information > outLength)
    KsBugCheck("property request (set %08X, id %lu) completed with Information %lu larger than its %lu-byte buffer",
               static_cast<unsigned>(property->Set.Data1), static_cast<unsigned long>(property->Id),
               static_cast<unsigned long>(information), static_cast<unsigned long>(outLength));
}

bool HoldsByte(const uint8_t* block, ULONG length, uint8_t fill) {
  for (ULONG i = 0; i < length; ++i) {
    if (block[i] == fill) return true;
  }
  return false;
}

}  // namespace

// A user-mode request is buffered as the class driver buffers it: the handlers see pool copies
// of the request and of the data (the client's data for a set, a fill pattern otherwise), and
// only the Information bytes go back to the client.
//
// Every byte a handler reports must be one it wrote: an answer that still holds the fill is
// asked again over a second fill, and a byte that holds each call's fill was never written
// (the pool's contents would reach the application). A handler that writes the fill's value
// itself answers it both times and passes.
NTSTATUS HandleProperty(PIRP irp, Filter* filter, Pin* pin) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  const auto* clientProperty = static_cast<const KSPROPERTY*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
  void* clientData = irp->UserBuffer;
  irp->IoStatus.Information = 0;

  if (!clientProperty || inLength < sizeof(KSPROPERTY)) return STATUS_INVALID_BUFFER_SIZE;
  if (outLength && !clientData) return STATUS_INVALID_USER_BUFFER;

  // The data is a pool block of its own, exactly the client's length: a handler that writes past
  // it damages the block's guard, and freeing it stops the test.
  auto* property = static_cast<PKSPROPERTY>(ExAllocatePoolWithTag(KsPoolType(), inLength, kBufferTag));
  if (!property) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(property, clientProperty, inLength);
  const ULONG type = property->Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
  uint8_t* block = NewDataBlock(type, clientData, outLength, kUnwrittenByte);
  if (outLength && !block) {
    ExFreePool(property);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  NTSTATUS status = DispatchBuffered(irp, filter, pin, property, inLength, block, outLength);
  ULONG_PTR information = irp->IoStatus.Information;
  auto returned = [&]() { return static_cast<ULONG>(information < outLength ? information : outLength); };
  CheckAnswerFits(property, status, information, outLength);

  if (type != KSPROPERTY_TYPE_SET && !NT_ERROR(status) && HoldsByte(block, returned(), kUnwrittenByte)) {
    const ULONG firstReturned = returned();
    uint8_t* second = NewDataBlock(type, clientData, outLength, kSecondUnwrittenByte);
    if (second) {
      memcpy(property, clientProperty, inLength);
      irp->IoStatus.Information = 0;
      status = DispatchBuffered(irp, filter, pin, property, inLength, second, outLength);
      information = irp->IoStatus.Information;
      const ULONG both = NT_ERROR(status) ? 0 : (returned() < firstReturned ? returned() : firstReturned);
      for (ULONG i = 0; i < both; ++i) {
        if (block[i] == kUnwrittenByte && second[i] == kSecondUnwrittenByte)
          KsBugCheck("property handler (set %08X, id %lu, flags %08lX) reported %lu bytes but did not write byte %lu",
                     static_cast<unsigned>(property->Set.Data1), static_cast<unsigned long>(property->Id),
                     static_cast<unsigned long>(property->Flags), static_cast<unsigned long>(information),
                     static_cast<unsigned long>(i));
      }
      ExFreePool(block);
      block = second;
      CheckAnswerFits(property, status, information, outLength);
    }
  }
  if (!NT_ERROR(status) && outLength) memcpy(clientData, block, returned());
  if (block) ExFreePool(block);
  ExFreePool(property);
  return status;
}

}  // namespace kvz::ks
