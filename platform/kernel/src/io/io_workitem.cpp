// I/O work items: a routine run at PASSIVE_LEVEL on a system worker thread with a reference on
// the device object kept while the item is queued.
#include <cstdio>
#include <map>
#include <mutex>

#include "ke/irql_check.h"
#include "kvz/object_manager.h"
#include "kvz/worker_queue.h"
#include "wdm.h"

struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
  PIO_WORKITEM_ROUTINE routine;
  PVOID context;
  volatile LONG queued;
};

namespace {
constexpr ULONG kWorkItemTag = 'kWoI';

// Queued or running I/O work items per driver: their device reference keeps the driver loaded.
struct InFlight {
  std::mutex lock;
  std::map<PDRIVER_OBJECT, int> count;
};

InFlight& Items() {
  static auto* items = new InFlight;
  return *items;
}

void CountItem(PDRIVER_OBJECT driver, int delta) {
  InFlight& f = Items();
  std::lock_guard<std::mutex> held(f.lock);
  if ((f.count[driver] += delta) == 0) f.count.erase(driver);
}
}  // namespace

namespace kvz::kernel::io {
int IoWorkItemsInFlight(PDRIVER_OBJECT driver) {
  InFlight& f = Items();
  std::lock_guard<std::mutex> held(f.lock);
  auto it = f.count.find(driver);
  return it == f.count.end() ? 0 : it->second;
}
}  // namespace kvz::kernel::io

using namespace kvz::kernel;

extern "C" PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
  auto* item = static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_IO_WORKITEM), kWorkItemTag));
  if (!item) return nullptr;
  item->device = DeviceObject;
  item->routine = nullptr;
  item->context = nullptr;
  item->queued = 0;
  return item;
}

extern "C" VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                      WORK_QUEUE_TYPE QueueType, PVOID Context) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
  if (InterlockedExchange(&IoWorkItem->queued, 1))
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "I/O work item %p queued again before its routine ran",
             static_cast<void*>(IoWorkItem));
  IoWorkItem->routine = WorkerRoutine;
  IoWorkItem->context = Context;
  ObfReferenceObject(IoWorkItem->device);
  PDRIVER_OBJECT driver = IoWorkItem->device->DriverObject;
  CountItem(driver, 1);
  char what[96];
  std::snprintf(what, sizeof(what), "I/O work item %p (routine %p)", static_cast<void*>(IoWorkItem),
                reinterpret_cast<void*>(WorkerRoutine));
  QueueSystemWork(
      QueueType,
      [IoWorkItem, driver] {
        PDEVICE_OBJECT device = IoWorkItem->device;
        PIO_WORKITEM_ROUTINE routine = IoWorkItem->routine;
        PVOID context = IoWorkItem->context;
        InterlockedExchange(&IoWorkItem->queued, 0);
        // The routine may free the item; only the copies are used from here on.
        routine(device, context);
        ObfDereferenceObject(device);
        CountItem(driver, -1);
      },
      what);
}

extern "C" VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeWorkItem");
  if (IoWorkItem->queued)
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "I/O work item %p freed while queued", static_cast<void*>(IoWorkItem));
  ExFreePoolWithTag(IoWorkItem, kWorkItemTag);
}
