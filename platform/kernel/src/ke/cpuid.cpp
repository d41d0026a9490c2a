#include "kvz_cpuid.h"

#include <cpuid.h>

#include <array>
#include <map>
#include <mutex>

#include "kvz/kernel_testing.h"

namespace kvz::kernel {
namespace {
std::mutex g_lock;
bool g_injected = false;
CpuidTable g_table;
std::map<uint32_t, uint32_t> g_counts;
}  // namespace

void InjectCpuid(const CpuidTable* table) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_injected = table != nullptr;
  g_table = table ? *table : CpuidTable{};
  g_counts.clear();
}

uint32_t CpuidCallCount(uint32_t leaf) {
  std::lock_guard<std::mutex> hold(g_lock);
  auto it = g_counts.find(leaf);
  return it == g_counts.end() ? 0 : it->second;
}

void ResetCpuidCounters() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_counts.clear();
}

}  // namespace kvz::kernel

using namespace kvz::kernel;

extern "C" BOOLEAN NTAPI KvzCpuidSupported(void) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_injected) return g_table.supported ? TRUE : FALSE;
  // On 32-bit x86 this toggles EFLAGS.ID; every x86-64 processor has the instruction.
  return __get_cpuid_max(0, nullptr) != 0 ? TRUE : FALSE;
}

extern "C" VOID NTAPI KvzCpuidEx(int info[4], int leaf, int subleaf) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_counts[static_cast<uint32_t>(leaf)]++;
    if (g_injected) {
      auto it = g_table.leaves.find({static_cast<uint32_t>(leaf), static_cast<uint32_t>(subleaf)});
      if (it == g_table.leaves.end())
        it = g_table.leaves.find({static_cast<uint32_t>(leaf), 0u});
      for (int i = 0; i < 4; ++i)
        info[i] = it == g_table.leaves.end() ? 0 : static_cast<int>(it->second[i]);
      return;
    }
  }
  unsigned a, b, c, d;
  __cpuid_count(static_cast<unsigned>(leaf), static_cast<unsigned>(subleaf), a, b, c, d);
  info[0] = static_cast<int>(a);
  info[1] = static_cast<int>(b);
  info[2] = static_cast<int>(c);
  info[3] = static_cast<int>(d);
}
