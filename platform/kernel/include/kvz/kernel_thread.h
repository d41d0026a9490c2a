// Kernel threads for the stand-ins themselves (bus, camera, class driver): each runs its body
// as a kernel thread at PASSIVE_LEVEL and can be joined with a kernel wait. Unlike driver
// system threads they are not reported by the unload check.
#pragma once
#include <functional>
#include <string>

#include "../wdm.h"

namespace kvz::kernel {

class KernelThread {
 public:
  KernelThread(const std::string& name, std::function<void()> body);
  ~KernelThread();  // joins
  KernelThread(const KernelThread&) = delete;
  KernelThread& operator=(const KernelThread&) = delete;

  void Join();  // a kernel wait on the thread object; idempotent
  PKTHREAD Object() const { return thread_; }

 private:
  PKTHREAD thread_;
  bool joined_ = false;
};

}  // namespace kvz::kernel
