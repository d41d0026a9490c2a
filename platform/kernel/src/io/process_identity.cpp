// The calling process as the driver sees it: IoGetCurrentProcess, its image path and desktop.
#include <mutex>
#include <set>

#include "kvz/io_testing.h"
#include "wdm.h"

namespace kvz::kernel {
namespace {

constexpr ULONG kNameTag = 'nIeS';

struct ProcessRecord {
  ProcessIdentity identity;
};

std::mutex g_lock;
std::set<const ProcessRecord*>& Live() {
  static auto* live = new std::set<const ProcessRecord*>;
  return *live;
}
thread_local PEPROCESS t_current = nullptr;

// A pool block holding a UNICODE_STRING followed by its text, as the kernel returns names.
NTSTATUS CopyOut(const std::u16string& text, PUNICODE_STRING* out) {
  const size_t bytes = text.size() * sizeof(char16_t);
  auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, sizeof(UNICODE_STRING) + bytes + 2, kNameTag));
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  auto* name = reinterpret_cast<PUNICODE_STRING>(block);
  name->Buffer = reinterpret_cast<PWCH>(block + sizeof(UNICODE_STRING));
  name->Length = static_cast<USHORT>(bytes);
  name->MaximumLength = static_cast<USHORT>(bytes + 2);
  memcpy(name->Buffer, text.data(), bytes);
  name->Buffer[text.size()] = 0;
  *out = name;
  return STATUS_SUCCESS;
}

// The identity of a live process of ours; the System process (or any other) has none.
ProcessIdentity IdentityOf(PEPROCESS process) {
  auto* record = reinterpret_cast<const ProcessRecord*>(process);
  std::lock_guard<std::mutex> hold(g_lock);
  if (Live().count(record)) return record->identity;
  return ProcessIdentity{u"", u""};
}

}  // namespace

ProcessScope::ProcessScope(const ProcessIdentity& identity) {
  auto* record = new ProcessRecord{identity};
  {
    std::lock_guard<std::mutex> hold(g_lock);
    Live().insert(record);
  }
  process_ = reinterpret_cast<PEPROCESS>(record);
  previous_ = t_current;
  t_current = process_;
}

ProcessScope::~ProcessScope() {
  t_current = previous_;
  auto* record = reinterpret_cast<ProcessRecord*>(process_);
  {
    std::lock_guard<std::mutex> hold(g_lock);
    Live().erase(record);
  }
  delete record;
}

}  // namespace kvz::kernel

using namespace kvz::kernel;

extern "C" PEPROCESS NTAPI IoGetCurrentProcess(void) { return t_current ? t_current : PsGetCurrentProcess(); }

extern "C" NTSTATUS NTAPI SeLocateProcessImageName(PEPROCESS Process, PUNICODE_STRING* pImageFileName) {
  return CopyOut(IdentityOf(Process).imagePath, pImageFileName);
}

extern "C" NTSTATUS NTAPI KvzQueryProcessDesktopName(PEPROCESS Process, PUNICODE_STRING* pDesktopName) {
  return CopyOut(IdentityOf(Process).desktop, pDesktopName);
}
