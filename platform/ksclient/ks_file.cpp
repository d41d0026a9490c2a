#include "ks_file.h"

namespace kvz::ksclient {

PendingRequest::~PendingRequest() {
  if (request_ && !request_->Done()) {
    request_->Cancel();
    request_->Wait();
  }
}

NTSTATUS PendingRequest::Wait(int64_t timeout100ns) {
  if (!request_) return STATUS_INSUFFICIENT_RESOURCES;
  if (!request_->Wait(timeout100ns)) return STATUS_TIMEOUT;
  return request_->Status();
}

bool PendingRequest::Done() { return !request_ || request_->Done(); }
NTSTATUS PendingRequest::Status() { return request_ ? request_->Status() : STATUS_INSUFFICIENT_RESOURCES; }
ULONG_PTR PendingRequest::Information() { return request_ ? request_->Information() : 0; }
void PendingRequest::Cancel() {
  if (request_) request_->Cancel();
}

KsFile::~KsFile() = default;

NTSTATUS KsFile::Open(PDEVICE_OBJECT device, const std::u16string& name, std::unique_ptr<KsFile>* file) {
  std::unique_ptr<kvz::kernel::ClientFile> f;
  NTSTATUS status =
      kvz::kernel::ClientFile::OpenOnDevice(device, name.data(), name.size() * sizeof(char16_t), nullptr, &f);
  if (NT_SUCCESS(status)) file->reset(new KsFile(std::move(f)));
  return status;
}

NTSTATUS KsFile::OpenLink(const std::u16string& link, std::unique_ptr<KsFile>* file) {
  std::unique_ptr<kvz::kernel::ClientFile> f;
  NTSTATUS status = kvz::kernel::ClientFile::Open(link, &f);
  if (NT_SUCCESS(status)) file->reset(new KsFile(std::move(f)));
  return status;
}

NTSTATUS KsFile::OpenRelative(KsFile& parent, const std::vector<uint8_t>& name, std::unique_ptr<KsFile>* file) {
  std::unique_ptr<kvz::kernel::ClientFile> f;
  NTSTATUS status = kvz::kernel::ClientFile::OpenOnDevice(parent.Device(), name.data(), name.size(),
                                                          parent.file_.get(), &f);
  if (NT_SUCCESS(status)) file->reset(new KsFile(std::move(f)));
  return status;
}

NTSTATUS KsFile::Control(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength,
                         ULONG_PTR* returned) {
  return file_->DeviceIoControl(code, input, inputLength, output, outputLength, returned);
}

std::unique_ptr<PendingRequest> KsFile::ControlAsync(ULONG code, const void* input, ULONG inputLength, void* output,
                                                     ULONG outputLength) {
  std::unique_ptr<PendingRequest> request(new PendingRequest());
  request->request_ = file_->DeviceIoControlAsync(code, input, inputLength, output, outputLength);
  return request;
}

NTSTATUS KsFile::Close() { return file_->IsOpen() ? file_->Close() : STATUS_SUCCESS; }

}  // namespace kvz::ksclient
