// From any public KS pointer, file object or IRP back to the class driver's records.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "kvz/bugcheck.h"
#include "kvz/kernel_testing.h"
#include "ks_objects.h"

namespace kvz::ks {
namespace {

std::mutex g_lock;
std::unordered_set<const ShellHeader*>& Live() {
  static auto* live = new std::unordered_set<const ShellHeader*>();
  return *live;
}
std::atomic<int> g_counts[5];

const char* KindName(int kind) {
  switch (kind) {
    case 1: return "KS device";
    case 2: return "KS filter factory";
    case 3: return "KS filter";
    case 4: return "KS pin";
  }
  return "KS object";
}

void InstallUnloadHookOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    kvz::kernel::AddUnloadHook("ks", [](std::vector<std::string>& findings) {
      for (int k = 1; k <= 4; ++k) {
        int n = g_counts[k].exchange(0);
        if (n > 0) findings.push_back(std::to_string(n) + " " + KindName(k) + " object(s) still alive");
      }
    });
  });
}

}  // namespace

void RegisterShell(ShellHeader* header) {
  header->magic = kShellMagic;
  std::lock_guard<std::mutex> hold(g_lock);
  Live().insert(header);
}

void UnregisterShell(ShellHeader* header) {
  std::lock_guard<std::mutex> hold(g_lock);
  Live().erase(header);
  header->magic = 0;
}

ShellHeader* HeaderFromContext(const void* fsContext) {
  if (!fsContext) return nullptr;
  std::lock_guard<std::mutex> hold(g_lock);
  auto* h = static_cast<const ShellHeader*>(fsContext);
  if (!Live().count(h)) return nullptr;
  return const_cast<ShellHeader*>(h);
}

ShellHeader* HeaderOf(const void* publicObject) {
  if (!publicObject) return nullptr;
  return HeaderFromContext(static_cast<const uint8_t*>(publicObject) - sizeof(ShellHeader));
}

void CountLive(ObjectKind kind, int delta) {
  InstallUnloadHookOnce();
  g_counts[static_cast<int>(kind)] += delta;
}

void KsBugCheck(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  kvz::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "%s", text);
}

ShellHeader* LiveObject(const void* object, const char* routine) {
  ShellHeader* h = HeaderOf(object);
  if (!h) KsBugCheck("%s of %p, which is not a live kernel-streaming object", routine, object);
  return h;
}

namespace {

template <class Record>
Record* LiveOfKind(const void* object, ObjectKind kind, const char* routine) {
  ShellHeader* h = LiveObject(object, routine);
  if (h->kind != kind)
    KsBugCheck("%s of %p, which is a %s, not a %s", routine, object, KindName(static_cast<int>(h->kind)),
               KindName(static_cast<int>(kind)));
  return static_cast<Record*>(h->record);
}

}  // namespace

Device* LiveDevice(const KSDEVICE* device, const char* routine) {
  return LiveOfKind<Device>(device, ObjectKind::Device, routine);
}
Filter* LiveFilter(const KSFILTER* filter, const char* routine) {
  return LiveOfKind<Filter>(filter, ObjectKind::Filter, routine);
}
Pin* LivePin(const KSPIN* pin, const char* routine) { return LiveOfKind<Pin>(pin, ObjectKind::Pin, routine); }

bool OwnsMutex(KMUTEX* mutex) {
  return __atomic_load_n(&mutex->OwnerThread, __ATOMIC_ACQUIRE) == KeGetCurrentThread();
}

Device* DeviceOfDeviceObject(PDEVICE_OBJECT fdo) {
  if (!fdo || !fdo->DeviceExtension) return nullptr;
  auto* device = *static_cast<Device**>(fdo->DeviceExtension);
  if (!device || !HeaderFromContext(&device->shell.header)) return nullptr;
  return device;
}

namespace {

// The live object an IRP's file object stands for, if any.
ShellHeader* HeaderOfIrp(PIRP irp) {
  if (!irp || !irp->Tail.Overlay.CurrentStackLocation) return nullptr;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (!stack->FileObject) return nullptr;
  return HeaderFromContext(stack->FileObject->FsContext);
}

}  // namespace

