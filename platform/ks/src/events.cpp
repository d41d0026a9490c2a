// Events a client enables on a filter, a pin or a node, and their generation by the minidriver.
// The stand-in signals kernel event and semaphore objects given in KSEVENTDATA.
#include <algorithm>
#include <cstring>
#include <list>
#include <memory>
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
  PVOID signalled = nullptr;  // the event or semaphore object, referenced for a handle
  bool byHandle = false;
  bool oneShot;
};
using EventRef = std::shared_ptr<EnabledEvent>;

std::mutex g_lock;
std::list<EventRef>& Enabled() {
  static auto* list = new std::list<EventRef>();
  return *list;
}

void Remove(const EventRef& e) {
  if (e->entry.EventItem && e->entry.EventItem->RemoveHandler)
    e->entry.EventItem->RemoveHandler(e->entry.FileObject, &e->entry);
  if (e->byHandle && e->signalled) ObDereferenceObject(e->signalled);
}

template <class Pred>
void RemoveIf(Pred pred) {
  std::vector<EventRef> gone;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    auto& list = Enabled();
    for (auto it = list.begin(); it != list.end();) {
      if (pred(it->get())) {
        gone.push_back(*it);
        it = list.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const EventRef& e : gone) Remove(e);
}

// A client's event handle becomes a referenced event object, as the class driver references it
// in the client's context. Semaphore handles, DPCs and work items are not offered.
NTSTATUS ReferenceNotification(const KSEVENTDATA& client, KPROCESSOR_MODE mode, EnabledEvent* e) {
  switch (client.NotificationType) {
    case KSEVENTF_EVENT_OBJECT:
      e->signalled = client.EventObject.Event;
      return e->signalled ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    case KSEVENTF_SEMAPHORE_OBJECT:
      e->signalled = client.SemaphoreObject.Semaphore;
      return e->signalled ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    case KSEVENTF_EVENT_HANDLE:
      e->byHandle = true;
      return ObReferenceObjectByHandle(client.EventHandle.Event, EVENT_MODIFY_STATE, *ExEventObjectType, mode,
                                       &e->signalled, nullptr);
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

void Signal(const EnabledEvent& e) {
  switch (e.data.NotificationType) {
    case KSEVENTF_EVENT_OBJECT:
    case KSEVENTF_EVENT_HANDLE:
      KeSetEvent(static_cast<PKEVENT>(e.signalled), e.data.NotificationType == KSEVENTF_EVENT_OBJECT
                                                         ? e.data.EventObject.Increment
                                                         : IO_NO_INCREMENT,
                 FALSE);
      break;
    case KSEVENTF_SEMAPHORE_OBJECT:
      KeReleaseSemaphore(static_cast<PKSEMAPHORE>(e.signalled), e.data.SemaphoreObject.Increment,
                         e.data.SemaphoreObject.Adjustment, FALSE);
      break;
    default:
      break;
  }
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

  auto e = std::make_shared<EnabledEvent>();
  memcpy(&e->data, client, sizeof(KSEVENTDATA));
  status = ReferenceNotification(e->data, irp->RequestorMode, e.get());
  if (!NT_SUCCESS(status)) return status == STATUS_INVALID_PARAMETER ? status : STATUS_INVALID_HANDLE;
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
      if (e->byHandle) ObDereferenceObject(e->signalled);
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

// The minidriver's callback decides per enabled event; it runs with no lock of the class
// driver held, so it may take the minidriver's own locks.
extern "C" VOID NTAPI KsGenerateEvents(PVOID object, const GUID* eventSet, ULONG eventId, ULONG dataSize, PVOID data,
                                       PFNKSGENERATEEVENTCALLBACK callBack, PVOID callBackContext) {
  UNREFERENCED_PARAMETER(dataSize);
  UNREFERENCED_PARAMETER(data);
  LiveObject(object, "KsGenerateEvents");
  std::vector<EventRef> candidates;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    for (const EventRef& e : Enabled()) {
      if (e->object == object && (!eventSet || (e->entry.EventSet->Set && *e->entry.EventSet->Set == *eventSet)) &&
          e->entry.EventItem->EventId == eventId)
        candidates.push_back(e);
    }
  }
  for (const EventRef& e : candidates) {
    if (callBack && !callBack(callBackContext, &e->entry)) continue;
    bool spent = false;
    {
      std::lock_guard<std::mutex> hold(g_lock);
      auto& list = Enabled();
      auto it = std::find(list.begin(), list.end(), e);
      if (it == list.end()) continue;  // disabled meanwhile
      if (e->oneShot) {
        list.erase(it);
        spent = true;
      }
    }
    Signal(*e);
    if (spent) Remove(e);
  }
}
