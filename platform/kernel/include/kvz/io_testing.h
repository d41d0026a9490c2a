// Test-side controls of the I/O manager: the process a thread runs as, IRP accounting, device
// interfaces, system shutdown. Never included by driver code.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "../wdm.h"

namespace kvz::kernel {

// What the driver may learn of the calling process (IoGetCurrentProcess,
// SeLocateProcessImageName, KvzQueryProcessDesktopName).
struct ProcessIdentity {
  std::u16string imagePath = u"\\Device\\HarddiskVolume2\\Windows\\System32\\client.exe";
  std::u16string desktop = u"WinSta0\\Default";
};

// While it lives, the calling thread runs as a process with this identity (scopes nest).
// Threads outside any scope run as the System process: no image path, no desktop.
class ProcessScope {
 public:
  explicit ProcessScope(const ProcessIdentity& identity);
  ~ProcessScope();
  ProcessScope(const ProcessScope&) = delete;
  ProcessScope& operator=(const ProcessScope&) = delete;
  PEPROCESS Process() const { return process_; }

 private:
  PEPROCESS process_;
  PEPROCESS previous_;
};

// IRPs allocated and not yet freed.
size_t LiveIrpCount();

// Symbolic link names of the enabled interfaces of one class, in registration order.
std::vector<std::u16string> EnabledDeviceInterfaces(const GUID& interfaceClass);

// Sends IRP_MJ_SHUTDOWN to every device registered for shutdown notification, last registered
// first, and waits for each.
void SystemShutdown();

}  // namespace kvz::kernel
