// Events a client enables on a filter, a pin or a node, and their generation by the minidriver.
// The stand-in signals kernel event and semaphore objects given in KSEVENTDATA.
#include <algorithm>
#include <cstring>
#include <list>
#include <mutex>

#include "automation_tables.h"
#include "ks_objects.h"

namespace kvz::ks {
namespace {

struct EnabledEvent {
  KSEVENT_ENTRY entry;
  KSEVENTDATA data;           // the class driver's copy of what the client gave
  const KSEVENTDATA* client;  // identifies the event when the client disables it
  PVOID object;               // the public filter or pin
  bool oneShot;
};

std::mutex g_lock;
std::list<EnabledEvent*>& Enabled() {
  static auto* list = new std::list<EnabledEvent*>();
  return *list;
}

void Remove(EnabledEvent* e) {
  if (e->entry.EventItem && e->entry.EventItem->RemoveHandler)
    e->entry.EventItem->RemoveHandler(e->entry.FileObject, &e->entry);
  delete e;
}

template <class Pred>
void RemoveIf(Pred pred) {
  std::vector<EnabledEvent*> gone;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    auto& list = Enabled();
    for (auto it = list.begin(); it != list.end();) {
      if (pred(*it)) {
        gone.push_back(*it);
        it = list.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (EnabledEvent* e : gone) Remove(e);
}

}  // namespace

NTSTATUS HandleEnableEvent(PIRP irp, Filter* filter, Pin* pin) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  auto* event = static_cast<PKSEVENT>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
  irp->IoStatus.Information = 0;
  if (!event || inLength < sizeof(KSEVENT)) return STATUS_INVALID_BUFFER_SIZE;

  std::vector<TableRef> tables;
  NTSTATUS status = CollectTables(filter, pin, event->Flags & KSEVENT_TYPE_TOPOLOGY, event, inLength, &tables);
  if (!NT_SUCCESS(status)) return status;
  auto found = FindEventItem(tables, event->Set, event->Id);
  ULONG type = event->Flags & ~KSEVENT_TYPE_TOPOLOGY;
  if (!found.set) return STATUS_PROPSET_NOT_FOUND;
  if (type == KSEVENT_TYPE_SETSUPPORT) return STATUS_SUCCESS;
  if (!found.item) return STATUS_NOT_FOUND;
  if (type == KSEVENT_TYPE_BASICSUPPORT) return STATUS_SUCCESS;
  if (type != KSEVENT_TYPE_ENABLE && type != KSEVENT_TYPE_ONESHOT) return STATUS_INVALID_PARAMETER;

  ULONG needed = std::max<ULONG>(found.item->DataInput, sizeof(KSEVENTDATA));
  if (outLength < needed) return STATUS_BUFFER_TOO_SMALL;
  auto* client = static_cast<const KSEVENTDATA*>(irp->UserBuffer);
  if (!client) return STATUS_INVALID_USER_BUFFER;
  if (client->NotificationType != KSEVENTF_EVENT_OBJECT && client->NotificationType != KSEVENTF_SEMAPHORE_OBJECT)
    return STATUS_INVALID_PARAMETER;

  auto* e = new EnabledEvent();
  memcpy(&e->data, client, sizeof(KSEVENTDATA));
  e->client = client;
  e->object = pin ? static_cast<PVOID>(pin->Public()) : static_cast<PVOID>(filter->Public());
  e->oneShot = type == KSEVENT_TYPE_ONESHOT;
  e->entry.Object = e->object;
  e->entry.EventData = &e->data;
  e->entry.NotificationType = client->NotificationType;
  e->entry.EventSet = found.set;
  e->entry.EventItem = found.item;
  e->entry.FileObject = stack->FileObject;
  if (found.item->AddHandler) {
    status = found.item->AddHandler(irp, &e->data, &e->entry);
    if (!NT_SUCCESS(status)) {
      delete e;
      return status;
    }
  }
  std::lock_guard<std::mutex> hold(g_lock);
  Enabled().push_back(e);
  return STATUS_SUCCESS;
}

NTSTATUS HandleDisableEvent(PIRP irp, Filter*, Pin*) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  auto* client = static_cast<const KSEVENTDATA*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
  PFILE_OBJECT file = stack->FileObject;
  irp->IoStatus.Information = 0;
  if (inLength == 0) {
    RemoveIf([file](EnabledEvent* e) { return e->entry.FileObject == file; });
    return STATUS_SUCCESS;
  }
  if (!client || inLength < sizeof(KSEVENTDATA)) return STATUS_INVALID_BUFFER_SIZE;
  bool any = false;
  RemoveIf([&](EnabledEvent* e) {
    bool match = e->entry.FileObject == file && e->client == client;
    any = any || match;
    return match;
  });
  return any ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

void FreeEventsOfFile(PFILE_OBJECT file) {
  RemoveIf([file](EnabledEvent* e) { return e->entry.FileObject == file; });
}

void FreeEventsOfObject(void* object) {
  RemoveIf([object](EnabledEvent* e) { return e->object == object; });
}

}  // namespace kvz::ks

using namespace kvz::ks;

extern "C" VOID NTAPI KsGenerateEvents(PVOID object, const GUID* eventSet, ULONG eventId, ULONG dataSize, PVOID data,
                                       PFNKSGENERATEEVENTCALLBACK callBack, PVOID callBackContext) {
  UNREFERENCED_PARAMETER(dataSize);
  UNREFERENCED_PARAMETER(data);
  std::vector<KSEVENTDATA> signals;
  std::vector<EnabledEvent*> spent;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    auto& list = Enabled();
    for (auto it = list.begin(); it != list.end();) {
      EnabledEvent* e = *it;
      bool match = e->object == object && (!eventSet || (e->entry.EventSet->Set && *e->entry.EventSet->Set == *eventSet)) &&
                   e->entry.EventItem->EventId == eventId;
      if (match && callBack && !callBack(callBackContext, &e->entry)) match = false;
      if (match) {
        signals.push_back(e->data);
        if (e->oneShot) {
          spent.push_back(e);
          it = list.erase(it);
          continue;
        }
      }
      ++it;
    }
  }
  for (const KSEVENTDATA& s : signals) {
    if (s.NotificationType == KSEVENTF_EVENT_OBJECT)
      KeSetEvent(static_cast<PKEVENT>(s.EventObject.Event), s.EventObject.Increment, FALSE);
    else if (s.NotificationType == KSEVENTF_SEMAPHORE_OBJECT)
      KeReleaseSemaphore(static_cast<PKSEMAPHORE>(s.SemaphoreObject.Semaphore), s.SemaphoreObject.Increment,
                         s.SemaphoreObject.Adjustment, FALSE);
  }
  for (EnabledEvent* e : spent) Remove(e);
}
