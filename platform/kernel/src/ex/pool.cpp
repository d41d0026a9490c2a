// The pool: tagged blocks with a header and guard bytes on both sides, per-tag accounting,
// leak listing and fault injection.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <unordered_map>
#include <unordered_set>

#include "ke/fork_safety.h"
#include "kvz/bugcheck.h"
#include "ke/scheduler.h"
#include "kvz/system_testing.h"

namespace kvz::kernel {
namespace detail {
namespace {

constexpr uint32_t kLiveMagic = 0x4C4F4F50;   // "POOL"
constexpr uint32_t kFreedMagic = 0x45455246;  // "FREE"
constexpr size_t kGuardBytes = 16;
constexpr uint8_t kFrontGuard = 0xFB;
constexpr uint8_t kBackGuard = 0xFA;
constexpr uint8_t kFreshFill = 0xCD;  // the driver must not rely on new pool being zero
constexpr uint8_t kFreedFill = 0xDD;
constexpr size_t kLargestBlock = size_t{1} << 30;
constexpr size_t kRecentFrees = 4096;

struct alignas(16) Header {
  uint32_t magic;
  ULONG tag;
  uint32_t type;
  uint32_t reserved;
  uint64_t size;
  uint64_t serial;
  uint64_t caller;
  uint64_t reserved2;
  uint8_t frontGuard[kGuardBytes];
};
static_assert(sizeof(Header) == 64, "the user area stays 16-byte aligned");

struct FaultPlan {
  enum Kind { None, Nth, Random } kind = None;
  uint64_t countdown = 0;
  double probability = 0;
  std::mt19937 random;
  bool anyTag = true;
  ULONG tag = 0;
};

struct Pool {
  std::mutex lock;
  std::unordered_map<void*, Header*> live;  // user pointer -> header
  std::unordered_set<void*> forgotten;      // reported as leaked once; still valid to free
  std::unordered_set<void*> recentlyFreed;
  std::deque<void*> recentOrder;
  std::map<ULONG, PoolTagStats> stats;
  uint64_t serial = 0;
  uint64_t attempts = 0;
  FaultPlan plan;
};

Pool& ThePool() {
  static Pool* pool = [] {
    RegisterForkHandlers();
    return new Pool;
  }();
  return *pool;
}

uint8_t* UserOf(Header* h) { return reinterpret_cast<uint8_t*>(h) + sizeof(Header); }

const char* PoolTypeName(uint32_t type) {
  switch (type) {
    case NonPagedPool: return "NonPagedPool";
    case PagedPool: return "PagedPool";
    case NonPagedPoolNx: return "NonPagedPoolNx";
    default: return KVZ_POOL_IS_PAGED(type) ? "paged pool" : "non-paged pool";
  }
}

bool ShouldFail(Pool& pool, ULONG tag) {
  FaultPlan& plan = pool.plan;
  if (plan.kind == FaultPlan::None || (!plan.anyTag && plan.tag != tag)) return false;
  if (plan.kind == FaultPlan::Nth) {
    if (--plan.countdown > 0) return false;
    plan.kind = FaultPlan::None;
    return true;
  }
  return std::uniform_real_distribution<double>(0.0, 1.0)(plan.random) < plan.probability;
}

std::string Describe(const Header* h, const void* p) {
  char line[160];
  std::snprintf(line, sizeof line, "pool block %p tag '%s' %llu bytes (%s)", p, TagToString(h->tag).c_str(),
                static_cast<unsigned long long>(h->size), PoolTypeName(h->type));
  return line;
}

void CheckIntegrity(Header* h, void* p) {
  if (h->magic != kLiveMagic) BugCheck(BAD_POOL_HEADER, "pool block %p: header damaged", p);
  for (size_t i = 0; i < kGuardBytes; ++i)
    if (h->frontGuard[i] != kFrontGuard)
      BugCheck(BAD_POOL_HEADER, "%s: guard before the block damaged", Describe(h, p).c_str());
  const uint8_t* back = UserOf(h) + h->size;
  for (size_t i = 0; i < kGuardBytes; ++i)
    if (back[i] != kBackGuard)
      BugCheck(DRIVER_CORRUPTED_EXPOOL, "%s: guard after the block damaged (written past its end)",
               Describe(h, p).c_str());
}

PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, void* caller) {
  if (tag == 0) BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "pool allocated with tag 0 (%llu bytes)",
                         static_cast<unsigned long long>(bytes));
  if (bytes == 0) BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "pool allocated with 0 bytes (tag '%s')",
                           TagToString(tag).c_str());
  if ((type & NonPagedPoolNx) && !NxPoolAvailable())
    BugCheck(BAD_POOL_CALLER, "%s allocated on a system before Windows 8 (tag '%s'), which has no such pool type",
             PoolTypeName(static_cast<uint32_t>(type)), TagToString(tag).c_str());
  KIRQL irql = KeGetCurrentIrql();
  if (KVZ_POOL_IS_PAGED(type) && irql > APC_LEVEL)
    BugCheck(BAD_POOL_CALLER, "paged pool allocated at %s (tag '%s')", IrqlName(irql), TagToString(tag).c_str());
  if (irql > DISPATCH_LEVEL)
    BugCheck(BAD_POOL_CALLER, "pool allocated at %s (tag '%s')", IrqlName(irql), TagToString(tag).c_str());
  Pool& pool = ThePool();
  {
    std::lock_guard<std::mutex> held(pool.lock);
    ++pool.attempts;
    if (ShouldFail(pool, tag)) {
      ++pool.stats[tag].injectedFailures;
      return nullptr;
    }
  }
  if (bytes > kLargestBlock) return nullptr;
  void* raw = nullptr;
  if (posix_memalign(&raw, 16, sizeof(Header) + bytes + kGuardBytes) != 0) return nullptr;
  auto* h = static_cast<Header*>(raw);
  h->magic = kLiveMagic;
  h->tag = tag;
  h->type = static_cast<uint32_t>(type);
  h->reserved = h->reserved2 = 0;
  h->size = bytes;
  h->caller = reinterpret_cast<uintptr_t>(caller);
  std::memset(h->frontGuard, kFrontGuard, kGuardBytes);
  uint8_t* user = UserOf(h);
  std::memset(user, kFreshFill, bytes);
  std::memset(user + bytes, kBackGuard, kGuardBytes);
  std::lock_guard<std::mutex> held(pool.lock);
  h->serial = ++pool.serial;
  pool.live[user] = h;
  if (pool.recentlyFreed.erase(user)) {
    for (auto it = pool.recentOrder.begin(); it != pool.recentOrder.end(); ++it)
      if (*it == user) {
        pool.recentOrder.erase(it);
        break;
      }
  }
  PoolTagStats& s = pool.stats[tag];
  ++s.liveBlocks;
  s.liveBytes += bytes;
  ++s.allocations;
  return user;
}

