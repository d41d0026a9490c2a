// The application's side of the I/O manager: open a file on a device (through a device
// interface's symbolic link, or on a device object with a raw file name), send device-control
// requests synchronously or asynchronously, cancel them, close. Each call sends the IRPs an
// application's handle would cause (IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP then
// IRP_MJ_CLOSE) to the top of the device's stack, from the calling thread (which must be a
// kernel thread), as user-mode requests.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "../wdm.h"

namespace kvz::kernel {

class ClientRequest;

class ClientFile {
 public:
  // linkName: a symbolic link name from EnabledDeviceInterfaces, optionally followed by
  // "\more"; the create carries "\<reference string>\more" as FileName.
  static NTSTATUS Open(const std::u16string& linkName, std::unique_ptr<ClientFile>* file,
                       ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE);
  // A create on a device object's stack with any file name bytes (kernel streaming puts binary
  // structures after a GUID) and optionally a related file (the filter of a pin, say).
  static NTSTATUS OpenOnDevice(PDEVICE_OBJECT device, const void* fileName, size_t fileNameBytes,
                               ClientFile* related, std::unique_ptr<ClientFile>* file,
                               ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE);
  ~ClientFile();  // closes when still open
  ClientFile(const ClientFile&) = delete;
  ClientFile& operator=(const ClientFile&) = delete;

  // Synchronous device control; *information receives IoStatus.Information (0 on a failure
  // returned at once). METHOD_BUFFERED copies through a system buffer, the direct methods
  // describe the output with an MDL, METHOD_NEITHER passes the caller's pointers.
  NTSTATUS DeviceIoControl(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength,
                           ULONG_PTR* information = nullptr);
  // Started and left running; the buffers must live until the request is done.
  std::shared_ptr<ClientRequest> DeviceIoControlAsync(ULONG code, const void* input, ULONG inputLength, void* output,
                                                      ULONG outputLength);
  // IRP_MJ_CLEANUP then IRP_MJ_CLOSE; the close's status.
  NTSTATUS Close();

  PFILE_OBJECT FileObject() const { return file_; }
  PDEVICE_OBJECT Device() const { return device_; }  // the device the file was opened on
  bool IsOpen() const { return open_; }

 private:
  ClientFile() = default;
  NTSTATUS Send(UCHAR major, PIRP* built);
  PFILE_OBJECT file_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  bool open_ = false;
  std::vector<char16_t> name_;
};

class ClientRequest {
 public:
  ~ClientRequest();
  bool Done();
  // Waits in a kernel wait (timeout100ns < 0: without limit). True when done.
  bool Wait(int64_t timeout100ns = -1);
  // IoCancelIrp while the request runs; nothing when it is done.
  void Cancel();
  NTSTATUS Status();              // valid when done
  ULONG_PTR Information();        // valid when done

  struct State;

 private:
  friend class ClientFile;
  std::shared_ptr<State> state_;
};

}  // namespace kvz::kernel
