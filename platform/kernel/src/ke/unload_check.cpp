// The unload check: everything the driver left behind.
#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

#include "kvz/bugcheck.h"
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

struct Interfaces {
  std::mutex lock;
  std::map<const void*, std::pair<std::string, int>> held;  // what, references
};

Interfaces& TheInterfaces() {
  static auto* interfaces = new Interfaces;
  return *interfaces;
}

std::vector<std::string> TakeInterfaceFindings() {
  std::vector<std::string> lines;
  Interfaces& i = TheInterfaces();
  std::lock_guard<std::mutex> held(i.lock);
  for (auto& [iface, entry] : i.held) {
    char line[200];
    std::snprintf(line, sizeof line, "%s interface %p not released (%d reference%s)", entry.first.c_str(), iface,
                  entry.second, entry.second == 1 ? "" : "s");
    lines.push_back(line);
  }
  i.held.clear();
  return lines;
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
  if (s.runningDpc) {
    char line[160];
    std::snprintf(line, sizeof line, "DPC %p still running (routine %p)", static_cast<void*>(s.runningDpc),
                  reinterpret_cast<void*>(s.runningDpc->DeferredRoutine));
    lines.push_back(line);
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

void InterfaceReferenced(const void* iface, const std::string& what) {
  detail::Interfaces& i = detail::TheInterfaces();
  std::lock_guard<std::mutex> held(i.lock);
  auto& entry = i.held[iface];
  entry.first = what;
  ++entry.second;
}

void InterfaceReleased(const void* iface) {
  detail::Interfaces& i = detail::TheInterfaces();
  std::lock_guard<std::mutex> held(i.lock);
  auto it = i.held.find(iface);
  if (it == i.held.end())
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "interface %p released more often than it was referenced", iface);
  if (--it->second.second == 0) i.held.erase(it);
}

UnloadReport CheckUnload() {
  std::vector<std::string> findings = detail::TakePoolFindings();
  for (auto& line : detail::TakeQueuedTimersAndDpcs()) findings.push_back(line);
  for (auto& line : detail::TakePendingWork()) findings.push_back(line);
  for (auto& line : detail::SystemThreadFindings()) findings.push_back(line);
  for (auto& line : detail::TakeFloatingPointFindings()) findings.push_back(line);
  for (auto& line : detail::TakeInterfaceFindings()) findings.push_back(line);
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
