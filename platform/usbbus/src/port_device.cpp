#include "port_device.h"

#include <algorithm>
#include <cstring>

#include "kvz/worker_queue.h"
#include "usb100.h"

namespace kvz::usb {
namespace {

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

std::vector<AlternateInfo> ParseAlternates(const std::vector<uint8_t>& config) {
  std::vector<AlternateInfo> out;
  if (config.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return out;
  const size_t end = std::min<size_t>(config.size(), U16(config.data() + 2));
  for (size_t at = 0; at + 2 <= end;) {
    const uint8_t* d = config.data() + at;
    if (d[0] < 2 || at + d[0] > end) break;
    if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[0] >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      AlternateInfo a;
      a.interfaceNumber = d[2];
      a.alternate = d[3];
      a.interfaceClass = d[5];
      a.subClass = d[6];
      a.protocol = d[7];
      out.push_back(a);
    } else if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && d[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR) && !out.empty()) {
      out.back().endpoints.push_back(EndpointInfo{d[2], d[3], U16(d + 4), d[6], 0, false});
    } else if (d[1] == USB_SUPERSPEED_ENDPOINT_COMPANION_DESCRIPTOR_TYPE && d[0] >= 6 && !out.empty() &&
               !out.back().endpoints.empty()) {
      out.back().endpoints.back().hasCompanion = true;
      out.back().endpoints.back().bytesPerInterval = U16(d + 4);
    }
    at += d[0];
  }
  return out;
}

std::u16string Hex4(uint16_t v) {
  static const char16_t digits[] = u"0123456789ABCDEF";
  std::u16string s;
  for (int shift = 12; shift >= 0; shift -= 4) s += digits[(v >> shift) & 0xF];
  return s;
}

}  // namespace

PortDevice::PortDevice(std::shared_ptr<UsbFunction> function, const PortOptions& options)
    : function_(std::move(function)), options_(options), syncDraw_(options.syncCompletionSeed) {
  speed_ = function_->GetSpeed();
  deviceDescriptor_ = function_->DeviceDescriptor();
  configurationDescriptor_ = function_->ConfigurationDescriptor();
  alternates_ = ParseAlternates(configurationDescriptor_);
  if (configurationDescriptor_.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) configurationValue_ = configurationDescriptor_[5];
  control_ = std::make_unique<Pipe>();
  control_->type = UsbdPipeTypeControl;
  KeInitializeSpinLock(&lock_);
  KeInitializeEvent(&wake_, SynchronizationEvent, FALSE);
  KeInitializeEvent(&secondWake_, SynchronizationEvent, FALSE);
}

PortDevice::~PortDevice() {
  if (attached_.exchange(false)) function_->Attach(nullptr);
  if (!removed_.load()) RemoveDevice();
  stopping_ = true;
  KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
  thread_.reset();
  KeSetEvent(&secondWake_, IO_NO_INCREMENT, FALSE);
  secondThread_.reset();
  if (pdo_) IoDeleteDevice(pdo_);
  for (Request* r : ready_) delete r;
}

PortDevice* PortDevice::FromDevice(PDEVICE_OBJECT device) {
  return *static_cast<PortDevice**>(device->DeviceExtension);
}

uint64_t PortDevice::FrameUnit() const { return speed_ == Speed::Full ? 10000 : 1250; }

// The first poll of an interrupt pipe after `after`: polls fall on multiples of its period.
uint64_t PortDevice::NextPoll(const Pipe& pipe, uint64_t after) const {
  const uint64_t period = static_cast<uint64_t>(pipe.pollFrames) * FrameUnit();
  return (after / period + 1) * period;
}

bool PortDevice::Suspended() const {
  const DEVICE_POWER_STATE p = powerState_.load();
  return p != PowerDeviceD0 && p != PowerDeviceUnspecified;
}

std::vector<std::u16string> PortDevice::HardwareIds() const {
  const uint16_t vid = deviceDescriptor_.size() >= 18 ? U16(deviceDescriptor_.data() + 8) : 0;
  const uint16_t pid = deviceDescriptor_.size() >= 18 ? U16(deviceDescriptor_.data() + 10) : 0;
  const uint16_t rev = deviceDescriptor_.size() >= 18 ? U16(deviceDescriptor_.data() + 12) : 0;
  std::u16string base = u"USB\\VID_" + Hex4(vid) + u"&PID_" + Hex4(pid);
  std::u16string mi;
  if (options_.interfaceNumber >= 0) {
    mi = u"&MI_";
    mi += static_cast<char16_t>(u'0' + options_.interfaceNumber / 10 % 10);
    mi += static_cast<char16_t>(u'0' + options_.interfaceNumber % 10);
  }
  return {base + u"&REV_" + Hex4(rev) + mi, base + mi};
}