void Free(PVOID p, bool checkTag, ULONG tag, const char* api) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) BugCheck(BAD_POOL_CALLER, "%s at %s", api, IrqlName(irql));
  if (!p) BugCheck(BAD_POOL_CALLER, "%s of a null pointer", api);
  Pool& pool = ThePool();
  Header* h;
  size_t size;
  {
    std::lock_guard<std::mutex> held(pool.lock);
    auto it = pool.live.find(p);
    if (it == pool.live.end()) {
      if (pool.recentlyFreed.count(p)) BugCheck(BAD_POOL_CALLER, "%s of pool block %p, which was freed twice", api, p);
      BugCheck(BAD_POOL_CALLER, "%s of %p, which is not a pool block", api, p);
    }
    h = it->second;
    CheckIntegrity(h, p);
    if (checkTag && h->tag != tag)
      BugCheck(BAD_POOL_CALLER, "%s with tag '%s' of %s", api, TagToString(tag).c_str(), Describe(h, p).c_str());
    if (KVZ_POOL_IS_PAGED(h->type) && irql > APC_LEVEL)
      BugCheck(BAD_POOL_CALLER, "%s of paged pool at %s", api, IrqlName(irql));
    size = static_cast<size_t>(h->size);
  }
  CheckFreedRange(p, static_cast<uint8_t*>(p) + size);
  {
    std::lock_guard<std::mutex> held(pool.lock);
    if (pool.live.erase(p) == 0) BugCheck(BAD_POOL_CALLER, "%s of pool block %p, which was freed twice", api, p);
    pool.forgotten.erase(p);
    PoolTagStats& s = pool.stats[h->tag];
    --s.liveBlocks;
    s.liveBytes -= h->size;
    pool.recentlyFreed.insert(p);
    pool.recentOrder.push_back(p);
    if (pool.recentOrder.size() > kRecentFrees) {
      pool.recentlyFreed.erase(pool.recentOrder.front());
      pool.recentOrder.pop_front();
    }
  }
  h->magic = kFreedMagic;
  std::memset(p, kFreedFill, h->size);
  std::free(h);
}

}  // namespace

