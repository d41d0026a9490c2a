// From any public KS pointer, file object or IRP back to the class driver's records.
#include <atomic>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

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
  ShellHeader* h = HeaderOf(object);
  if (!h) return nullptr;
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
  ShellHeader* h = HeaderOf(object);
  if (!h) return nullptr;
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
  Pin* p = PinOf(pin);
  return p ? p->filter->Public() : nullptr;
}

extern "C" PKSFILTER NTAPI KsGetFilterFromPin(PKSPIN pin) { return KsPinGetParentFilter(pin); }

extern "C" VOID NTAPI KsAcquireDevice(PKSDEVICE device) {
  Device* d = DeviceOf(device);
  if (d) KeWaitForSingleObject(&d->mutex, Executive, KernelMode, FALSE, nullptr);
}

extern "C" VOID NTAPI KsReleaseDevice(PKSDEVICE device) {
  Device* d = DeviceOf(device);
  if (d) KeReleaseMutex(&d->mutex, FALSE);
}

extern "C" VOID NTAPI KsFilterAcquireControl(PKSFILTER filter) {
  Filter* f = FilterOf(filter);
  if (f) KeWaitForSingleObject(&f->control, Executive, KernelMode, FALSE, nullptr);
}

extern "C" VOID NTAPI KsFilterReleaseControl(PKSFILTER filter) {
  Filter* f = FilterOf(filter);
  if (f) KeReleaseMutex(&f->control, FALSE);
}
