// The application's side of the I/O manager: files opened on devices, device-control requests,
// cancellation, cleanup and close.
#include <mutex>

#include "io/io_manager.h"
#include "ke/irql_check.h"
#include "kvz/io_client.h"
#include "rtl/utf16.h"

namespace kvz::kernel {

struct ClientRequest::State {
  std::mutex lock;
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  PIRP irp = nullptr;
  bool done = false;
};

namespace {

PFILE_OBJECT NewFileObject(PDEVICE_OBJECT device, PFILE_OBJECT related, char16_t* name, size_t nameBytes) {
  auto* file = new FILE_OBJECT{};
  file->Type = IO_TYPE_FILE;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = device;
  file->RelatedFileObject = related;
  file->FileName.Buffer = name;
  file->FileName.Length = static_cast<USHORT>(nameBytes);
  file->FileName.MaximumLength = static_cast<USHORT>(nameBytes);
  file->ReadAccess = TRUE;
  file->WriteAccess = TRUE;
  KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
  KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
  InitializeListHead(&file->IrpList);
  return file;
}

// Sends a create, cleanup or close for the file and waits for it.
NTSTATUS SendFileRequest(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major, ACCESS_MASK access) {
  RequirePassive("client request");
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = io::BuildThreadedIrp(top, major, &event, &iosb);
  if (!irp) {
    ObfDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = file;
  irp->Flags |= IRP_SYNCHRONOUS_API;
  IO_SECURITY_CONTEXT security{};
  security.DesiredAccess = access;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->FileObject = file;
  if (major == IRP_MJ_CREATE) {
    irp->Flags |= IRP_CREATE_OPERATION;
    next->Parameters.Create.SecurityContext = &security;
    next->Parameters.Create.Options = FILE_OPEN << 24;
    next->Parameters.Create.ShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
  } else if (major == IRP_MJ_CLOSE) {
    irp->Flags |= IRP_CLOSE_OPERATION;
  }
  NTSTATUS status = io::SendAndWait(top, irp, &event, &iosb);
  ObfDereferenceObject(top);
  return status;
}

}  // namespace

NTSTATUS ClientFile::Open(const std::u16string& linkName, std::unique_ptr<ClientFile>* file, ACCESS_MASK access) {
  std::u16string fileName;
  PDEVICE_OBJECT pdo = io::DeviceOfInterface(linkName, &fileName);
  if (!pdo) return STATUS_OBJECT_NAME_NOT_FOUND;
  return OpenOnDevice(pdo, fileName.data(), fileName.size() * sizeof(char16_t), nullptr, file, access);
}

NTSTATUS ClientFile::OpenOnDevice(PDEVICE_OBJECT device, const void* fileName, size_t fileNameBytes,
                                  ClientFile* related, std::unique_ptr<ClientFile>* file, ACCESS_MASK access) {
  if (fileNameBytes > 0xFFFE) return STATUS_OBJECT_NAME_INVALID;
  std::unique_ptr<ClientFile> opened(new ClientFile);
  opened->name_.assign((fileNameBytes + 1) / 2 + 1, 0);
  if (fileNameBytes) memcpy(opened->name_.data(), fileName, fileNameBytes);
  opened->device_ = device;
  ObfReferenceObject(device);
  opened->file_ = NewFileObject(device, related ? related->file_ : nullptr, opened->name_.data(), fileNameBytes);
  NTSTATUS status = SendFileRequest(device, opened->file_, IRP_MJ_CREATE, access);
  if (!NT_SUCCESS(status)) return status;  // the destructor frees what was made
  opened->open_ = true;
  *file = std::move(opened);
  return status;
}

ClientFile::~ClientFile() {
  if (open_) Close();
  delete file_;
  if (device_) ObfDereferenceObject(device_);
}

NTSTATUS ClientFile::Close() {
  if (!open_) return STATUS_INVALID_HANDLE;
  SendFileRequest(device_, file_, IRP_MJ_CLEANUP, 0);
  NTSTATUS status = SendFileRequest(device_, file_, IRP_MJ_CLOSE, 0);
  open_ = false;
  return status;
}

std::shared_ptr<ClientRequest> ClientFile::DeviceIoControlAsync(ULONG code, const void* input, ULONG inputLength,
                                                                void* output, ULONG outputLength) {
  RequirePassive("client device control");
  auto request = std::shared_ptr<ClientRequest>(new ClientRequest);
  auto state = std::make_shared<ClientRequest::State>();
  request->state_ = state;
  KeInitializeEvent(&state->event, NotificationEvent, FALSE);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device_);
  PIRP irp = IoBuildDeviceIoControlRequest(code, top, const_cast<void*>(input), inputLength, output, outputLength,
                                           FALSE, &state->event, &state->iosb);
  if (!irp) {
    ObfDereferenceObject(top);
    state->done = true;
    state->iosb.Status = STATUS_INSUFFICIENT_RESOURCES;
    return request;
  }
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = file_;
  IoGetNextIrpStackLocation(irp)->FileObject = file_;
  state->irp = irp;
  io::SetBeforeFree(irp, [state] {
    std::lock_guard<std::mutex> hold(state->lock);
    state->irp = nullptr;
  });
  NTSTATUS status = IofCallDriver(top, irp);
  ObfDereferenceObject(top);
  if (NT_ERROR(status) && status != STATUS_PENDING) {
    // Failed at once: the status block and event are not touched by the I/O manager.
    std::lock_guard<std::mutex> hold(state->lock);
    if (!KeReadStateEvent(&state->event)) {
      state->done = true;
      state->iosb.Status = status;
      state->iosb.Information = 0;
    }
  }
  return request;
}

NTSTATUS ClientFile::DeviceIoControl(ULONG code, const void* input, ULONG inputLength, void* output,
                                     ULONG outputLength, ULONG_PTR* information) {
  auto request = DeviceIoControlAsync(code, input, inputLength, output, outputLength);
  request->Wait();
  if (information) *information = request->Information();
  return request->Status();
}

ClientRequest::~ClientRequest() = default;

bool ClientRequest::Done() {
  std::lock_guard<std::mutex> hold(state_->lock);
  return state_->done || KeReadStateEvent(&state_->event);
}

bool ClientRequest::Wait(int64_t timeout100ns) {
  if (Done()) return true;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -timeout100ns;
  KeWaitForSingleObject(&state_->event, Executive, KernelMode, FALSE, timeout100ns < 0 ? nullptr : &timeout);
  return Done();
}

void ClientRequest::Cancel() {
  PIRP irp;
  {
    std::lock_guard<std::mutex> hold(state_->lock);
    if (state_->done || !state_->irp) return;
    irp = state_->irp;
    if (!io::HoldIrp(irp)) return;
  }
  IoCancelIrp(irp);
  io::ReleaseIrp(irp);
}

NTSTATUS ClientRequest::Status() {
  std::lock_guard<std::mutex> hold(state_->lock);
  return state_->iosb.Status;
}

ULONG_PTR ClientRequest::Information() {
  std::lock_guard<std::mutex> hold(state_->lock);
  return state_->iosb.Information;
}

}  // namespace kvz::kernel