void PoolForkPrepare() { ThePool().lock.lock(); }
void PoolForkParent() { ThePool().lock.unlock(); }

std::vector<std::string> TakePoolFindings() {
  std::vector<std::string> lines;
  std::vector<std::pair<uint64_t, void*>> order;
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> held(pool.lock);
  for (auto& [p, h] : pool.live)
    if (!pool.forgotten.count(p)) order.push_back({h->serial, p});
  std::sort(order.begin(), order.end());
  for (auto& [serial, p] : order) {
    lines.push_back("leaked " + Describe(pool.live[p], p));
    pool.forgotten.insert(p);
  }
  return lines;
}

}  // namespace detail

using namespace detail;

std::string TagToString(ULONG tag) {
  std::string s(4, '.');
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    if (c >= 0x20 && c < 0x7F) s[static_cast<size_t>(i)] = c;
  }
  return s;
}

std::vector<PoolBlock> LivePoolBlocks() {
  std::vector<PoolBlock> blocks;
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> held(pool.lock);
  for (auto& [p, h] : pool.live)
    blocks.push_back(PoolBlock{p, h->tag, static_cast<size_t>(h->size), static_cast<POOL_TYPE>(h->type),
                               reinterpret_cast<const void*>(static_cast<uintptr_t>(h->caller)), h->serial});
  std::sort(blocks.begin(), blocks.end(), [](const PoolBlock& a, const PoolBlock& b) { return a.serial < b.serial; });
  return blocks;
}

PoolTagStats PoolStatsForTag(ULONG tag) {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> held(pool.lock);
  auto it = pool.stats.find(tag);
  return it == pool.stats.end() ? PoolTagStats{} : it->second;
}

void FailNthAllocation(uint64_t n, std::optional<ULONG> tag) {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> held(pool.lock);
  pool.plan = FaultPlan{};
  if (n == 0) return;
  pool.plan.kind = FaultPlan::Nth;
  pool.plan.countdown = n;
  pool.plan.anyTag = !tag;
  pool.plan.tag = tag.value_or(0);
}

void FailAllocationsRandomly(double probability, uint32_t seed, std::optional<ULONG> tag) {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> held(pool.lock);
  pool.plan = FaultPlan{};
  pool.plan.kind = FaultPlan::Random;
  pool.plan.probability = probability;
  pool.plan.random.seed(seed);
  pool.plan.anyTag = !tag;
  pool.plan.tag = tag.value_or(0);
}

void ClearPoolFaults() {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> held(pool.lock);
  pool.plan = FaultPlan{};
}

uint64_t PoolAllocationAttempts() {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> held(pool.lock);
  return pool.attempts;
}

}  // namespace kvz::kernel

using namespace kvz::kernel;

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return detail::Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

extern "C" PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return detail::Allocate(PoolType, NumberOfBytes, 'enoN', __builtin_return_address(0));
}

extern "C" VOID NTAPI ExFreePool(PVOID P) { detail::Free(P, false, 0, "ExFreePool"); }

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { detail::Free(P, true, Tag, "ExFreePoolWithTag"); }
