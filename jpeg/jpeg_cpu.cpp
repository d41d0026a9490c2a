#include "jpeg/jpeg_cpu.h"

#include <wdm.h>

#include <atomic>

#include "jpeg/jpeg_constants.h"
#include "primitives/build_selection.h"
#include "primitives/cpu_type.h"

namespace kvz::jpeg {
namespace {

#if defined(KVZ_PATH_COUNTS)
std::atomic<int32_t> g_overrideSlot{-1};
#endif
std::atomic<bool> g_buildSelected{false};

const char16_t kProcessorKey[] = u"\\Registry\\MACHINE\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
constexpr USHORT kVendorTextBytes = 256;

bool Contains(const UNICODE_STRING& text, const char* needle) {
  const size_t chars = text.Length / sizeof(WCHAR);
  for (size_t start = 0; start < chars; ++start) {
    size_t i = 0;
    while (needle[i] != 0 && start + i < chars && text.Buffer[start + i] == static_cast<WCHAR>(needle[i])) ++i;
    if (needle[i] == 0) return true;
  }
  return false;
}

// One direct query; a value that cannot be read leaves the text as it was.
void QueryText(PCWSTR valueName, UNICODE_STRING* text) {
  RTL_QUERY_REGISTRY_TABLE table[2];
  RtlZeroMemory(table, sizeof(table));
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[0].Name = const_cast<PWSTR>(valueName);
  table[0].EntryContext = text;
  table[0].DefaultType = REG_NONE;
  RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kProcessorKey, table, nullptr, nullptr);
}

}  // namespace

uint32_t DetectCpuVendor() {
  WCHAR buffer[kVendorTextBytes / sizeof(WCHAR)];
  RtlZeroMemory(buffer, sizeof(buffer));
  UNICODE_STRING text;
  text.Buffer = buffer;
  text.Length = 0;
  text.MaximumLength = kVendorTextBytes;
  QueryText(u"VendorIdentifier", &text);
  if (Contains(text, "Intel")) return kVendorIntel;
  if (!Contains(text, "AMD")) return kVendorOther;
  QueryText(u"Identifier", &text);
  if (Contains(text, "x86") && Contains(text, "Family 15")) return kVendorAmdFamily15x86;
  if (Contains(text, "AMD64") && Contains(text, "Family 15")) return kVendorAmdFamily15x64;
  return kVendorOther;
}

int32_t SelectJpegCpu(uint32_t) {
  int32_t slot = prim::HighestRunnableSlot(prim::kThisDeliverable, prim::ReadCpuIdentity());
#if defined(KVZ_PATH_COUNTS)
  const int32_t forced = g_overrideSlot.load(std::memory_order_relaxed);
  if (forced >= 0) slot = forced;
#endif
  prim::PrimitiveDispatchIndex.store(slot, std::memory_order_relaxed);
  g_buildSelected.store(true, std::memory_order_release);
  return 0;
}

void EnsureJpegBuildSelected(uint32_t mode) {
  if (!g_buildSelected.load(std::memory_order_acquire)) SelectJpegCpu(mode);
}

#if defined(KVZ_PATH_COUNTS)
void OverrideJpegBuild(int32_t slot) {
  g_overrideSlot.store(slot, std::memory_order_relaxed);
  g_buildSelected.store(false, std::memory_order_release);
}
#endif

}  // namespace kvz::jpeg
