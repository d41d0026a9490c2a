// What the isochronous and bulk stream readers share: the pins registered per stream type, the
// five frame lists, frame assembly from UVC payloads, lending frames to the pins, the count of
// transfers in flight and the stop drain.
#pragma once
#include <wdm.h>
#include <ks.h>
#include <usb.h>

#include "usb/frame_buffer.h"
#include "usb/stream_transport.h"
#include "usb/urb_irp_source.h"

namespace kvz {

class UsbDevice;

// StreamTransport first: the device frees a reader through that base (see stream_transport.h).
class StreamReaderCore : public StreamTransport, public UrbIrpSource {
 public:
  // PASSIVE_LEVEL, from the pins' process routines. The newest ready video frame (older ones go
  // back to the free list unread), or the head of the still or type-4 ready list; null if none.
  FrameBuffer* TakeReadyFrame(ULONG streamType) override;
  // Kind 1: the video free list; any other kind: the still free list. Freed once stopped.
  VOID ReturnFrameBuffer(FrameBuffer* frame, ULONG kind) override;

  PKSPIN RegisteredPin(ULONG streamType) override;
  VOID AlternateSettingSelected() override;
  TransportState State() const;
  StreamCounters Counters();
  LONG TransfersInFlight() const;

  StreamReaderCore(const StreamReaderCore&) = delete;
  StreamReaderCore& operator=(const StreamReaderCore&) = delete;

  // The UVC payload header rule: a 12-byte header with end of header, source clock and
  // presentation time, else the payload is bad. Returns the payload's length (header included)
  // or 0. Sets the still, bad and frame-ID bits in *mark and *endOfFrame at EOF.
  static ULONG CheckPayloadHeader(const UCHAR* data, ULONG length, ULONG* mark, ULONG* endOfFrame);

 protected:
  enum FrameList : ULONG { kVideoFree, kStillFree, kVideoReady, kStillReady, kType4Ready, kFrameListCount };

  StreamReaderCore(PUSBD_INTERFACE_INFORMATION interfaceInfo, ULONG pipeIndex, CCHAR stackSize, UsbDevice* device);
  ~StreamReaderCore() override;

  // Records the pin of a stream type (under the stream lock, so no completion uses a pin that
  // was just unregistered). Returns true when both a video and a type-4 pin are now registered.
  bool RegisterPin(ULONG streamType, PKSPIN pin);
  // Clears it; true when neither a video nor a type-4 pin is left.
  bool UnregisterPin(ULONG streamType);
  bool StreamingPinLeft();
  VOID SetState(TransportState state);
  // The pause rule both readers share: refused while a type-4 pin is registered or while
  // stopped; *previous is the state before.
  NTSTATUS ChangePause(ULONG paused, TransportState* previous);

  // Appends at the tail of the list; a buffer that cannot be made is left out.
  ULONG MakeFrameBuffers(ULONG count, ULONG frameSize, FrameList list);
  VOID FreeList(FrameList list);
  // All five lists and the frame in progress; with keepStill the still lists stay, and a still
  // in progress goes back to them.
  VOID FreeFrameBuffers(bool keepStill = false);
  // The still lists, once their still pin is gone; a type-4 pin that still uses them keeps them.
  VOID FreeStillBuffers();

  // One payload of a completed transfer, already checked by the header rule (length and mark
  // from it). Takes, switches, fills and finishes the frame in progress; a new frame ID ends it
  // incomplete. A length of 0 with the bad mark is a loss (MarkLossLocked). Caller holds the
  // stream lock.
  VOID AssemblePayloadLocked(const UCHAR* data, ULONG length, ULONG mark, ULONG endOfFrame);
  // Payloads were lost (an error packet, a failed transfer, a gap in the stream, a pause): the
  // frame in progress is bad, and so is a frame whose first payload comes right after the loss,
  // since the loss may have held its beginning. Caller holds the stream lock.
  VOID MarkLossLocked();
  // A stop after which the camera streams on (the isochronous alternate setting stays selected):
  // the next start comes in the middle of the camera's stream, so it begins with a loss unless
  // an alternate setting is selected in between. Caller holds the stream lock.
  VOID KeepStreamCutLocked() { streamCut_ = true; }
  // At a start: the loss of a stop kept by KeepStreamCutLocked. Caller holds the stream lock.
  VOID BeginAfterStreamCutLocked();
  // STATUS_UNSUCCESSFUL, appending nothing, when the payload does not fit.
  static NTSTATUS AppendPayload(const UCHAR* packet, FrameBuffer* frame, ULONG length);

  // Stop drain: checks 2 ms after the call, then every 5 ms, until no transfer is in flight;
  // with a limit (system time, 100-ns units) it gives up after it. Waits; PASSIVE_LEVEL.
  VOID DrainTransfers(LONGLONG limit);
  // Abort or reset of the streaming pipe through a synchronous request.
  NTSTATUS PipeRequest(USHORT function, ULONG tag);

  // No transfer in flight, stop event clear: the beginning of a stream.
  VOID ResetTransferCount();
  VOID CountTransferOut() { InterlockedDecrement(&inFlight_); }
  VOID CountTransferIn() { InterlockedIncrement(&inFlight_); }
  USBD_PIPE_HANDLE PipeHandle() const;
  ULONG PipeMaximumPacketSize() const;
  bool HasPipe() const;

  KIRQL LockStream();
  VOID UnlockStream(KIRQL irql);

  UsbDevice* device_;
  PUSBD_INTERFACE_INFORMATION interfaceInfo_;
  ULONG pipeIndex_;
  KSPIN_LOCK streamLock_;  // packet walk, frame finishing, pins, state changes

 private:
  static KDEFERRED_ROUTINE DrainDpc;
  VOID CheckDrained();
  VOID RecycleLocked(FrameBuffer* frame, ULONG kind);
  FrameBuffer* TakeFree(ULONG kind);
  VOID FinishFrameLocked();
  VOID OpenFrameLocked(ULONG kind, bool takeBuffer);
  VOID CloseFrameLocked();
  VOID DiscardIncompleteFrameLocked();
  static VOID FreeFrame(FrameBuffer* frame);

  PKSPIN videoPin_;
  PKSPIN stillPin_;
  PKSPIN type4Pin_;
  volatile LONG state_;
  volatile LONG inFlight_;
  LIST_ENTRY lists_[kFrameListCount];
  KSPIN_LOCK listLocks_[kFrameListCount];
  KEVENT stopEvent_;
  KTIMER drainTimer_;
  KDPC drainDpc_;
  LONGLONG stopTime_;
  LONGLONG drainLimit_;

  // The frame in progress: open from its first payload to its end of frame. A frame that began
  // without a buffer stays without one, so no buffer returned meanwhile starts it headless.
  FrameBuffer* frame_;
  ULONG kind_;
  ULONG frameMark_;
  bool frameOpen_;
  bool frameHadData_;
  bool frameFidKnown_;  // the frame ID of the frame in progress, from its first readable payload
  UCHAR frameFid_;
  bool lossPending_;    // payloads lost since the last readable one
  bool streamCut_;      // stopped while the camera streams on
  StreamCounters counters_;
};

}  // namespace kvz