kvz::kernel::DeviceDescription PortDevice::Description() const {
  kvz::kernel::DeviceDescription d;
  const std::vector<std::u16string> ids = HardwareIds();
  d.hardwareIds = ids;
  d.compatibleIds = {u"USB\\Class_0E&SubClass_03&Prot_00", u"USB\\Class_0E&SubClass_03", u"USB\\Class_0E"};
  d.instanceId = ids.back() + u"\\6&0&0&" + std::u16string(1, static_cast<char16_t>(u'0' + options_.portNumber % 10));
  d.driverKeyName = options_.driverKeyName;
  d.description = u"USB Video Device";
  d.capabilities = kvz::kernel::DeviceDescription::DefaultCapabilities();
  d.capabilities.Address = options_.portNumber;
  d.capabilities.SurpriseRemovalOK = 1;
  d.capabilities.DeviceD2 = 1;
  return d;
}

void PortDevice::Kick() {
  ++kicks_;
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  for (auto& p : pipes_)
    if (p->readyAt == UINT64_MAX) p->readyAt = 0;
  KeReleaseSpinLock(&lock_, irql);
  KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
}

void PortDevice::RequestRemoval() {
  removalRequested_ = true;
  KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
}

void PortDevice::SetRemovalHandler(std::function<void()> handler) {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  removalHandler_ = std::move(handler);
  KeReleaseSpinLock(&lock_, irql);
}

void PortDevice::Unplug() { RemoveDevice(); }

void PortDevice::Remove(NTSTATUS status, uint32_t transactionErrors) {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  if (transactionErrors) {
    errorsBeforeRemoval_ = transactionErrors;
    removalAfterErrors_ = status;
  } else {
    goneStatus_ = status;
    goneUrbStatus_ = status == STATUS_CANCELLED ? USBD_STATUS_CANCELED : USBD_STATUS_DEVICE_GONE;
  }
  KeReleaseSpinLock(&lock_, irql);
  if (!transactionErrors) RequestRemoval();
}

void PortDevice::ArmBusFault(const BusFault& fault) {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  faults_.push_back(fault);
  KeReleaseSpinLock(&lock_, irql);
}

void PortDevice::ClearBusFaults() {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  faults_.clear();
  KeReleaseSpinLock(&lock_, irql);
}

bool PortDevice::TakeFault(BusRequest request, BusFault* fault) {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  bool hit = false;
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->request != request) continue;
    *fault = *it;
    hit = true;
    if (it->count == 1)
      faults_.erase(it);
    else if (it->count > 1)
      --it->count;
    break;
  }
  KeReleaseSpinLock(&lock_, irql);
  return hit;
}

bool PortDevice::CompletesInCall() {
  if (options_.syncCompletionShare <= 0) return false;
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  const bool inCall = std::uniform_real_distribution<double>(0.0, 1.0)(syncDraw_) < options_.syncCompletionShare;
  KeReleaseSpinLock(&lock_, irql);
  return inCall;
}

size_t PortDevice::PendingRequests() {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  size_t n = held_.size() + ready_.size() + delayed_.size() + second_.size() + heldPower_.size() + (idle_ ? 1 : 0) +
             control_->queue.size();
  for (auto& p : pipes_) n += p->queue.size();
  KeReleaseSpinLock(&lock_, irql);
  return n;
}

// ---- Request life ------------------------------------------------------------------------------

Completion PortDevice::Gone() const { return {goneStatus_, goneUrbStatus_, 0}; }