Filter* FilterOfIrp(PIRP irp) {
  ShellHeader* h = HeaderOfIrp(irp);
  if (!h) return nullptr;
  if (h->kind == ObjectKind::Filter) return static_cast<Filter*>(h->record);
  if (h->kind == ObjectKind::Pin) return static_cast<Pin*>(h->record)->filter;
  return nullptr;
}

Pin* PinOfIrp(PIRP irp) {
  ShellHeader* h = HeaderOfIrp(irp);
  if (!h || h->kind != ObjectKind::Pin) return nullptr;
  return static_cast<Pin*>(h->record);
}

std::u16string ToU16(const UNICODE_STRING& s) {
  if (!s.Buffer) return {};
  return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 32);
    if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace kvz::ks

using namespace kvz::ks;

extern "C" PKSDEVICE NTAPI KsGetDevice(PVOID object) {
  ShellHeader* h = LiveObject(object, "KsGetDevice");
  switch (h->kind) {
    case ObjectKind::Device: return static_cast<Device*>(h->record)->Public();
    case ObjectKind::FilterFactory: return static_cast<FilterFactory*>(h->record)->device->Public();
    case ObjectKind::Filter: return static_cast<Filter*>(h->record)->device->Public();
    case ObjectKind::Pin: return static_cast<Pin*>(h->record)->filter->device->Public();
  }
  return nullptr;
}

extern "C" PKSDEVICE NTAPI KsGetDeviceForDeviceObject(PDEVICE_OBJECT fdo) {
  Device* d = DeviceOfDeviceObject(fdo);
  return d ? d->Public() : nullptr;
}

extern "C" PKSFILTER NTAPI KsGetFilterFromIrp(PIRP irp) {
  Filter* f = FilterOfIrp(irp);
  return f ? f->Public() : nullptr;
}

extern "C" PKSPIN NTAPI KsGetPinFromIrp(PIRP irp) {
  Pin* p = PinOfIrp(irp);
  return p ? p->Public() : nullptr;
}

extern "C" PVOID NTAPI KsGetParent(PVOID object) {
  ShellHeader* h = LiveObject(object, "KsGetParent");
  switch (h->kind) {
    case ObjectKind::Device: return nullptr;
    case ObjectKind::FilterFactory: return static_cast<FilterFactory*>(h->record)->device->Public();
    case ObjectKind::Filter: {
      auto* f = static_cast<Filter*>(h->record);
      return f->factory ? static_cast<PVOID>(&f->factory->shell.pub) : nullptr;
    }
    case ObjectKind::Pin: return static_cast<Pin*>(h->record)->filter->Public();
  }
  return nullptr;
}

extern "C" PKSFILTER NTAPI KsPinGetParentFilter(PKSPIN pin) {
  return LivePin(pin, "KsPinGetParentFilter")->filter->Public();
}

extern "C" PKSFILTER NTAPI KsGetFilterFromPin(PKSPIN pin) {
  return LivePin(pin, "KsGetFilterFromPin")->filter->Public();
}

extern "C" VOID NTAPI KsAcquireDevice(PKSDEVICE device) {
  Device* d = LiveDevice(device, "KsAcquireDevice");
  KeWaitForSingleObject(&d->mutex, Executive, KernelMode, FALSE, nullptr);
}

extern "C" VOID NTAPI KsReleaseDevice(PKSDEVICE device) {
  Device* d = LiveDevice(device, "KsReleaseDevice");
  KeReleaseMutex(&d->mutex, FALSE);
}

extern "C" VOID NTAPI KsFilterAcquireControl(PKSFILTER filter) {
  Filter* f = LiveFilter(filter, "KsFilterAcquireControl");
  KeWaitForSingleObject(&f->control, Executive, KernelMode, FALSE, nullptr);
}

extern "C" VOID NTAPI KsFilterReleaseControl(PKSFILTER filter) {
  Filter* f = LiveFilter(filter, "KsFilterReleaseControl");
  KeReleaseMutex(&f->control, FALSE);
}
