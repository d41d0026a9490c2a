// UVC class requests as control URBs: built, submitted on the device's synchronous path, retried
// while the bus reports a low-power state, and deferred to a work item when an OUT request is
// issued at DISPATCH_LEVEL.
#pragma once
#include <wdm.h>
#include <ks.h>

namespace kvz {

class UsbDevice;

typedef VOID (*ClassRequestCallback)(PKSDEVICE device, PVOID context, NTSTATUS status);

class ClassRequestSender {
 public:
  ClassRequestSender(PKSDEVICE device, UsbDevice* owner);
  // Waits (PASSIVE_LEVEL) until every deferred OUT request has run: their work items use this
  // object.
  ~ClassRequestSender();
  ClassRequestSender(const ClassRequestSender&) = delete;
  ClassRequestSender& operator=(const ClassRequestSender&) = delete;

  NTSTATUS UvcClassGetRequest(UCHAR request, USHORT value, USHORT index, PVOID buffer, ULONG length);
  NTSTATUS UvcClassSetRequest(UCHAR request, USHORT value, USHORT index, PVOID buffer, ULONG length);

  // function: a vendor or class request function (0x17 to 0x20, not 0x1D or 0x1E). At
  // DISPATCH_LEVEL an IN request fails with STATUS_UNSUCCESSFUL and an OUT request is queued to a
  // work item (STATUS_PENDING); the callback then runs from the work item.
  NTSTATUS SendClassRequest(UCHAR request, USHORT function, USHORT value, USHORT index, PVOID buffer,
                            PULONG length, BOOLEAN in, ClassRequestCallback callback, PVOID context);
  // PASSIVE_LEVEL. On success *length holds the bytes transferred (for IN at most the bytes
  // asked for, and only those are copied to buffer).
  NTSTATUS SubmitControlUrb(UCHAR request, USHORT function, USHORT value, USHORT index, PVOID buffer,
                            PULONG length, BOOLEAN in);

 private:
  NTSTATUS DeferOutRequest(UCHAR request, USHORT function, USHORT value, USHORT index, PVOID buffer,
                           ULONG length, ClassRequestCallback callback, PVOID context);
  static VOID NTAPI RunDeferredControlRequest(PDEVICE_OBJECT device, PVOID record);

  VOID ReleaseDeferred();

  PKSDEVICE device_;
  UsbDevice* owner_;
  // One reference held by the object itself plus one per queued deferred request; the event is
  // set when the last goes.
  LONG volatile deferredReferences_;
  KEVENT deferredDone_;
};

}  // namespace kvz
