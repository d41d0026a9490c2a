// Interim pool and clock so that code above the kernel can be built while the full stand-in
// (tagged blocks with guards, accounting, fault injection, virtual time) is written.
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "wdm.h"

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE, SIZE_T n, ULONG) { return std::malloc(n ? n : 1); }
extern "C" PVOID NTAPI ExAllocatePool(POOL_TYPE t, SIZE_T n) { return ExAllocatePoolWithTag(t, n, 0); }
extern "C" VOID NTAPI ExFreePool(PVOID p) { std::free(p); }
extern "C" VOID NTAPI ExFreePoolWithTag(PVOID p, ULONG) { std::free(p); }

extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER t) {
  using namespace std::chrono;
  t->QuadPart = duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 100;
}
