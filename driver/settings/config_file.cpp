#include "driver/settings/config_file.h"

#include <ntstrsafe.h>

#include "common/file_access.h"

namespace kvz {

namespace {

constexpr LONG kFrameRateBase = 10000000;
constexpr LONG kMaxConfigSide = 65535;

const PCSTR kOutputFormatKeys[] = {"RAW", "RGB24", "YUY2", "MJPG"};
const PCSTR kInterpositionSections[] = {"[INTERPOSITION_RAW]",   "[INTERPOSITION_RGB24]",
                                        "[INTERPOSITION_YUY2]",  "[INTERPOSITION_MJPG]",
                                        "[INTERPOSITION_STILL_RGB24]", "[INTERPOSITION_STILL_YUY2]"};
const PCSTR kInterpositionEntrySections[] = {"[INTERPOSITION_RAW_%d]",   "[INTERPOSITION_RGB24_%d]",
                                             "[INTERPOSITION_YUY2_%d]",  "[INTERPOSITION_MJPG_%d]",
                                             "[INTERPOSITION_STILL_RGB24_%d]", "[INTERPOSITION_STILL_YUY2_%d]"};
const PCSTR kCameraControlKeys[] = {"PAN",          "TILT",          "ROLL",           "ZOOM",
                                    "EXPOSURE",     "IRIS",          "FOCUS",          "SCANMODE",
                                    "PRIVACY",      "PANTILT",       "PAN_RELATIVE",   "TILT_RELATIVE",
                                    "ROLL_RELATIVE", "ZOOM_RELATIVE", "EXPOSURE_RELATIVE", "IRIS_RELATIVE",
                                    "FOCUS_RELATIVE", "PANTILT_RELATIVE", "FOCAL_LENGTH"};
const PCSTR kVideoProcAmpKeys[] = {"BRIGHTNESS", "CONTRAST",    "HUE",  "SATURATION", "SHARPNESS",
                                   "GAMMA",      "COLORENABLE", "WHITEBALANCE", "BACKLIGHT_COMPENSATION",
                                   "GAIN",       "DIGITAL_MULTIPLIER", "DIGITAL_MULTIPLIER_LIMIT",
                                   "WHITEBALANCE_COMPONENT", "POWERLINE_FREQUENCY"};

template <typename T, ULONG N>
constexpr ULONG CountOf(T (&)[N]) {
  return N;
}

ULONG TextLength(PCSTR text) {
  ULONG n = 0;
  while (text[n]) ++n;
  return n;
}

bool SameText(PCSTR a, PCSTR b) {
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}

// A line holds the key when it contains the key's text and has "=" right after the key's length.
bool MatchesKey(PCSTR line, PCSTR key, ULONG keyLength) {
  const ULONG lineLength = TextLength(line);
  if (lineLength <= keyLength || line[keyLength] != '=') return false;
  if (keyLength == 0) return true;
  for (ULONG start = 0; start + keyLength <= lineLength; ++start) {
    ULONG i = 0;
    while (i < keyLength && line[start + i] == key[i]) ++i;
    if (i == keyLength) return true;
  }
  return false;
}

// Leading blanks, a sign, then digits up to the first other character; saturates at the 32-bit
// limits, no digits read as 0.
LONG ParseDecimal(PCSTR text) {
  while (*text == ' ' || *text == '\t') ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  LONGLONG value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > 0x80000000LL) value = 0x80000000LL;
  }
  if (negative) value = -value;
  if (value > 0x7FFFFFFFLL) value = 0x7FFFFFFFLL;
  return static_cast<LONG>(value);
}

NTSTATUS ReadFlag(PCSTR section, PCSTR key, PCWSTR path, LONG* out) {
  LONG value = 0;
  const NTSTATUS status = ReadConfigInt(section, key, &value, path);
  if (NT_SUCCESS(status)) *out = value != 0 ? 1 : 0;
  return status;
}

}  // namespace

NTSTATUS ReadConfigLine(HANDLE file, PCHAR buffer, ULONG size) {
  PAGED_CODE();
  ULONG stored = 0;
  NTSTATUS status = STATUS_SUCCESS;
  buffer[0] = '\0';
  for (;;) {
    if (stored == size) {
      status = STATUS_BUFFER_TOO_SMALL;
      break;
    }
    CHAR c = 0;
    status = ReadFileBytes(file, &c, 1);
    if (!NT_SUCCESS(status)) break;
    buffer[stored++] = c;
    if (c == '\n') {
      if (stored >= 2 && buffer[stored - 2] == '\r') stored -= 2;
      break;
    }
  }
  buffer[stored] = '\0';
  return status;
}