NTSTATUS PortDevice::FailNow(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS urbStatus) {
  if (urb) urb->UrbHeader.Status = urbStatus;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS PortDevice::CompleteLater(PIRP irp, PURB urb, Completion completion, int64_t delay) {
  if (delay == 0 && completion.irpStatus == STATUS_SUCCESS && USBD_SUCCESS(completion.urbStatus) && CompletesInCall())
    return FailNow(irp, urb, STATUS_SUCCESS, completion.urbStatus);
  auto* r = new Request;
  r->irp = irp;
  r->urb = urb;
  r->completion = completion;
  return MakeReady(r, delay);
}

NTSTATUS PortDevice::MakeReady(Request* request, int64_t delay) {
  IoMarkIrpPending(request->irp);
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  if (delay > 0) {
    request->due = KeQueryInterruptTime() + static_cast<uint64_t>(delay);
    auto at = std::find_if(delayed_.begin(), delayed_.end(), [&](Request* d) { return d->due > request->due; });
    delayed_.insert(at, request);
  } else {
    ready_.push_back(request);
  }
  KeReleaseSpinLock(&lock_, irql);
  KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
  return STATUS_PENDING;
}

namespace {

VOID NTAPI CancelPending(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  PortDevice::FromDevice(device)->CancelRequest(irp);
}

}  // namespace

NTSTATUS PortDevice::Pend(Request* request, std::deque<Request*>* queue) {
  IoMarkIrpPending(request->irp);
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  if (removed_.load()) {
    request->completion = Gone();
    ready_.push_back(request);
  } else {
    queue->push_back(request);
    IoSetCancelRoutine(request->irp, CancelPending);
    if (__atomic_load_n(&request->irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(request->irp, nullptr) != nullptr) {
      queue->pop_back();
      request->completion = {STATUS_CANCELLED, USBD_STATUS_CANCELED, 0};
      ready_.push_back(request);
    }
  }
  KeReleaseSpinLock(&lock_, irql);
  KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
  return STATUS_PENDING;
}

// Called with lock_ held: takes r out of queue; false when it was not there.
bool PortDevice::TakeFromQueue(Request* r, std::deque<Request*>& queue) {
  auto it = std::find(queue.begin(), queue.end(), r);
  if (it == queue.end()) return false;
  queue.erase(it);
  IoSetCancelRoutine(r->irp, nullptr);
  return true;
}

void PortDevice::PutBackAtHead(Request* r, std::deque<Request*>& queue, uint64_t readyAt) {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  r->pipe->readyAt = readyAt;
  if (removed_.load()) {
    r->completion = Gone();
    ready_.push_back(r);
  } else {
    queue.push_front(r);
    IoSetCancelRoutine(r->irp, CancelPending);
    if (__atomic_load_n(&r->irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(r->irp, nullptr) != nullptr) {
      queue.pop_front();
      r->completion = {STATUS_CANCELLED, USBD_STATUS_CANCELED, 0};
      ready_.push_back(r);
    }
  }
  KeReleaseSpinLock(&lock_, irql);
}

void PortDevice::CancelRequest(PIRP irp) {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  Request* found = nullptr;
  auto take = [&](std::deque<Request*>& queue) {
    for (auto it = queue.begin(); it != queue.end() && !found; ++it)
      if ((*it)->irp == irp) {
        found = *it;
        queue.erase(it);
        return;
      }
  };
  take(held_);
  if (!found) take(control_->queue);
  for (auto& p : pipes_)
    if (!found) take(p->queue);
  if (!found && idle_ && idle_->irp == irp) {
    found = idle_;
    ClearIdleLocked();
  }
  if (found) {
    found->completion = {STATUS_CANCELLED, USBD_STATUS_CANCELED, 0};
    ready_.push_back(found);
  }
  KeReleaseSpinLock(&lock_, irql);
  KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
}

// Called with lock_ held.
void PortDevice::CancelPipeRequests(Pipe* pipe, NTSTATUS status, USBD_STATUS urbStatus) {
  while (!pipe->queue.empty()) {
    Request* r = pipe->queue.front();
    pipe->queue.pop_front();
    IoSetCancelRoutine(r->irp, nullptr);
    r->completion = {status, urbStatus, 0};
    ready_.push_back(r);
  }
}

void PortDevice::RemoveDevice() {
  std::function<void()> handler;
  std::deque<PIRP> power;
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  const bool first = !removed_.exchange(true);
  const Completion gone = Gone();
  CancelPipeRequests(control_.get(), gone.irpStatus, gone.urbStatus);
  for (auto& p : pipes_) {
    CancelPipeRequests(p.get(), gone.irpStatus, gone.urbStatus);
    p->active = false;
  }
  for (Request* r : held_) {
    IoSetCancelRoutine(r->irp, nullptr);
    r->completion = gone;
    ready_.push_back(r);
  }
  held_.clear();
  if (idle_) {
    IoSetCancelRoutine(idle_->irp, nullptr);
    idle_->completion = gone;
    ready_.push_back(idle_);
    ClearIdleLocked();
  }
  power.swap(heldPower_);
  configured_ = false;
  if (first && removalRequested_.load()) handler = removalHandler_;
  KeReleaseSpinLock(&lock_, irql);
  for (PIRP irp : power) {
    irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
  if (handler) kvz::kernel::QueueSystemWork(DelayedWorkQueue, handler, "USB device removal");
  if (first && reenumerateAfterRemoval_.exchange(false) && reenumerate_)
    kvz::kernel::QueueSystemWork(DelayedWorkQueue, reenumerate_, "USB device arrival");
}

void PortDevice::Finish(Request* r) {
  const Completion& c = r->completion;
  if (r->urb) {
    r->urb->UrbHeader.Status = c.urbStatus;
    switch (r->kind) {
      case Request::Kind::kControl:
        r->urb->UrbControlVendorClassRequest.TransferBufferLength = c.length;
        break;
      case Request::Kind::kBulk:
        r->urb->UrbBulkOrInterruptTransfer.TransferBufferLength = c.length;
        break;
      default:
        break;
    }
  }
  if (r->kind == Request::Kind::kIsoch || r->kind == Request::Kind::kBulk) ++completedTransfers_;
  r->irp->IoStatus.Status = c.irpStatus;
  r->irp->IoStatus.Information = 0;
  PIRP irp = r->irp;
  delete r;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  KeLowerIrql(old);
}

// In stress mode the data pipes' completions are split over two threads by pipe, so that
// completion routines of different pipes (and of the default pipe) run at the same moment while
// each pipe's completions stay in order, as on a host controller with several interrupters.
void PortDevice::Deliver(Request* r) {
  if (options_.twoCompletionThreads && r->pipe && r->pipe != control_.get() && r->pipe->ordinal % 2 == 1) {
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    second_.push_back(r);
    KeReleaseSpinLock(&lock_, irql);
    KeSetEvent(&secondWake_, IO_NO_INCREMENT, FALSE);
    return;
  }
  Finish(r);
}

// A burst of transaction errors before the device drops off: each transfer that completes now
// fails with USBD_STATUS_XACT_ERROR; after the last one the device is gone.
void PortDevice::FailTransferForRemoval(Request* r) {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  bool fail = errorsBeforeRemoval_ > 0 && (r->kind == Request::Kind::kIsoch || r->kind == Request::Kind::kBulk);
  bool last = false;
  if (fail) {
    last = --errorsBeforeRemoval_ == 0;
    if (last) {
      goneStatus_ = removalAfterErrors_;
      goneUrbStatus_ = removalAfterErrors_ == STATUS_CANCELLED ? USBD_STATUS_CANCELED : USBD_STATUS_DEVICE_GONE;
    }
  }
  KeReleaseSpinLock(&lock_, irql);
  if (!fail) return;
  r->completion = {STATUS_UNSUCCESSFUL, USBD_STATUS_XACT_ERROR, 0};
  if (r->kind == Request::Kind::kIsoch) {
    auto& t = r->urb->UrbIsochronousTransfer;
    for (ULONG i = 0; i < t.NumberOfPackets; ++i) {
      t.IsoPacket[i].Status = USBD_STATUS_XACT_ERROR;
      t.IsoPacket[i].Length = 0;
    }
    t.ErrorCount = t.NumberOfPackets;
    t.TransferBufferLength = 0;
  }
  if (last) RequestRemoval();
}

// Back in D0 from a suspend: isochronous transfers that waited through it are scheduled afresh,
// in order, and the transfers that waited go on.
void PortDevice::PortPowerChanged(DEVICE_POWER_STATE from, DEVICE_POWER_STATE to) {
  if (to != PowerDeviceD0 || from == PowerDeviceD0 || from == PowerDeviceUnspecified) return;
  const uint64_t now = KeQueryInterruptTime();
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  const uint64_t unit = FrameUnit();
  for (auto& p : pipes_) {
    if (p->type != UsbdPipeTypeIsochronous) continue;
    uint64_t start = now / unit + 1;
    for (Request* r : p->queue) {
      const uint32_t packets = r->urb->UrbIsochronousTransfer.NumberOfPackets;
      r->startFrame = start;
      r->lateFrames = 0;
      r->due = (start + packets) * unit;
      r->urb->UrbIsochronousTransfer.StartFrame = static_cast<ULONG>(start / (speed_ == Speed::Full ? 1 : 8));
      start += packets;
    }
    p->nextFrame = p->queue.empty() ? 0 : start;
  }
  KeReleaseSpinLock(&lock_, irql);
  Kick();
}

// ---- The bus threads ---------------------------------------------------------------------------

void PortDevice::ThreadBody() {
  for (;;) {
    uint64_t wakeAt = 0;
    while (ServiceOnce(&wakeAt)) {
    }
    if (stopping_.load()) {
      KIRQL irql;
      KeAcquireSpinLock(&lock_, &irql);
      const bool drained = ready_.empty();
      KeReleaseSpinLock(&lock_, irql);
      if (drained) return;
      continue;
    }
    const uint64_t now = KeQueryInterruptTime();
    if (wakeAt != 0 && wakeAt <= now) continue;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(wakeAt - now);
    KeWaitForSingleObject(&wake_, Executive, KernelMode, FALSE, wakeAt ? &timeout : nullptr);
  }
}

void PortDevice::SecondThreadBody() {
  for (;;) {
    std::deque<Request*> batch;
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    batch.swap(second_);
    KeReleaseSpinLock(&lock_, irql);
    for (Request* r : batch) Finish(r);
    if (batch.empty()) {
      if (stopping_.load()) return;
      KeWaitForSingleObject(&secondWake_, Executive, KernelMode, FALSE, nullptr);
    }
  }
}

// One pass over what is due; true when something was done. *wakeAt: the earliest time something
// falls due (0: only a kick can make something due).
bool PortDevice::ServiceOnce(uint64_t* wakeAt) {
  if (removalRequested_.load() && !removed_.load()) RemoveDevice();
  const uint64_t now = KeQueryInterruptTime();
  *wakeAt = 0;
  auto earliest = [&](uint64_t t) {
    if (t && t != UINT64_MAX && (*wakeAt == 0 || t < *wakeAt)) *wakeAt = t;
  };

  // Decided completions first, in order; then at most one transfer that falls due. A suspended
  // port moves no data: its transfers wait for D0.
  std::deque<Request*> ready;
  Request* work = nullptr;
  {
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    ready.swap(ready_);
    while (!delayed_.empty() && delayed_.front()->due <= now) {
      ready.push_back(delayed_.front());
      delayed_.pop_front();
    }
    if (!delayed_.empty()) earliest(delayed_.front()->due);
    const bool suspended = Suspended();
    auto consider = [&](Pipe* p) {
      if (p->queue.empty() || work || suspended) return;
      Request* head = p->queue.front();
      if (head->held) return;
      if (p->type == UsbdPipeTypeIsochronous || p->type == UsbdPipeTypeControl || head->failAtDue) {
        if (head->due <= now) {
          TakeFromQueue(head, p->queue);
          work = head;
        } else {
          earliest(head->due);
        }
      } else if (p->readyAt <= now && head->due <= now) {
        TakeFromQueue(head, p->queue);
        work = head;
      } else if (p->readyAt != UINT64_MAX) {
        earliest(std::max(p->readyAt, head->due));
      }
    };
    consider(control_.get());
    for (auto& p : pipes_) consider(p.get());
    KeReleaseSpinLock(&lock_, irql);
  }
  for (Request* r : ready) Deliver(r);
  if (!work) return !ready.empty();

  if (work->failAtDue) {
    Deliver(work);
  } else if (work->kind == Request::Kind::kControl) {
    ServiceControl(work, now);
  } else if (work->kind == Request::Kind::kIsoch) {
    FillIsoch(work, now);
    if (work->held) {
      PutBackAtHead(work, work->pipe->queue, 0);
      return true;
    }
    // Unplugged while its packets were filled: the transfer goes with the device.
    if (removed_.load()) work->completion = Gone();
    FailTransferForRemoval(work);
    Deliver(work);
  } else {
    ServiceStream(work, now);
  }
  return true;
}

// A default-pipe request reaches the device now: OUT data is read from the caller's buffer at this
// moment, IN data lands in it only now.
Outcome PortDevice::AskDevice(Request* r, uint64_t now) {
  const USB_DEFAULT_PIPE_SETUP_PACKET& setup = r->setup;
  const bool in = (setup.bmRequestType & 0x80) != 0;
  std::vector<uint8_t> answer(in ? std::max<size_t>(setup.wLength, 1) : 0);
  uint8_t scratch = 0;
  uint8_t* data = in ? answer.data() : (r->data ? r->data : &scratch);
  const Outcome o = function_->Control(setup, data, now);
  if (o.disposition != Disposition::kComplete) return o;
  r->completion = o.completion;
  if (in) {
    // A device that claims more than was asked (a fault on demand) is reported as it claims;
    // only the bytes asked for land in the buffer.
    const uint32_t landed = std::min<uint32_t>(r->completion.length, setup.wLength);
    if (r->data && landed) memcpy(r->data, answer.data(), landed);
  } else if (r->completion.irpStatus == STATUS_SUCCESS) {
    r->completion.length = setup.wLength;
  }
  return o;
}

void PortDevice::ServiceControl(Request* r, uint64_t now) {
  const Outcome o = AskDevice(r, now);
  if (o.disposition == Disposition::kRemove) {
    removalRequested_ = true;
    r->completion = Gone();
    RemoveDevice();
    Deliver(r);
    return;
  }
  if (o.disposition == Disposition::kHold) {
    r->held = true;
    Pend(r, &held_);
    return;
  }
  if (removed_.load()) r->completion = Gone();
  Deliver(r);
}

// A bulk or interrupt transfer whose time has come: the device has data, or not yet.
void PortDevice::ServiceStream(Request* work, uint64_t now) {
  Pipe* pipe = work->pipe;
  const bool interrupt = pipe->type == UsbdPipeTypeInterrupt;
  if (pipe->halted) {
    work->completion = {STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED, 0};
    Deliver(work);
    return;
  }
  auto& t = work->urb->UrbBulkOrInterruptTransfer;
  uint8_t* buffer = static_cast<uint8_t*>(t.TransferBuffer);
  if (!buffer && t.TransferBufferMDL) buffer = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(t.TransferBufferMDL, 0));
  const uint64_t kicks = kicks_.load();
  StreamResult s = function_->StreamIn(pipe->endpoint, now, buffer, t.TransferBufferLength);
  if (!s.ready) {
    // A kick while the device was asked means it may have something now. An interrupt pipe
    // hears of it only at its next poll.
    const uint64_t readyAt = kicks_.load() != kicks ? 0 : s.readyAt ? s.readyAt : UINT64_MAX;
    if (interrupt) work->due = NextPoll(*pipe, readyAt == UINT64_MAX ? now : std::max<uint64_t>(now, readyAt));
    PutBackAtHead(work, pipe->queue, readyAt);
    return;
  }
  if (s.outcome.disposition == Disposition::kHold) {
    work->held = true;
    PutBackAtHead(work, pipe->queue, 0);
    return;
  }
  if (s.outcome.disposition == Disposition::kRemove) {
    removalRequested_ = true;
    PutBackAtHead(work, pipe->queue, 0);
    return;
  }
  work->completion = s.outcome.completion;
  if (work->completion.irpStatus == STATUS_SUCCESS && USBD_SUCCESS(work->completion.urbStatus) &&
      work->completion.length < t.TransferBufferLength && !(t.TransferFlags & USBD_SHORT_TRANSFER_OK)) {
    // A short packet without USBD_SHORT_TRANSFER_OK is an error.
    work->completion.irpStatus = STATUS_UNSUCCESSFUL;
    work->completion.urbStatus = USBD_STATUS_ERROR_SHORT_TRANSFER;
  }
  // A stall or babble halts the endpoint: everything after fails until the pipe is reset.
  const USBD_STATUS u = work->completion.urbStatus;
  if (u == USBD_STATUS_STALL_PID || u == USBD_STATUS_BABBLE_DETECTED || u == USBD_STATUS_DATA_OVERRUN) {
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    pipe->halted = true;
    KeReleaseSpinLock(&lock_, irql);
  }
  // Unplugged while the device was being asked: the transfer goes with the device.
  if (removed_.load()) work->completion = Gone();
  FailTransferForRemoval(work);
  Deliver(work);
}

void PortDevice::FillIsoch(Request* r, uint64_t now) {
  auto& t = r->urb->UrbIsochronousTransfer;
  const uint32_t packets = t.NumberOfPackets;
  USBD_ISO_PACKET_DESCRIPTOR* desc = t.IsoPacket;
  Outcome start = function_->IsochTransferStarts(r->pipe->endpoint, packets, now);
  if (start.disposition == Disposition::kHold) {
    r->held = true;
    return;
  }
  if (start.disposition == Disposition::kRemove) {
    removalRequested_ = true;
    r->completion = Gone();
    return;
  }
  uint8_t* buffer = static_cast<uint8_t*>(t.TransferBuffer);
  if (!buffer && t.TransferBufferMDL) buffer = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(t.TransferBufferMDL, 0));
  const bool failed = start.completion.irpStatus != STATUS_SUCCESS || !USBD_SUCCESS(start.completion.urbStatus);
  uint32_t total = 0, errors = 0;
  std::vector<uint8_t> packet;
  for (uint32_t i = 0; i < packets; ++i) {
    desc[i].Length = 0;
    if (failed) {
      desc[i].Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
      ++errors;
      continue;
    }
    if (i < r->lateFrames) {
      desc[i].Status = USBD_STATUS_ISO_NOT_ACCESSED_LATE;
      ++errors;
      continue;
    }
    // The device sends what its endpoint allows, whatever room the host left for the packet.
    const uint32_t end = i + 1 < packets ? desc[i + 1].Offset : t.TransferBufferLength;
    const uint32_t room = std::min<uint32_t>(end - desc[i].Offset, r->pipe->bytesPerInterval);
    const uint64_t frame = r->startFrame + i;
    packet.resize(r->pipe->bytesPerInterval);
    IsochPacketResult p = function_->IsochInPacket(r->pipe->endpoint, frame, frame * FrameUnit(), packet.data(),
                                                   r->pipe->bytesPerInterval);
    const uint32_t length = std::min({p.length, room, r->pipe->bytesPerInterval});
    if (length) std::memcpy(buffer + desc[i].Offset, packet.data(), length);
    // A failed packet may still carry the bytes that arrived.
    desc[i].Length = length;
    desc[i].Status = USBD_SUCCESS(p.status) && p.length > room ? USBD_STATUS_BUFFER_OVERRUN : p.status;
    if (!USBD_SUCCESS(desc[i].Status)) ++errors;
    total += length;
  }
  t.ErrorCount = errors;
  t.TransferBufferLength = total;
  if (failed) {
    r->completion = start.completion;
    r->completion.length = 0;
  } else if (packets && errors == packets) {
    r->completion = {STATUS_UNSUCCESSFUL, USBD_STATUS_ISOCH_REQUEST_FAILED, 0};
  } else {
    r->completion = {STATUS_SUCCESS, USBD_STATUS_SUCCESS, total};
  }
}

// ---- Idle notification -------------------------------------------------------------------------

bool PortDevice::IdleNotificationPending() {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  const bool pending = idle_ != nullptr;
  KeReleaseSpinLock(&lock_, irql);
  return pending;
}

void PortDevice::RunIdleCallback() {
  USB_IDLE_CALLBACK_INFO info{};
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  if (idle_) info = *static_cast<PUSB_IDLE_CALLBACK_INFO>(
                 IoGetCurrentIrpStackLocation(idle_->irp)->Parameters.DeviceIoControl.Type3InputBuffer);
  KeReleaseSpinLock(&lock_, irql);
  if (!info.IdleCallback) return;
  QueueIdleCallback(info);
}

void PortDevice::ClearIdleLocked() {
  idle_ = nullptr;
  if (idleLive_) idleLive_->store(false);
  idleLive_.reset();
}

void PortDevice::QueueIdleCallback(const USB_IDLE_CALLBACK_INFO& info) {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  std::shared_ptr<std::atomic<bool>> live = idleLive_;
  KeReleaseSpinLock(&lock_, irql);
  if (!live) return;
  kvz::kernel::QueueSystemWork(
      DelayedWorkQueue, [info, live] { if (live->load()) info.IdleCallback(info.IdleContext); }, "USB idle callback");
}

void PortDevice::CompleteIdleNotification(NTSTATUS status) {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  if (idle_) {
    IoSetCancelRoutine(idle_->irp, nullptr);
    idle_->completion = {status, NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : USBD_STATUS_CANCELED, 0};
    ready_.push_back(idle_);
    ClearIdleLocked();
  }
  KeReleaseSpinLock(&lock_, irql);
  KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
}

}  // namespace kvz::usb
