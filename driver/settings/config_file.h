// The text configuration files in the system root: sections in square brackets, KEY=VALUE lines
// of decimal integers, CR LF line ends. Every lookup opens the file, reads it from the start and
// closes it. PASSIVE_LEVEL only.
#pragma once
#include <wdm.h>


namespace kvz {

constexpr ULONG kConfigLineLength = 256;       // CR LF included
constexpr ULONG kConfigValueBufferSize = 16;   // "=" and at most 14 characters, terminated
constexpr ULONG kConfigPathBufferSize = 520;

// Output formats of [OUTPUT_FORMAT] and the interposition sections.
enum ConfigFormatType : ULONG {
  kConfigRaw = 0,
  kConfigRgb24 = 1,
  kConfigYuy2 = 2,
  kConfigMjpg = 3,
  kConfigStillRgb24 = 4,
  kConfigStillYuy2 = 5,
};

// Reads one line into buffer (room for size bytes plus a terminator); a CR before the LF ends
// the text, an LF alone stays in it. STATUS_BUFFER_TOO_SMALL after size bytes without an LF;
// STATUS_END_OF_FILE at the end.
NTSTATUS ReadConfigLine(HANDLE file, PCHAR buffer, ULONG size);
// STATUS_NOT_FOUND for a key missing from its section; STATUS_BUFFER_TOO_SMALL for an over-long
// line or a value of 15 characters or more. value receives "=..." with its terminator.
NTSTATUS FindConfigLine(PCSTR section, PCSTR key, PCHAR value, ULONG valueSize, PCWSTR path);
// *out := 0, then the key's decimal value, saturated to the 32-bit range.
NTSTATUS ReadConfigInt(PCSTR section, PCSTR key, LONG* out, PCWSTR path);
PWSTR SetConfigPath(PWSTR buffer, PCWSTR path);

// On success *out := value != 0; on failure *out is left as the caller set it.
NTSTATUS ReadOutputFormatFlag(PCWSTR path, ULONG type, LONG* out);
// *out := 0, then COUNT of the type's section; a negative COUNT reads as 0.
NTSTATUS ReadInterpositionCount(PCWSTR path, ULONG type, ULONG* out);
// HEIGHT and WIDTH of the index'th interposed size (each 1..65535 and even, else
// STATUS_INVALID_PARAMETER), then FRAMERATE: a positive rate F gives the interval 10000000 / F,
// anything else 0. On failure the outputs are left alone.
NTSTATUS ReadInterpositionSize(PCWSTR path, ULONG type, ULONG index, USHORT* width, USHORT* height,
                               ULONG* interval);
NTSTATUS ReadCameraControlFlag(PCWSTR path, ULONG id, LONG* out);
NTSTATUS ReadVideoProcAmpFlag(PCWSTR path, ULONG id, LONG* out);

}  // namespace kvz
