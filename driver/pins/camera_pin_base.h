// What the capture and still pins share: the pin object in KSPIN.Context with its connection
// format copy, payload size and stream state; the common create body; the data-format and
// data-intersection handlers of both pins; the UVC probe/commit exchange; the dispatch thunks.
#pragma once
#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>
#include <uvc.h>

namespace kvz {

class CaptureFilter;
class PinDevice;
class PinProcessing;

// StreamState values.
constexpr LONG kPinStopped = 0;
constexpr LONG kPinPaused = 1;
constexpr LONG kPinRunning = 2;

// The UVC probe and commit blocks of the two data pins.
using VideoProbeControl = UVC_VIDEO_PROBE_COMMIT;
using StillProbeControl = UVC_STILL_PROBE_COMMIT;
static_assert(sizeof(VideoProbeControl) == 26 && sizeof(StillProbeControl) == 11, "UVC probe blocks");

// The pin objects live in the pin's object bag. Close releases what a pin shares with the device
// and the stream; the bag's free (FreePoolItem) destroys the object through Destroy, which each pin
// implements with PoolDelete under its own tag, as the device and the filter are destroyed.
class CameraPinBase {
 public:
  explicit CameraPinBase(PKSPIN pin);

  virtual NTSTATUS BuildProbe(PUCHAR* block, PULONG length) = 0;
  virtual NTSTATUS CommitProbe(PUCHAR block, ULONG length) = 0;
  virtual NTSTATUS SetDeviceState(KSSTATE to, KSSTATE from) = 0;
  virtual NTSTATUS Process() = 0;
  virtual NTSTATUS Close() = 0;
  // Runs the pin's destructor and frees its block (PoolDelete under the pin's tag).
  virtual VOID Destroy() = 0;

  // The body of both pins' Create once the object is built; takes ownership of the object.
  NTSTATUS CreateCommon(PIRP irp);
  // A new copy of the pin's connection format in KS_VIDEOINFOHEADER layout, in the pin's bag.
  PKS_VIDEOINFOHEADER CopyConnectionFormat();
  NTSTATUS ProbeCommitControl(UCHAR probeSelector, UCHAR commitSelector, PUCHAR block, ULONG length);
  NTSTATUS NegotiateProbe();

  ULONG GetPayloadSize() const { return PayloadSize; }
  PKS_VIDEOINFOHEADER GetConnectionFormat() const { return ConnectionFormat; }
  VOID SetRequestedWidth(ULONG width) { RequestedWidth = width; }

  static VOID NTAPI FreePoolItem(PVOID block);

 protected:
  ~CameraPinBase() = default;
  // One owner per stream type and device (see StreamOwnership).
  bool ClaimStream(ULONG streamType);
  bool OwnsStream(ULONG streamType) const;
  VOID ReleaseStream(ULONG streamType);

  ULONG RequestedWidth;
  CaptureFilter* Filter;
  ULONG PayloadSize;
  PinDevice* Device;
  PinProcessing* Processing;  // the device's post-processing; null without a device
  PKSPIN Pin;
  PKS_VIDEOINFOHEADER ConnectionFormat;
  LONG StreamState;
};

// KSPIN_DISPATCH entries shared by both pins.
NTSTATUS NTAPI PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM oldAttributeList,
                                const KSDATARANGE* dataRange, const KSATTRIBUTE_LIST* attributeRange);
NTSTATUS NTAPI PinIntersectHandler(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE callerRange,
                                   PKSDATARANGE descriptorRange, ULONG bufferSize, PVOID data, PULONG dataSize);
NTSTATUS NTAPI PinCloseThunk(PKSPIN pin, PIRP irp);
NTSTATUS NTAPI PinSetDeviceStateThunk(PKSPIN pin, KSSTATE to, KSSTATE from);
NTSTATUS NTAPI PinProcessThunk(PKSPIN pin);

// The bitmap header of a KS_DATARANGE_VIDEO or, for any other specifier, KS_DATARANGE_VIDEO2.
const KS_BITMAPINFOHEADER* RangeBitmapHeader(const KSDATARANGE* range);

}  // namespace kvz
