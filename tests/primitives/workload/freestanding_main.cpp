// A 32-bit program without a C library: the shipped primitives libraries (detection, selection,
// dispatch and every build) with its own start-up and Linux system calls, so that it runs under
// qemu-i386 with processor models older than the C library needs (i486, Pentium). It selects a
// build as the driver does, prints the slot and status, then one checksum per primitive.
#include <stddef.h>
#include <stdint.h>

#include "kvz_cpuid.h"
#include "primitives/build_selection.h"
#include "primitives/driver_memory.h"
#include "workload.h"

namespace {

constexpr long kSysExit = 1;
constexpr long kSysWrite = 4;

long Syscall3(long number, long a, long b, long c) {
  long result;
  __asm__ __volatile__("int $0x80" : "=a"(result) : "a"(number), "b"(a), "c"(b), "d"(c) : "memory");
  return result;
}

[[noreturn]] void Exit(int code) {
  for (;;) Syscall3(kSysExit, code, 0, 0);
}

void Write(const char* text, long length) {
  while (length > 0) {
    const long written = Syscall3(kSysWrite, 1, reinterpret_cast<long>(text), length);
    if (written <= 0) Exit(2);
    text += written;
    length -= written;
  }
}

void WriteText(const char* text) {
  long n = 0;
  while (text[n] != 0) ++n;
  Write(text, n);
}

void WriteHex(uint32_t value) {
  char digits[8];
  for (int i = 7; i >= 0; --i, value >>= 4) digits[i] = "0123456789abcdef"[value & 15];
  Write(digits, 8);
}

void WriteDecimal(int32_t value) {
  char digits[12];
  int n = 12;
  uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
  do {
    digits[--n] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) digits[--n] = '-';
  Write(digits + n, 12 - n);
}

void PrintChecksum(const char* name, uint32_t checksum) {
  WriteText(name);
  WriteText(" ");
  WriteHex(checksum);
  WriteText("\n");
}

}  // namespace

extern "C" {

// What the compiler may call for block moves; no library provides them here.
void* memcpy(void* dst, const void* src, size_t n) {
  uint8_t* d = static_cast<uint8_t*>(dst);
  const uint8_t* s = static_cast<const uint8_t*>(src);
  for (size_t i = 0; i < n; ++i) d[i] = s[i];
  return dst;
}

void* memmove(void* dst, const void* src, size_t n) {
  uint8_t* d = static_cast<uint8_t*>(dst);
  const uint8_t* s = static_cast<const uint8_t*>(src);
  if (d < s) {
    for (size_t i = 0; i < n; ++i) d[i] = s[i];
  } else {
    for (size_t i = n; i > 0; --i) d[i - 1] = s[i - 1];
  }
  return dst;
}

void* memset(void* dst, int value, size_t n) {
  uint8_t* d = static_cast<uint8_t*>(dst);
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(value);
  return dst;
}

int memcmp(const void* a, const void* b, size_t n) {
  const uint8_t* x = static_cast<const uint8_t*>(a);
  const uint8_t* y = static_cast<const uint8_t*>(b);
  for (size_t i = 0; i < n; ++i)
    if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
  return 0;
}

// Pool memory from a fixed arena; the workload allocates little and frees nothing it needs back.
alignas(16) static uint8_t g_arena[1 << 20];
static size_t g_arenaUsed;

PVOID NTAPI ExAllocatePool(POOL_TYPE, SIZE_T bytes) {
  const size_t rounded = (bytes + 15) & ~static_cast<size_t>(15);
  if (rounded > sizeof g_arena - g_arenaUsed) return nullptr;
  void* block = g_arena + g_arenaUsed;
  g_arenaUsed += rounded;
  return block;
}

VOID NTAPI ExFreePool(PVOID) {}

// Count trailing zeros of a 64-bit value, which the compiler calls on 32-bit targets.
int __ctzdi2(uint64_t value) {
  const uint32_t low = static_cast<uint32_t>(value);
  return low != 0 ? __builtin_ctz(low) : 32 + __builtin_ctz(static_cast<uint32_t>(value >> 32));
}

// The processor itself, not the kernel stand-in's injectable table: CPUID exists when the
// EFLAGS.ID bit (21) can be changed.
BOOLEAN NTAPI KvzCpuidSupported(void) {
  uint32_t before, after;
  __asm__ __volatile__(
      "pushfl\n\t"
      "popl %0\n\t"
      "movl %0, %1\n\t"
      "xorl $0x200000, %1\n\t"
      "pushl %1\n\t"
      "popfl\n\t"
      "pushfl\n\t"
      "popl %1\n\t"
      "pushl %0\n\t"
      "popfl"
      : "=&r"(before), "=&r"(after)
      :
      : "cc");
  return ((before ^ after) & 0x200000u) != 0 ? TRUE : FALSE;
}

VOID NTAPI KvzCpuidEx(int info[4], int leaf, int subleaf) {
  uint32_t a, b, c, d;
  __asm__ __volatile__("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(leaf), "c"(subleaf));
  info[0] = static_cast<int>(a);
  info[1] = static_cast<int>(b);
  info[2] = static_cast<int>(c);
  info[3] = static_cast<int>(d);
}

typedef void (*Initializer)();
extern Initializer __init_array_start[] __attribute__((weak));
extern Initializer __init_array_end[] __attribute__((weak));

[[noreturn]] void FreestandingMain() {
  for (Initializer* f = __init_array_start; f != __init_array_end; ++f) (*f)();
  const kvz::prim::PrimitiveStatus status = kvz::prim::InitPrimitivesForCpu();
  WriteText("selected slot ");
  WriteDecimal(kvz::prim::PrimitiveDispatchIndex.load());
  WriteText(" status ");
  WriteDecimal(status);
  WriteText("\n");
  kvz::test::RunPrimitiveWorkload(PrintChecksum);
  Exit(0);
}

}  // extern "C"

// The stack is 16-byte aligned for the calls that follow; the arguments are not used.
__asm__(
    ".text\n"
    ".globl _start\n"
    "_start:\n"
    "  xorl %ebp, %ebp\n"
    "  andl $-16, %esp\n"
    "  call FreestandingMain\n"
    "  hlt\n");
