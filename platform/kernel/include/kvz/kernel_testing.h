// Test-side controls of the kernel stand-in. Never included by driver code.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../wdm.h"

namespace kvz::kernel {

// ---- Processor identification -----------------------------------------------------------------
// An injected processor: leaves keyed by (leaf, subleaf); a leaf that is not listed answers
// zeros, as a processor does above its highest leaf.
struct CpuidTable {
  bool supported = true;  // false: the processor has no CPUID instruction
  std::map<std::pair<uint32_t, uint32_t>, std::array<uint32_t, 4>> leaves;
};

// Install a table (nullptr: back to the hardware instruction). The table is copied.
void InjectCpuid(const CpuidTable* table);
// How many times leaf was queried since the last InjectCpuid or ResetCpuidCounters.
uint32_t CpuidCallCount(uint32_t leaf);
void ResetCpuidCounters();

// ---- The kernel clock ---------------------------------------------------------------------------
// Real: the monotonic clock. Virtual: time stands still while any kernel thread runs and jumps
// to the earliest deadline when every kernel thread is blocked in a kernel wait.
enum class ClockMode { Real, Virtual };
void SetClockMode(ClockMode mode);  // time stays continuous across a switch
ClockMode GetClockMode();
// Interrupt time: 100-ns units since the stand-in started (KeQueryInterruptTime).
int64_t Now();
// KeQuerySystemTime = system time at interrupt time 0 + Now(). In virtual mode the base is a
// fixed date (2024-01-01 00:00 UTC) so that runs are repeatable.
void SetSystemTimeAtBoot(int64_t systemTime100ns);

constexpr int64_t kMillisecond = 10'000;  // in 100-ns units
constexpr int64_t kSecond = 10'000'000;

// Makes the calling thread a kernel thread for the lifetime of the object: it counts as running
// until it blocks in a kernel wait. Every thread that runs driver code must be one.
class KernelThreadScope {
 public:
  explicit KernelThreadScope(const char* name);
  ~KernelThreadScope();
  KernelThreadScope(const KernelThreadScope&) = delete;
  KernelThreadScope& operator=(const KernelThreadScope&) = delete;
};
bool IsKernelThread();

// Blocks the calling thread in a kernel wait for the given kernel time (virtual mode: lets
// everything due in that time happen).
void AdvanceClock(int64_t duration100ns);
// Blocks the calling thread until every other kernel thread is blocked in a kernel wait and
// nothing is due at the current time (DPCs, work items and threads have run to their next
// wait). Time does not move.
void RunUntilIdle();
// A thread registered with KernelThreadScope that waits without a time limit while virtual time
// runs on (timers keep firing) for longer than this is reported as hung, like a deadlock.
// Default: one hour of kernel time.
void SetHangLimit(int64_t duration100ns);
// From now on no time passes: timers stay queued and timed waits wait. For the end of a test
// process, so that timers left behind cannot run on while it exits.
void StopClock();

// Timer and wait expiries move up to the next 15.625 ms clock tick (KeQueryTimeIncrement), so
// that retry loops run as often as on Windows. Off by default.
void RoundExpiriesToClockTick(bool on);
// Drive the race between a time-out and a completion: a queued timer expires now (false: it was
// not queued), or the timed wait or delay of the named thread ends now with STATUS_TIMEOUT
// (false: that thread is not in one).
bool ExpireTimerEarly(PKTIMER timer);
bool ExpireWaitEarly(const std::string& threadName);

// Names an object (event, mutex, ...) in deadlock reports; nullptr forgets the name.
void NameKernelObject(const void* object, const char* name);

// ---- Pool ----------------------------------------------------------------------------------------
struct PoolBlock {
  const void* address;
  ULONG tag;
  size_t size;
  POOL_TYPE type;
  const void* caller;
  uint64_t serial;  // allocation order
};
struct PoolTagStats {
  size_t liveBlocks = 0;
  size_t liveBytes = 0;
  uint64_t allocations = 0;  // successful, since start
  uint64_t injectedFailures = 0;
};
std::vector<PoolBlock> LivePoolBlocks();
PoolTagStats PoolStatsForTag(ULONG tag);
// The tag as four characters in memory order ('ClCD' reads "DClC"); unprintable bytes as '.'.
std::string TagToString(ULONG tag);
// Fail exactly the nth matching allocation from now (1 = the next one); only allocations with
// the given tag count when a tag is given.
void FailNthAllocation(uint64_t n, std::optional<ULONG> tag = std::nullopt);
// Fail each matching allocation with the given probability, from a seeded generator.
void FailAllocationsRandomly(double probability, uint32_t seed, std::optional<ULONG> tag = std::nullopt);
void ClearPoolFaults();
// Allocation attempts so far (successful or failed), for locating the Nth allocation of a path.
uint64_t PoolAllocationAttempts();

// ---- Debug output --------------------------------------------------------------------------------
std::string DebugOutput();
void ClearDebugOutput();

// ---- The unload check ----------------------------------------------------------------------------
// Lists every live pool block, queued timer, queued DPC, queued work item, running or still
// referenced system thread, open handle, and what registered hooks report (IRPs alive, ...).
// What is reported is then forgotten (timers and DPCs dequeued, blocks untracked) so that one
// test's leak is reported once.
struct UnloadReport {
  bool clean = true;
  std::string text;  // one finding per line
};
UnloadReport CheckUnload();
// A hook appends one line per finding and forgets what it reported.
using UnloadHook = std::function<void(std::vector<std::string>& findings)>;
void AddUnloadHook(const std::string& name, UnloadHook hook);
// Interfaces handed out with a reference (the class driver's reference clock, ...): the unload
// check names each one not released; releasing more often than referenced is a bug check.
void InterfaceReferenced(const void* iface, const std::string& what);
void InterfaceReleased(const void* iface);

}  // namespace kvz::kernel
