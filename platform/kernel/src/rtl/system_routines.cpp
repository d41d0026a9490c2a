// MmGetSystemRoutineAddress: the exported routines of this stand-in by name. Tests hide names to
// play a system that does not export them yet.
#include "ke/irql_check.h"
#include <mutex>
#include <set>

#include "kvz/system_testing.h"
#include "rtl/utf16.h"
#include "wdm.h"

namespace kvz::kernel {
namespace {

std::mutex g_hiddenLock;
std::set<std::u16string> g_hidden;  // upper case

struct Export {
  const char16_t* name;
  void* address;
};

#define KVZ_EXPORT(f) {u## #f, reinterpret_cast<void*>(&f)}
const Export kExports[] = {
    KVZ_EXPORT(RtlQueryRegistryValues),
    KVZ_EXPORT(RtlQueryRegistryValuesEx),
    KVZ_EXPORT(RtlWriteRegistryValue),
    KVZ_EXPORT(RtlGetVersion),
    KVZ_EXPORT(RtlIsNtDdiVersionAvailable),
    KVZ_EXPORT(RtlInitUnicodeString),
    KVZ_EXPORT(RtlCompareUnicodeString),
    KVZ_EXPORT(ExAllocatePoolWithTag),
    KVZ_EXPORT(ExFreePoolWithTag),
    KVZ_EXPORT(ExAllocatePool),
    KVZ_EXPORT(ExFreePool),
    KVZ_EXPORT(IoAllocateIrp),
    KVZ_EXPORT(IoFreeIrp),
    KVZ_EXPORT(IoSetCompletionRoutineEx),
    KVZ_EXPORT(IoAllocateWorkItem),
    KVZ_EXPORT(IoQueueWorkItem),
    KVZ_EXPORT(IoFreeWorkItem),
    KVZ_EXPORT(IoGetDeviceProperty),
    KVZ_EXPORT(IoRegisterDeviceInterface),
    KVZ_EXPORT(IoSetDeviceInterfaceState),
    KVZ_EXPORT(PoRequestPowerIrp),
    KVZ_EXPORT(PoSetPowerState),
    KVZ_EXPORT(ExCreateCallback),
    KVZ_EXPORT(ExRegisterCallback),
    KVZ_EXPORT(ExUnregisterCallback),
    KVZ_EXPORT(ExNotifyCallback),
    KVZ_EXPORT(MmGetSystemRoutineAddress),
    KVZ_EXPORT(ZwOpenKey),
    KVZ_EXPORT(ZwQueryValueKey),
    KVZ_EXPORT(ZwCreateFile),
    KVZ_EXPORT(ZwReadFile),
};
#undef KVZ_EXPORT

}  // namespace

void HideSystemRoutine(const std::u16string& name, bool hidden) {
  std::lock_guard<std::mutex> hold(g_hiddenLock);
  if (hidden) g_hidden.insert(UpperCase(name));
  else g_hidden.erase(UpperCase(name));
}

void ResetSystemRoutines() {
  std::lock_guard<std::mutex> hold(g_hiddenLock);
  g_hidden.clear();
}

}  // namespace kvz::kernel

extern "C" PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
  kvz::kernel::RequirePassive("MmGetSystemRoutineAddress");
  using namespace kvz::kernel;
  std::u16string name = FromCounted(SystemRoutineName);
  {
    std::lock_guard<std::mutex> hold(g_hiddenLock);
    if (g_hidden.count(UpperCase(name))) return nullptr;
  }
  // Export names are case-sensitive.
  for (const Export& e : kExports)
    if (name == e.name) return e.address;
  return nullptr;
}
