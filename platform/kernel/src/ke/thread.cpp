// Thread objects, system threads and the stand-ins' own kernel threads.
#include <sys/syscall.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <system_error>
#include <thread>
#include <unordered_set>

#include "kvz/bugcheck.h"
#include "kvz/kernel_thread.h"
#include "kvz/object_manager.h"
#include "ke/scheduler.h"

namespace kvz::kernel::detail {
namespace {

// System thread objects, for the unload check (guarded by the scheduler lock).
std::unordered_set<PKTHREAD>& SystemThreads() {
  static auto* set = new std::unordered_set<PKTHREAD>;
  return *set;
}

void DeleteThreadObject(void* body) {
  auto* thread = static_cast<PKTHREAD>(body);
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  SystemThreads().erase(thread);
  s.objectNames.erase(body);
}

_OBJECT_TYPE g_threadType = {"Thread", DeleteThreadObject};
POBJECT_TYPE g_threadTypePointer = &g_threadType;
_OBJECT_TYPE g_eventType = {"Event", nullptr};
POBJECT_TYPE g_eventTypePointer = &g_eventType;

// Owns the record of a thread that was never registered; it goes with the thread.
struct ForeignRecord {
  ThreadRecord* record = nullptr;
  ~ForeignRecord() {
    // The main thread's record is left alone: the process is exiting and other threads may
    // still run.
    if (record && CurrentRecordIfAny() == record && syscall(SYS_gettid) != getpid()) EndThread(record);
  }
};
thread_local ForeignRecord tls_foreign;
thread_local std::jmp_buf* tls_exit = nullptr;
LONG g_threadNumber = 0;

void CheckEndingThread(ThreadRecord* self, const char* what) {
  if (PKSPIN_LOCK held = HeldSpinLock())
    BugCheck(SPIN_LOCK_ALREADY_OWNED, "%s '%s' ended holding spin lock %p", what, self->name.c_str(),
             static_cast<void*>(held));
  KIRQL irql = KeGetCurrentIrql();
  if (irql != PASSIVE_LEVEL) BugCheck(IRQL_NOT_LESS_OR_EQUAL, "%s '%s' ended at %s", what, self->name.c_str(), IrqlName(irql));
  if (self->ownedMutexes)
    BugCheck(THREAD_TERMINATE_HELD_MUTEX, "%s '%s' ended holding %d mutex(es)", what, self->name.c_str(),
             self->ownedMutexes);
}

// Starts body on a new kernel thread whose record is counted as runnable before it runs.
NTSTATUS StartKernelThread(const std::string& name, bool system, std::function<void()> body, PKTHREAD* object) {
  auto* record = new ThreadRecord;
  record->name = name;
  record->object = NewThreadObject(name, system, record);
  PKTHREAD thread = record->object;  // the record goes with the thread, which may end at once
  ReferenceObject(thread);           // the caller's
  Scheduler& s = Sched();
  {
    std::lock_guard<std::mutex> held(s.lock);
    s.AddKernelThread(record);
    if (system) SystemThreads().insert(thread);
  }
  try {
    std::thread([record, body = std::move(body)] {
      SetCurrentRecord(record);
      body();
      EndThread(record);
    }).detach();
  } catch (const std::system_error&) {
    {
      std::lock_guard<std::mutex> held(s.lock);
      s.RemoveKernelThread(record);
    }
    EndThread(record);
    DereferenceObject(thread);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *object = thread;
  return STATUS_SUCCESS;
}

}  // namespace

PKTHREAD NewThreadObject(const std::string& name, bool systemThread, ThreadRecord* record) {
  auto* thread = static_cast<PKTHREAD>(CreateObject(&g_threadType, sizeof(ETHREAD)));
  thread->Header.Type = ThreadObject;
  thread->Header.Size = sizeof(KTHREAD) / sizeof(LONG);
  thread->Header.SignalState = 0;
  InitializeListHead(&thread->Header.WaitListHead);
  thread->Record = record;
  thread->SystemThread = systemThread;
  thread->Reported = false;
  std::snprintf(thread->Name, sizeof thread->Name, "%s", name.c_str());
  return thread;
}

ThreadRecord* Self() {
  if (ThreadRecord* t = CurrentRecordIfAny()) return t;
  auto* record = new ThreadRecord;
  char name[32];
  std::snprintf(name, sizeof name, "thread %d", static_cast<int>(InterlockedIncrement(&g_threadNumber)));
  record->name = name;
  record->object = NewThreadObject(name, false, record);
  tls_foreign.record = record;
  SetCurrentRecord(record);
  return record;
}

void EndThread(ThreadRecord* self) {
  PKTHREAD object = self->object;
  bool last;
  {
    Scheduler& s = Sched();
    std::lock_guard<std::mutex> held(s.lock);
    // The thread's own reference goes before anyone can see it ended.
    last = DropReference(object);
    object->Header.SignalState = 1;
    object->Record = nullptr;
    s.SatisfyWaiters(object);
    if (self->kernel) s.RemoveKernelThread(self);
  }
  if (CurrentRecordIfAny() == self) SetCurrentRecord(nullptr);
  delete self;
  if (last) DestroyDropped(object);
}

std::vector<std::string> SystemThreadFindings() {
  std::vector<std::string> lines;
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  for (PKTHREAD t : SystemThreads()) {
    if (t->Reported) continue;
    t->Reported = true;
    if (t->Record) {
      lines.push_back(std::string("system thread '") + t->Name + "' still running (" + s.DescribeWait(t->Record) + ")");
    } else {
      lines.push_back(std::string("system thread '") + t->Name + "' ended but its thread object is still referenced (" +
                      std::to_string(ReferenceCount(t)) + ")");
    }
  }
  return lines;
}

}  // namespace kvz::kernel::detail

using namespace kvz::kernel;
using namespace kvz::kernel::detail;

extern "C" {
POBJECT_TYPE* PsThreadType = &g_threadTypePointer;
POBJECT_TYPE* ExEventObjectType = &g_eventTypePointer;
}

extern "C" NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE,
                                               PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                               PVOID StartContext) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql != PASSIVE_LEVEL) BugCheck(IRQL_NOT_LESS_OR_EQUAL, "PsCreateSystemThread at %s", IrqlName(irql));
  char name[48];
  std::snprintf(name, sizeof name, "system thread %p", reinterpret_cast<void*>(StartRoutine));
  PKTHREAD object = nullptr;
  NTSTATUS status = StartKernelThread(
      name, true,
      [StartRoutine, StartContext] {
        std::jmp_buf exit;
        if (setjmp(exit) == 0) {
          tls_exit = &exit;
          StartRoutine(StartContext);
        }
        tls_exit = nullptr;
        CheckEndingThread(CurrentRecordIfAny(), "system thread");
      },
      &object);
  if (!NT_SUCCESS(status)) return status;
  *ThreadHandle = CreateHandle(object);
  if (ClientId) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
    ClientId->UniqueThread = *ThreadHandle;
  }
  DereferenceObject(object);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS) {
  if (!tls_exit) BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "PsTerminateSystemThread outside a system thread");
  CheckEndingThread(CurrentRecordIfAny(), "system thread");
  std::longjmp(*tls_exit, 1);
}

