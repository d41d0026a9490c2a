#include "kvz/object_manager.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <unordered_map>

#include "ke/fork_safety.h"
#include "kvz/bugcheck.h"
#include "ke/scheduler.h"

namespace kvz::kernel {
namespace {

struct ObjectEntry {
  POBJECT_TYPE type;
  LONG_PTR references;
};

struct HandleEntry {
  void* body;
  bool reported;
};

struct Objects {
  std::mutex lock;
  std::unordered_map<const void*, ObjectEntry> objects;
  std::map<uintptr_t, HandleEntry> handles;
  uintptr_t nextHandle = 4;
};

Objects& Table() {
  static Objects* table = [] {
    detail::RegisterForkHandlers();
    return new Objects;
  }();
  return *table;
}

constexpr std::align_val_t kBodyAlignment{16};

}  // namespace

void* CreateObject(POBJECT_TYPE type, size_t bodySize) {
  void* body = ::operator new(bodySize ? bodySize : 1, kBodyAlignment);
  std::memset(body, 0, bodySize);
  Objects& t = Table();
  std::lock_guard<std::mutex> held(t.lock);
  t.objects[body] = ObjectEntry{type, 1};
  return body;
}

bool IsObject(const void* body) {
  Objects& t = Table();
  std::lock_guard<std::mutex> held(t.lock);
  return t.objects.count(body) != 0;
}

POBJECT_TYPE TypeOfObject(const void* body) {
  Objects& t = Table();
  std::lock_guard<std::mutex> held(t.lock);
  auto it = t.objects.find(body);
  return it == t.objects.end() ? nullptr : it->second.type;
}

LONG_PTR ReferenceCount(const void* body) {
  Objects& t = Table();
  std::lock_guard<std::mutex> held(t.lock);
  auto it = t.objects.find(body);
  return it == t.objects.end() ? 0 : it->second.references;
}

void ReferenceObject(void* body) {
  Objects& t = Table();
  std::lock_guard<std::mutex> held(t.lock);
  auto it = t.objects.find(body);
  if (it == t.objects.end()) BugCheck(INVALID_DATA_ACCESS_TRAP, "ObReferenceObject on %p, which is not an object", body);
  ++it->second.references;
}

void DereferenceObject(void* body) {
  POBJECT_TYPE type;
  {
    Objects& t = Table();
    std::lock_guard<std::mutex> held(t.lock);
    auto it = t.objects.find(body);
    if (it == t.objects.end())
      BugCheck(INVALID_DATA_ACCESS_TRAP, "ObDereferenceObject on %p, which is not an object (or is gone)", body);
    if (--it->second.references > 0) return;
    type = it->second.type;
    t.objects.erase(it);
  }
  if (type && type->Delete) type->Delete(body);
  ::operator delete(body, kBodyAlignment);
}

namespace detail {

bool DropReference(void* body) {
  Objects& t = Table();
  std::lock_guard<std::mutex> held(t.lock);
  auto it = t.objects.find(body);
  if (it == t.objects.end())
    BugCheck(INVALID_DATA_ACCESS_TRAP, "ObDereferenceObject on %p, which is not an object (or is gone)", body);
  if (--it->second.references > 0) return false;
  it->second.references = 0;  // kept in the table (unreachable) until DestroyDropped
  return true;
}

void DestroyDropped(void* body) {
  POBJECT_TYPE type;
  {
    Objects& t = Table();
    std::lock_guard<std::mutex> held(t.lock);
    auto it = t.objects.find(body);
    type = it->second.type;
    t.objects.erase(it);
  }
  if (type && type->Delete) type->Delete(body);
  ::operator delete(body, kBodyAlignment);
}

}  // namespace detail

HANDLE CreateHandle(void* body) {
  ReferenceObject(body);
  Objects& t = Table();
  std::lock_guard<std::mutex> held(t.lock);
  uintptr_t value = t.nextHandle;
  t.nextHandle += 4;
  t.handles[value] = HandleEntry{body, false};
  return reinterpret_cast<HANDLE>(value);
}

NTSTATUS ReferenceObjectByHandle(HANDLE handle, POBJECT_TYPE expected, void** body) {
  Objects& t = Table();
  std::lock_guard<std::mutex> held(t.lock);
  auto it = t.handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == t.handles.end()) return STATUS_INVALID_HANDLE;
  ObjectEntry& entry = t.objects.at(it->second.body);
  if (expected && entry.type != expected) return STATUS_OBJECT_TYPE_MISMATCH;
  ++entry.references;
  *body = it->second.body;
  return STATUS_SUCCESS;
}

NTSTATUS CloseHandle(HANDLE handle) {
  void* body;
  {
    Objects& t = Table();
    std::lock_guard<std::mutex> held(t.lock);
    auto it = t.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.handles.end()) return STATUS_INVALID_HANDLE;
    body = it->second.body;
    t.handles.erase(it);
  }
  DereferenceObject(body);
  return STATUS_SUCCESS;
}

std::vector<std::string> OpenHandles() {
  std::vector<std::string> lines;
  Objects& t = Table();
  std::lock_guard<std::mutex> held(t.lock);
  for (auto& [value, entry] : t.handles) {
    if (entry.reported) continue;
    const ObjectEntry& object = t.objects.at(entry.body);
    char line[160];
    std::snprintf(line, sizeof line, "handle %#lx (%s) still open", static_cast<unsigned long>(value),
                  object.type && object.type->Name ? object.type->Name : "object");
    lines.push_back(line);
    entry.reported = true;
  }
  return lines;
}

namespace detail {
void ObjectsForkPrepare() { Table().lock.lock(); }
void ObjectsForkParent() { Table().lock.unlock(); }
}  // namespace detail

}  // namespace kvz::kernel

using namespace kvz::kernel;

extern "C" NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE ObjectType,
                                                    KPROCESSOR_MODE, PVOID* Object,
                                                    POBJECT_HANDLE_INFORMATION HandleInformation) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > APC_LEVEL)
    BugCheck(IRQL_NOT_LESS_OR_EQUAL, "ObReferenceObjectByHandle at %s", detail::IrqlName(irql));
  NTSTATUS status = ReferenceObjectByHandle(Handle, ObjectType, Object);
  if (NT_SUCCESS(status) && HandleInformation) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = 0x1FFFFF;
  }
  return status;
}

extern "C" LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
  ReferenceObject(Object);
  return ReferenceCount(Object);
}

extern "C" LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) BugCheck(IRQL_NOT_LESS_OR_EQUAL, "ObDereferenceObject at %s", detail::IrqlName(irql));
  LONG_PTR left = ReferenceCount(Object) - 1;
  DereferenceObject(Object);
  return left;
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql != PASSIVE_LEVEL) BugCheck(IRQL_NOT_LESS_OR_EQUAL, "ZwClose at %s", detail::IrqlName(irql));
  NTSTATUS status = CloseHandle(Handle);
  if (status == STATUS_INVALID_HANDLE)
    BugCheck(0x93 /* INVALID_KERNEL_HANDLE */, "ZwClose of handle %p, which is not open", Handle);
  return status;
}
