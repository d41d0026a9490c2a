#include "jpeg/jpeg_cpu.h"

#include <wdm.h>

#include "jpeg/jpeg_constants.h"

namespace kvz::jpeg {
namespace {

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

}  // namespace kvz::jpeg
