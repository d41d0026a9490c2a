// The PnP manager's core for tests and tools: load a driver through its entry point, give it a
// device (AddDevice on a physical device object with hardware identifiers and a driver key),
// send the device its plug-and-play and power IRPs, announce system sleep and resume, unload the
// driver. Every call runs on the calling kernel thread at PASSIVE_LEVEL and waits for its IRP.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../wdm.h"

namespace kvz::kernel {

class LoadedDriver {
 public:
  // Creates \Driver\<serviceName> and the service key
  // \Registry\Machine\System\CurrentControlSet\Services\<serviceName>, then calls the entry point
  // with that key's path. On failure nothing stays loaded.
  static NTSTATUS Load(PDRIVER_INITIALIZE entry, const std::u16string& serviceName,
                       std::unique_ptr<LoadedDriver>* driver);
  ~LoadedDriver();  // Unload() when still loaded
  LoadedDriver(const LoadedDriver&) = delete;
  LoadedDriver& operator=(const LoadedDriver&) = delete;

  // DriverUnload when the driver set one; the driver object is gone afterwards. Run the unload
  // check (CheckUnload in kvz/kernel_testing.h) after this.
  void Unload();
  PDRIVER_OBJECT Object() const { return driver_; }
  bool IsLoaded() const { return loaded_; }

 private:
  LoadedDriver() = default;
  PDRIVER_OBJECT driver_ = nullptr;
  bool loaded_ = false;
};

// What the bus reports about a device.
struct DeviceDescription {
  // Enumerator\device\instance; the device interfaces' link names are made from it.
  std::u16string instanceId = u"USB\\VID_0000&PID_0000\\5&0&0&1";
  std::vector<std::u16string> hardwareIds;
  std::vector<std::u16string> compatibleIds;
  // Class GUID and instance number; the device's class key (under
  // \Registry\Machine\SYSTEM\CurrentControlSet\Control\Class) is created for it. Empty: the PnP
  // manager gives the instance the key it was given before (its Enum key's "Driver" value, which
  // persists with the registry) or the image class's first free instance number.
  std::u16string driverKeyName = u"{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0000";
  std::u16string description = u"USB Video Device";
  DEVICE_CAPABILITIES capabilities = DefaultCapabilities();

  static DEVICE_CAPABILITIES DefaultCapabilities();  // D0 in S0, D3 in S1..S5, removable
};

class PnpDevice {
 public:
  // pdo: a bus driver's physical device object, or null for one of the stand-in's own, which
  // succeeds every PnP and power IRP and answers capabilities from the description. AddDevice
  // must leave a device attached to the PDO with DO_DEVICE_INITIALIZING cleared.
  static NTSTATUS Add(LoadedDriver& driver, const DeviceDescription& description, PDEVICE_OBJECT pdo,
                      std::unique_ptr<PnpDevice>* device);
  ~PnpDevice();  // Remove() when the device was not removed
  PnpDevice(const PnpDevice&) = delete;
  PnpDevice& operator=(const PnpDevice&) = delete;

  NTSTATUS Start();
  NTSTATUS QueryCapabilities(DEVICE_CAPABILITIES* capabilities);
  NTSTATUS QueryStop();
  NTSTATUS CancelStop();
  NTSTATUS Stop();
  NTSTATUS QueryRemove();
  NTSTATUS CancelRemove();
  NTSTATUS SurpriseRemove();
  // IRP_MN_REMOVE_DEVICE; the device's interfaces go, and a PDO of the stand-in is deleted.
  NTSTATUS Remove();
  NTSTATUS SetDevicePower(DEVICE_POWER_STATE state);
  NTSTATUS SetSystemPower(SYSTEM_POWER_STATE state);

  // Any PnP IRP: setup fills the stack location; information receives IoStatus.Information.
  NTSTATUS SendPnp(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup = {},
                   ULONG_PTR* information = nullptr);
  NTSTATUS SendPower(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);

  PDEVICE_OBJECT Pdo() const { return pdo_; }
  PDEVICE_OBJECT Top() const;  // the top of the device's stack
  bool IsRemoved() const { return removed_; }
  const std::u16string& DriverKeyName() const { return driverKeyName_; }

 private:
  PnpDevice() = default;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::u16string driverKeyName_;
  bool ownPdo_ = false;
  bool removed_ = false;
};

// A driver object for a stand-in driver (a bus, say) that has no entry point of its own: every
// major function answers STATUS_INVALID_DEVICE_REQUEST until set. Lives for the process.
PDRIVER_OBJECT CreateDriverObject(const std::u16string& name);

// Notifies "\Callback\PowerState" with PO_CB_SYSTEM_STATE_LOCK: Argument2 0 when the system is
// about to leave S0, 1 when it is back in S0.
void NotifySystemStateLock(bool backInWorkingState);

}  // namespace kvz::kernel
