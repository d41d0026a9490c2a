// An open file on a kernel-streaming device (a filter, a pin, or a private channel) and the
// requests a client sends on it. Calls block in kernel waits: the caller is a kernel thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ks.h"
#include "kvz/io_client.h"

namespace kvz::ksclient {

// A request sent without waiting (stream reads): wait for it, or cancel it.
class PendingRequest {
 public:
  PendingRequest(const PendingRequest&) = delete;
  PendingRequest& operator=(const PendingRequest&) = delete;
  ~PendingRequest();  // cancels and waits when still pending

  // Waits up to timeout100ns (negative: forever). STATUS_TIMEOUT while it is still pending.
  NTSTATUS Wait(int64_t timeout100ns = -1);
  bool Done();
  NTSTATUS Status();
  ULONG_PTR Information();
  void Cancel();

 private:
  friend class KsFile;
  PendingRequest() = default;
  std::shared_ptr<kvz::kernel::ClientRequest> request_;
};

class KsFile {
 public:
  ~KsFile();  // closes
  KsFile(const KsFile&) = delete;
  KsFile& operator=(const KsFile&) = delete;

  // Opens `name` (for example u"\\GLOBAL") on the top of the device stack of `device`.
  static NTSTATUS Open(PDEVICE_OBJECT device, const std::u16string& name, std::unique_ptr<KsFile>* file);
  // Opens an object below `parent` (a pin below its filter); `name` may carry binary bytes.
  static NTSTATUS OpenRelative(KsFile& parent, const std::vector<uint8_t>& name, std::unique_ptr<KsFile>* file);

  // A device-control request, waited for. `returned` receives IoStatus.Information.
  NTSTATUS Control(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength,
                   ULONG_PTR* returned = nullptr);
  std::unique_ptr<PendingRequest> ControlAsync(ULONG code, const void* input, ULONG inputLength, void* output,
                                               ULONG outputLength);
  // Sends IRP_MJ_CLEANUP and IRP_MJ_CLOSE; the status of the close.
  NTSTATUS Close();

  // Opens a device interface by its symbolic link (optionally followed by "\more").
  static NTSTATUS OpenLink(const std::u16string& link, std::unique_ptr<KsFile>* file);

  PFILE_OBJECT Object() const { return file_->FileObject(); }
  PDEVICE_OBJECT Device() const { return file_->Device(); }

 private:
  explicit KsFile(std::unique_ptr<kvz::kernel::ClientFile> file) : file_(std::move(file)) {}
  std::unique_ptr<kvz::kernel::ClientFile> file_;
};

}  // namespace kvz::ksclient
