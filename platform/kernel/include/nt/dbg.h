// Debug output, formatted by the kernel's conventions ('l' is 32 bits, %ws, %wZ). What the
// driver prints is kept for tests to read (see kvz/kernel_testing.h) and echoed to stderr when
// the environment sets KVZ_DBGPRINT=1.
#pragma once
#include <stdarg.h>

#include "../ntdef.h"

#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#define DPFLTR_MASK 0x80000000

#define DPFLTR_IHVVIDEO_ID 23
#define DPFLTR_IHVAUDIO_ID 24
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_DEFAULT_ID 101

extern "C" {
ULONG DbgPrint(PCSTR Format, ...);
ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list ArgList);
VOID NTAPI DbgBreakPoint(void);
[[noreturn]] VOID NTAPI KvzAssertFailed(PCSTR Expression, PCSTR File, ULONG Line);
}

// Checked builds (DBG=1) print and stop on a failed assertion; free builds drop it, as Windows does.
#if defined(DBG) && DBG
#define ASSERT(exp) ((exp) ? (void)0 : KvzAssertFailed(#exp, __FILE__, __LINE__))
#define KdPrint(args) DbgPrint args
#define KdPrintEx(args) DbgPrintEx args
#else
#define ASSERT(exp) ((void)0)
#define KdPrint(args) ((void)0)
#define KdPrintEx(args) ((void)0)
#endif
#define NT_ASSERT(exp) ASSERT(exp)
