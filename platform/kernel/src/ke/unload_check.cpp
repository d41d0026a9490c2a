// The unload check: everything the driver left behind.
#include <cstdio>
#include <mutex>
#include <vector>

#include "kvz/kernel_testing.h"
#include "kvz/object_manager.h"
#include "ke/scheduler.h"

namespace kvz::kernel {
namespace detail {
namespace {

struct Hooks {
  std::mutex lock;
  std::vector<std::pair<std::string, UnloadHook>> hooks;
};

Hooks& TheHooks() {
  static auto* hooks = new Hooks;
  return *hooks;
}

}  // namespace

std::vector<std::string> TakeQueuedTimersAndDpcs() {
  std::vector<std::string> lines;
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  int64_t now = s.NowLocked();
  for (auto& [key, timer] : s.timerQueue) {
    char line[160];
    std::snprintf(line, sizeof line, "timer %p still queued (due in %lld ms%s)", static_cast<void*>(timer),
                  static_cast<long long>((key.first - now) / 10'000), timer->Period ? ", periodic" : "");
    lines.push_back(line);
    timer->Header.Inserted = FALSE;
  }
  s.timerQueue.clear();
  s.queuedTimers.clear();
  for (PKDPC dpc : s.dpcQueue) {
    char line[160];
    std::snprintf(line, sizeof line, "DPC %p still queued (routine %p)", static_cast<void*>(dpc),
                  reinterpret_cast<void*>(dpc->DeferredRoutine));
    lines.push_back(line);
    dpc->DpcData = nullptr;
  }
  s.dpcFinished += s.dpcQueue.size();
  s.dpcWork.Header.SignalState = 0;
  s.dpcQueue.clear();
  s.queuedDpcs.clear();
  return lines;
}

}  // namespace detail

void AddUnloadHook(const std::string& name, UnloadHook hook) {
  auto& h = detail::TheHooks();
  std::lock_guard<std::mutex> held(h.lock);
  for (auto& [n, existing] : h.hooks)
    if (n == name) {
      existing = std::move(hook);
      return;
    }
  h.hooks.emplace_back(name, std::move(hook));
}

UnloadReport CheckUnload() {
  std::vector<std::string> findings = detail::TakePoolFindings();
  for (auto& line : detail::TakeQueuedTimersAndDpcs()) findings.push_back(line);
  for (auto& line : detail::TakePendingWork()) findings.push_back(line);
  for (auto& line : detail::SystemThreadFindings()) findings.push_back(line);
  for (auto& line : detail::TakeFloatingPointFindings()) findings.push_back(line);
  for (auto& line : OpenHandles()) findings.push_back(line);
  std::vector<std::pair<std::string, UnloadHook>> hooks;
  {
    auto& h = detail::TheHooks();
    std::lock_guard<std::mutex> held(h.lock);
    hooks = h.hooks;
  }
  for (auto& [name, hook] : hooks) hook(findings);
  UnloadReport report;
  report.clean = findings.empty();
  for (auto& line : findings) report.text += line + "\n";
  return report;
}

}  // namespace kvz::kernel