extern "C" PETHREAD NTAPI PsGetCurrentThread(void) { return reinterpret_cast<PETHREAD>(Self()->object); }
extern "C" PKTHREAD NTAPI KeGetCurrentThread(void) { return Self()->object; }
extern "C" HANDLE NTAPI PsGetCurrentThreadId(void) { return reinterpret_cast<HANDLE>(Self()->object); }
extern "C" PEPROCESS NTAPI PsGetCurrentProcess(void) {
  static char systemProcess;
  return reinterpret_cast<PEPROCESS>(&systemProcess);
}
extern "C" HANDLE NTAPI PsGetCurrentProcessId(void) { return reinterpret_cast<HANDLE>(4); }
extern "C" BOOLEAN NTAPI PsIsSystemThread(PETHREAD Thread) {
  return reinterpret_cast<PKTHREAD>(Thread)->SystemThread ? TRUE : FALSE;
}
extern "C" KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD, KPRIORITY) { return 8; }

namespace kvz::kernel {

KernelThread::KernelThread(const std::string& name, std::function<void()> body) : thread_(nullptr) {
  NTSTATUS status = StartKernelThread(
      name, false,
      [body = std::move(body)] {
        body();
        CheckEndingThread(CurrentRecordIfAny(), "kernel thread");
      },
      &thread_);
  if (!NT_SUCCESS(status)) BugCheck(0, "cannot start kernel thread '%s'", name.c_str());
}

KernelThread::~KernelThread() {
  Join();
  DereferenceObject(thread_);
}

void KernelThread::Join() {
  if (joined_) return;
  KeWaitForSingleObject(thread_, Executive, KernelMode, FALSE, nullptr);
  joined_ = true;
}

}  // namespace kvz::kernel
