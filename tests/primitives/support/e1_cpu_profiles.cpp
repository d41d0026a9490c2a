#include "e1_cpu_profiles.h"

#include <cstring>
#include <map>
#include <stdexcept>

#include "primitives/cache_probe.h"

namespace kvz::test {
namespace {

uint32_t Word(const std::string& s, int index) {
  uint32_t w = 0;
  std::memcpy(&w, s.data() + 4 * index, 4);
  return w;
}

uint32_t Signature(uint32_t family, uint32_t model, uint32_t stepping, uint32_t extFamily = 0,
                   uint32_t extModel = 0) {
  return (extFamily << 20) | (extModel << 16) | (family << 8) | (model << 4) | stepping;
}

std::map<std::string, CpuProfile> BuildProfiles() {
  using namespace cpubits;
  const uint32_t p6 = kTsc | kMmx | kFxsr;
  std::map<std::string, CpuProfile> m;
  auto add = [&m](CpuProfile p) { m[p.name] = p; };
  CpuProfile none;
  none.name = "none";
  none.hasCpuid = false;
  add(none);
  add({"core2", true, "GenuineIntel", 10, Signature(6, 15, 6), 2, kSse3 | kSsse3,
       p6 | kSse | kSse2 | kHtt, 0x05B0B101, 0x2C04307D, 0x80000008, kLongMode, 0x04000121});
  add({"yonah", true, "GenuineIntel", 10, Signature(6, 14, 8), 2, kSse3, p6 | kSse | kSse2 | kHtt,
       0x02B3B001, 0x2C04307D, 0x80000008, 0, 0x04000121});
  add({"prescott64", true, "GenuineIntel", 5, Signature(15, 4, 1), 2, kSse3,
       p6 | kSse | kSse2 | kHtt, 0x665B5B01, 0x007B7040, 0x80000008, kLongMode, 0x00000121});
  add({"prescott", true, "GenuineIntel", 5, Signature(15, 3, 4), 1, kSse3, p6 | kSse | kSse2,
       0x665B5B01, 0x007B7040, 0x80000008, 0, 0x00000121});
  add({"northwood-ht", true, "GenuineIntel", 2, Signature(15, 2, 9), 2, 0,
       p6 | kSse | kSse2 | kHtt, 0x665B5001, 0x007B7040, 0x80000004, 0, 0});
  add({"northwood", true, "GenuineIntel", 2, Signature(15, 2, 7), 1, 0, p6 | kSse | kSse2,
       0x665B5001, 0x007B7040, 0x80000004, 0, 0});
  add({"pentium3", true, "GenuineIntel", 2, Signature(6, 8, 3), 1, 0, p6 | kSse, 0x03020101,
       0x0C040882, 0, 0, 0});
  add({"pentium2", true, "GenuineIntel", 2, Signature(6, 5, 2), 1, 0, p6, 0x03020101, 0x0C040843,
       0, 0, 0});
  add({"p5-mmx", true, "GenuineIntel", 1, Signature(5, 4, 3), 1, 0, kTsc | kMmx, 0, 0, 0, 0, 0});
  add({"p5", true, "GenuineIntel", 1, Signature(5, 2, 12), 1, 0, kTsc, 0, 0, 0, 0, 0});
  add({"athlon64", true, "AuthenticAMD", 1, Signature(15, 4, 8), 1, 0, p6 | kSse | kSse2, 0, 0,
       0x80000018, kLongMode, 0});
  add({"zen2", true, "AuthenticAMD", 16, Signature(15, 1, 0, 8, 7), 16, kSse3 | kSsse3,
       p6 | kSse | kSse2 | kHtt, 0, 0, 0x80000020, kLongMode, 0});
  add({"family7", true, "GenuineIntel", 2, Signature(7, 0, 4), 1, 0, kTsc | kMmx, 0, 0, 0, 0, 0});
  add({"family15-nosse2", true, "GenuineIntel", 2, Signature(15, 0, 1), 1, 0, p6 | kSse, 0, 0, 0,
       0, 0});
  add({"family15-nosse", true, "GenuineIntel", 2, Signature(15, 0, 1), 1, 0, p6, 0, 0, 0, 0, 0});
  return m;
}

}  // namespace

kernel::CpuidTable MakeCpuidTable(const CpuProfile& p) {
  kernel::CpuidTable t;
  t.supported = p.hasCpuid;
  if (!p.hasCpuid) return t;
  t.leaves[{0, 0}] = {p.maxLeaf, Word(p.vendor, 0), Word(p.vendor, 2), Word(p.vendor, 1)};
  t.leaves[{1, 0}] = {p.leaf1Eax, (p.logicalCount << 16) | 0x0800, p.leaf1Ecx, p.leaf1Edx};
  if (p.maxLeaf >= 2) t.leaves[{2, 0}] = {p.leaf2Eax, 0, 0, p.leaf2Edx};
  if (p.maxLeaf >= 4) t.leaves[{4, 0}] = {p.leaf4Eax, 0, 0, 0};
  if (p.maxExtendedLeaf != 0) {
    t.leaves[{0x80000000u, 0}] = {p.maxExtendedLeaf, 0, 0, 0};
    t.leaves[{0x80000001u, 0}] = {0, 0, 0, p.extendedEdx};
  }
  return t;
}

const CpuProfile& Profile(const std::string& name) {
  static const std::map<std::string, CpuProfile> profiles = BuildProfiles();
  auto it = profiles.find(name);
  if (it == profiles.end()) throw std::invalid_argument("no cpu profile " + name);
  return it->second;
}

ScopedCpu::ScopedCpu(const CpuProfile& profile) {
  const kernel::CpuidTable table = MakeCpuidTable(profile);
  kernel::InjectCpuid(&table);
  prim::ForgetStreamingCacheSize();  // the kernels probe the injected processor's cache afresh
}

ScopedCpu::~ScopedCpu() {
  kernel::InjectCpuid(nullptr);
  prim::ForgetStreamingCacheSize();
}

}  // namespace kvz::test
