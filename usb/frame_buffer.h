// One camera frame as a stream reader assembles it and lends it to a pin, and the stream types
// and transport states the readers share.
#pragma once
#include <wdm.h>

namespace kvz {

// The stream a pin registers for: the stream types of the driver's filter and pins too (its
// bridge pin, type 2, streams nothing).
constexpr ULONG kStreamCapture = 1;
constexpr ULONG kStreamStill = 3;
constexpr ULONG kStreamThird = 4;  // has a ready list but no pin factory

enum TransportState : LONG {
  kTransportRunning = 0,
  kTransportStopped = 1,  // also while stopping
  kTransportPaused = 2,
};

struct FrameBuffer {
  LIST_ENTRY links;  // on at most one of the reader's lists
  PUCHAR data;
  ULONG capacity;    // the frame size the buffer was made for
  ULONG filled;
};

// What a pin may read of a frame it took.
inline ULONG UsableFrameLength(const FrameBuffer* frame) {
  return frame->filled < frame->capacity ? frame->filled : frame->capacity;
}

// What a reader did with the frames it finished; for diagnostics and tests.
struct StreamCounters {
  ULONG delivered;  // put on a ready list for a pin
  ULONG discarded;  // damaged (bad header, error bit, error packet, overflow, cut still) or empty
  ULONG dropped;    // undamaged, but no free buffer when it began
};

}  // namespace kvz
