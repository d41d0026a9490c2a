// Shutdown notification: devices registered for it get IRP_MJ_SHUTDOWN when the system shuts down.
#include <algorithm>
#include <mutex>
#include <vector>

#include "io/io_manager.h"
#include "ke/irql_check.h"
#include "kvz/io_testing.h"

namespace {
std::mutex g_lock;
std::vector<PDEVICE_OBJECT>& Registered() {
  static auto* list = new std::vector<PDEVICE_OBJECT>;
  return *list;
}
}  // namespace

using namespace kvz::kernel;

extern "C" NTSTATUS NTAPI IoRegisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
  RequirePassive("IoRegisterShutdownNotification");
  std::lock_guard<std::mutex> hold(g_lock);
  Registered().push_back(DeviceObject);
  DeviceObject->Flags |= DO_SHUTDOWN_REGISTERED;
  return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoUnregisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
  RequirePassive("IoUnregisterShutdownNotification");
  std::lock_guard<std::mutex> hold(g_lock);
  auto& list = Registered();
  list.erase(std::remove(list.begin(), list.end(), DeviceObject), list.end());
  DeviceObject->Flags &= ~DO_SHUTDOWN_REGISTERED;
}

namespace kvz::kernel {

void SystemShutdown() {
  std::vector<PDEVICE_OBJECT> devices;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    devices.assign(Registered().rbegin(), Registered().rend());
    for (PDEVICE_OBJECT d : devices) ObfReferenceObject(d);
  }
  for (PDEVICE_OBJECT device : devices) {
    bool stillRegistered;
    {
      std::lock_guard<std::mutex> hold(g_lock);
      auto& list = Registered();
      stillRegistered = std::find(list.begin(), list.end(), device) != list.end();
    }
    if (stillRegistered) {
      KEVENT event;
      KeInitializeEvent(&event, NotificationEvent, FALSE);
      IO_STATUS_BLOCK iosb{};
      PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_SHUTDOWN, device, nullptr, 0, nullptr, &event, &iosb);
      if (irp) io::SendAndWait(device, irp, &event, &iosb);
    }
    ObfDereferenceObject(device);
  }
}

}  // namespace kvz::kernel
