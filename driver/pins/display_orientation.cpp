#include "driver/pins/display_orientation.h"

#include "common/system_version.h"
#include "driver/settings/device_settings.h"
#include "driver/settings/registry_access.h"

namespace kvz {

namespace {

constexpr WCHAR kVideoMap[] = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\VIDEO";
constexpr WCHAR kControlVideo[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Video\\";
constexpr WCHAR kProfileVideo[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Hardware Profiles\\UnitedVideo\\CONTROL\\VIDEO\\";
constexpr WCHAR kInteractiveDesktop[] = u"Winsta0\\Default";
constexpr WCHAR kKeySuffix[] = u"0000";

SIZE_T Length(const WCHAR* text, SIZE_T limit) {
  SIZE_T n = 0;
  while (n < limit && text[n]) ++n;
  return n;
}

// Position of needle in text (both terminated within their limits), or -1.
LONG Find(const WCHAR* text, SIZE_T textLength, const WCHAR* needle, SIZE_T needleLength) {
  if (needleLength > textLength) return -1;
  for (SIZE_T i = 0; i + needleLength <= textLength; ++i)
    if (RtlEqualMemory(text + i, needle, needleLength * sizeof(WCHAR))) return static_cast<LONG>(i);
  return -1;
}

bool KeyOpens(PCWSTR path) {
  HANDLE key = nullptr;
  if (!NT_SUCCESS(OpenRegistryKey(path, &key))) return false;
  ZwClose(key);
  return true;
}

VOID FreeString(PUNICODE_STRING text) {
  if (text) ExFreePool(text);
}

}  // namespace

VOID CollectDisplayPaths(DisplayPaths* paths) {
  PAGED_CODE();
  RtlZeroMemory(paths->Paths, sizeof(paths->Paths));
  HANDLE map = nullptr;
  if (!NT_SUCCESS(OpenRegistryKey(kVideoMap, &map))) return;
  ULONG objects = 0;
  if (!ReadRegistryDword(map, u"MaxObjectNumber", &objects) || objects == 0) {
    ZwClose(map);
    return;
  }
  paths->Count = 0;
  const LONG last = static_cast<LONG>(objects);
  // A damaged map must not keep the negotiation busy for billions of reads.
  const LONG bound = last < 0 ? -1 : (last > kMaxDisplayObjects ? kMaxDisplayObjects : last);
  const SIZE_T prefixLength = Length(kControlVideo, kDisplayPathChars);
  const SIZE_T suffixLength = Length(kKeySuffix, kDisplayPathChars);
  for (LONG n = 0; n <= bound; ++n) {
    WCHAR name[32];
    if (swprintf_s(name, 32, u"\\Device\\Video%d", n) < 0) break;
    // One terminator more than the value may carry, so the text always ends.
    WCHAR value[kDisplayValueBytes / sizeof(WCHAR) + 1] = {};
    ULONG bytes = kDisplayValueBytes;
    if (!NT_SUCCESS(QueryRegistryKeyValue(map, name, REG_SZ, value, &bytes))) continue;
    const SIZE_T length = Length(value, kDisplayValueBytes / sizeof(WCHAR));
    if (length < suffixLength || !RtlEqualMemory(value + length - suffixLength, kKeySuffix, suffixLength * sizeof(WCHAR)))
      continue;
    const LONG at = Find(value, length, kControlVideo, prefixLength);
    if (at < 0) continue;
    WCHAR path[kDisplayPathChars];
    if (swprintf_s(path, kDisplayPathChars, u"%s%s", kProfileVideo, value + at + prefixLength) < 0) continue;
    if (!KeyOpens(path)) continue;
    if (paths->Count < static_cast<LONG>(kMaxDisplayPaths)) {
      RtlCopyMemory(paths->Paths[paths->Count], path, sizeof(path));
      ++paths->Count;
    }
  }
  ZwClose(map);
}

LONG LookUpDisplayOrientation(const DisplayPaths* paths, LONG rotation) {
  PAGED_CODE();
  LONG orientation = 0;
  for (LONG i = 0; i < paths->Count && i < static_cast<LONG>(kMaxDisplayPaths); ++i) {
    HANDLE key = nullptr;
    if (!NT_SUCCESS(OpenRegistryKey(paths->Paths[i], &key))) continue;
    ULONG attached = 0;
    ULONG value = 0;
    const bool found = ReadRegistryDword(key, u"Attach.ToDesktop", &attached) && attached &&
                       ReadRegistryDword(key, u"DefaultSettings.Orientation", &value) && value;
    ZwClose(key);
    if (found) {
      orientation = static_cast<LONG>(value);
      break;
    }
  }
  const LONG turn = rotation == 1 ? 3 : rotation == 3 ? 1 : rotation;
  return (orientation + turn) & 3;
}

bool StepCaptureOrientation(CaptureOrientation* poll, DeviceSettings* settings, LONG* turns) {
  PAGED_CODE();
  if (poll->OptOut) {
    *turns = 0;
    return true;
  }
  if (poll->Countdown < static_cast<LONG>(kOrientationPeriod)) {
    ++poll->Countdown;
    return false;
  }
  *turns = LookUpDisplayOrientation(&poll->Displays, LoadSetting(settings->rotation));
  poll->Countdown = 0;
  return true;
}

LONG DecideRotationOptOut(DeviceSettings* settings, LONG current) {
  PAGED_CODE();
  const int version = GetWindowsVersionCode();
  if (version != kWindows8 && version != kWindows10) return current;
  if (version == kWindows10 && IsWindows10Build10587OrLater()) return 1;
  PEPROCESS process = IoGetCurrentProcess();
  PUNICODE_STRING desktop = nullptr;
  LONG optOut = 0;
  UNICODE_STRING interactive;
  RtlInitUnicodeString(&interactive, kInteractiveDesktop);
  if (!NT_SUCCESS(KvzQueryProcessDesktopName(process, &desktop)) || !desktop ||
      !RtlEqualUnicodeString(desktop, &interactive, TRUE)) {
    optOut = 1;
  } else {
    PUNICODE_STRING image = nullptr;
    if (NT_SUCCESS(SeLocateProcessImageName(process, &image)) && image &&
        QueryRegistryParameters(image, settings->RotationKey()))
      optOut = 1;
    FreeString(image);
  }
  FreeString(desktop);
  return optOut;
}

}  // namespace kvz
