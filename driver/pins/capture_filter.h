// The camera's kernel-streaming filter: the descriptor the device builds at every start and hands
// to KsCreateFilterFactory, the per-instance CaptureFilter that collects what the pins
// negotiated and starts the device stream, and the pin descriptors made at filter creation.
#pragma once
#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

#include "driver/controls/control_constants.h"

namespace kvz {

class PinDevice;

// The filter descriptor with its automation table, topology nodes and connections; embedded in
// the camera device. The device hands AutomationTable() and Nodes() to the unit container's
// configuration parse, then calls BuildFilterDescriptor, and Release at its own release.
class CaptureFilterDescriptor {
 public:
  CaptureFilterDescriptor();
  CaptureFilterDescriptor(const CaptureFilterDescriptor&) = delete;
  CaptureFilterDescriptor& operator=(const CaptureFilterDescriptor&) = delete;
  ~CaptureFilterDescriptor() { Release(); }

  PKSAUTOMATION_TABLE AutomationTable() { return &automation_; }
  PKSNODE_DESCRIPTOR Nodes() { return nodes_; }
  // nodeCount nodes as the parse left them; sensorCategories for a camera that is not the first
  // interface of its device or a listed camera. The connections follow the pin factories that a
  // filter of this device will create (a data pin without data ranges is not created).
  NTSTATUS BuildFilterDescriptor(PinDevice* device, ULONG nodeCount, bool sensorCategories);
  const KSFILTER_DESCRIPTOR* Descriptor() const { return &descriptor_; }
  // Frees the connection block.
  VOID Release();

 private:
  KSFILTER_DESCRIPTOR descriptor_;
  KSAUTOMATION_TABLE automation_;
  KSNODE_DESCRIPTOR nodes_[kMaxTopologyNodes];
  PKSTOPOLOGY_CONNECTION connections_;
};

// One per filter instance, in the KSFILTER's Context and object bag.
class CaptureFilter {
 public:
  explicit CaptureFilter(PinDevice* device);
  virtual NTSTATUS StartStream(PKSPIN pin, ULONG streamType);
  virtual ~CaptureFilter() = default;

  // The pin's connection format copy (KS_VIDEOINFOHEADER layout), its committed payload size.
  NTSTATUS ConfigureStream(const KS_VIDEOINFOHEADER* format, ULONG payloadSize, ULONG streamType);
  // 100-ns units; 10,000,000 for a stream type without a slot.
  LONGLONG GetFrameInterval(ULONG streamType) const;
  ULONG GetFrameSize(ULONG streamType) const;
  ULONG LargestPayload() const { return static_cast<ULONG>(__atomic_load_n(&largestPayload_, __ATOMIC_ACQUIRE)); }
  PinDevice* Device() const { return device_; }

  static VOID NTAPI Free(PVOID object);

 private:
  static LONG SlotOf(ULONG streamType);

  // Interlocked, the intervals under their spin lock: the resume after sleep configures the
  // capture stream without the filter's control mutex, under which the still pin and the property
  // handlers use them. A spin lock, since the 32-bit driver runs on processors without a 64-bit
  // compare-exchange.
  volatile LONG largestPayload_;
  PinDevice* device_;
  mutable KSPIN_LOCK intervalLock_;
  LONGLONG frameIntervals_[3];
  volatile LONG frameSizes_[3];
};

CaptureFilter* CaptureFilterFromPin(PKSPIN pin);

// Filter dispatch.
NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP irp);
NTSTATUS NTAPI FilterClose(PKSFILTER filter, PIRP irp);

// Fills a pin factory's descriptor for a stream type; false for a data pin without data ranges.
bool BuildPinDescriptor(PinDevice* device, PKSPIN_DESCRIPTOR_EX descriptor, ULONG streamType);

// The framing every data pin starts from.
extern const KSALLOCATOR_FRAMING_EX kPinFramingTemplate;
// The driver's own category of the bridge pin.
extern const GUID PINNAME_KVZ_BRIDGE;

}  // namespace kvz