NTSTATUS FindConfigLine(PCSTR section, PCSTR key, PCHAR value, ULONG valueSize, PCWSTR path) {
  PAGED_CODE();
  HANDLE file = nullptr;
  NTSTATUS status = OpenFileByPath(path, &file);
  if (!NT_SUCCESS(status)) return status;

  CHAR line[kConfigLineLength + 1];
  do {
    status = ReadConfigLine(file, line, kConfigLineLength);
  } while (NT_SUCCESS(status) && !SameText(line, section));

  const ULONG keyLength = TextLength(key);
  while (NT_SUCCESS(status)) {
    status = ReadConfigLine(file, line, kConfigLineLength);
    // A last line without its line end still counts before the end of the file ends the read.
    if (!NT_SUCCESS(status) && (status != STATUS_END_OF_FILE || line[0] == '\0')) break;
    if (line[0] == '[') {
      status = STATUS_NOT_FOUND;
      break;
    }
    if (MatchesKey(line, key, keyLength)) {
      const ULONG valueLength = TextLength(line + keyLength);
      if (valueLength < valueSize) {
        RtlCopyMemory(value, line + keyLength, valueLength + 1);
        status = STATUS_SUCCESS;
      } else {
        status = STATUS_BUFFER_TOO_SMALL;
      }
      break;
    }
  }
  CloseFileHandle(file);
  return status;
}

NTSTATUS ReadConfigInt(PCSTR section, PCSTR key, LONG* out, PCWSTR path) {
  if (!out) return STATUS_INVALID_PARAMETER;
  *out = 0;
  CHAR value[kConfigValueBufferSize];
  const NTSTATUS status = FindConfigLine(section, key, value, sizeof(value), path);
  if (NT_SUCCESS(status)) *out = ParseDecimal(value + 1);
  return status;
}

PWSTR SetConfigPath(PWSTR buffer, PCWSTR path) {
  if (buffer) RtlStringCbCopyW(buffer, kConfigPathBufferSize, path);
  return buffer;
}

NTSTATUS ReadOutputFormatFlag(PCWSTR path, ULONG type, LONG* out) {
  if (type >= CountOf(kOutputFormatKeys)) return STATUS_INVALID_PARAMETER;
  return ReadFlag("[OUTPUT_FORMAT]", kOutputFormatKeys[type], path, out);
}

NTSTATUS ReadInterpositionCount(PCWSTR path, ULONG type, ULONG* out) {
  *out = 0;
  if (type >= CountOf(kInterpositionSections)) return STATUS_INVALID_PARAMETER;
  LONG count = 0;
  const NTSTATUS status = ReadConfigInt(kInterpositionSections[type], "COUNT", &count, path);
  if (NT_SUCCESS(status) && count > 0) *out = static_cast<ULONG>(count);
  return status;
}

NTSTATUS ReadInterpositionSize(PCWSTR path, ULONG type, ULONG index, USHORT* width, USHORT* height,
                               ULONG* interval) {
  if (type >= CountOf(kInterpositionEntrySections)) return STATUS_INVALID_PARAMETER;
  CHAR section[64];
  NTSTATUS status = RtlStringCbPrintfA(section, sizeof(section), kInterpositionEntrySections[type],
                                       static_cast<int>(index));
  if (!NT_SUCCESS(status)) return status;
  LONG high = 0;
  LONG wide = 0;
  status = ReadConfigInt(section, "HEIGHT", &high, path);
  if (!NT_SUCCESS(status)) return status;
  status = ReadConfigInt(section, "WIDTH", &wide, path);
  if (!NT_SUCCESS(status)) return status;
  // Sizes the pins cannot carry (YUY2 needs pixel pairs) are not offered.
  if (wide <= 0 || high <= 0 || wide > kMaxConfigSide || high > kMaxConfigSide || (wide & 1) || (high & 1))
    return STATUS_INVALID_PARAMETER;
  *height = static_cast<USHORT>(high);
  *width = static_cast<USHORT>(wide);
  LONG rate = 0;
  ReadConfigInt(section, "FRAMERATE", &rate, path);
  *interval = rate > 0 ? static_cast<ULONG>(kFrameRateBase / rate) : 0;
  return STATUS_SUCCESS;
}

NTSTATUS ReadCameraControlFlag(PCWSTR path, ULONG id, LONG* out) {
  return ReadFlag("[KSPROPERTY_VIDCAP_CAMERACONTROL]", id < CountOf(kCameraControlKeys) ? kCameraControlKeys[id] : "",
                  path, out);
}

NTSTATUS ReadVideoProcAmpFlag(PCWSTR path, ULONG id, LONG* out) {
  return ReadFlag("[KSPROPERTY_VIDCAP_VIDEOPROCAMP]", id < CountOf(kVideoProcAmpKeys) ? kVideoProcAmpKeys[id] : "",
                  path, out);
}

}  // namespace kvz
