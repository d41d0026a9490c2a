// Processor identification as the driver sees it. On real hardware this is the CPUID
// instruction; tests inject a table (see kvz/kernel_testing.h) so detection can be driven
// with the identification data of any processor, including one without CPUID.
#pragma once
#include "ntdef.h"

extern "C" {
// TRUE when the processor implements CPUID (the EFLAGS.ID bit can be toggled).
BOOLEAN NTAPI KvzCpuidSupported(void);
// CPUID with EAX = leaf, ECX = subleaf; info receives EAX, EBX, ECX, EDX.
VOID NTAPI KvzCpuidEx(int info[4], int leaf, int subleaf);
}
