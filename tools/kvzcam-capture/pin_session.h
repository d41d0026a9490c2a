// Pins as an application drives them: find the capture and still pin factories, create a pin
// from one of its data ranges through the data intersection, walk it to RUN and back to STOP.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ks_client.h"
#include "ksmedia.h"
#include "video_formats.h"

namespace kvz::capture {

// Pin factory ids of the capture and still pins (-1 when absent).
struct PinIds {
  int capture = -1;
  int still = -1;
};
PinIds FindPins(ksclient::KsFilterClient& filter);

struct CreatedPin {
  std::unique_ptr<ksclient::KsPinClient> pin;
  VideoFormat format;
};

// Intersects the range with the pin factory, optionally sets the frame interval (it must lie in
// the range), and creates the pin. *error says what failed.
NTSTATUS CreatePinFromRange(ksclient::KsFilterClient& filter, int pinId, const VideoRange& range,
                            std::optional<int64_t> interval, CreatedPin* out, std::string* error);

// The frame intervals the pin factory lists for a range (the video control's frame-rate list);
// empty when it lists none.
std::vector<int64_t> ListedIntervals(ksclient::KsFilterClient& filter, int pinId, const VideoRange& range);

// The interval to ask for a frame rate. A rate inside the range (its ends taken to one 100-ns
// unit, so a continuous range takes every rate it spans) gets the interval the pin factory lists
// nearest it (the video control's frame-rate list): 15 fps is the listed 666666, not a rounded
// 666667. A rate outside the range gets its own interval, which CreatePinFromRange refuses.
int64_t IntervalForRate(ksclient::KsFilterClient& filter, int pinId, const VideoRange& range, double fps);

// STOP to ACQUIRE, PAUSE and RUN, stopping at the first failure.
NTSTATUS RunPin(ksclient::KsPinClient& pin);
// Back down to STOP (each state in turn, whatever fails).
void StopPin(ksclient::KsPinClient& pin);

// A still image through the video control mode (trigger) for the given pin factory.
NTSTATUS TriggerStill(ksclient::KsFilterClient& filter, ULONG stillPinId);
// The capture pin's dropped-frames property: picture number, drop count, average frame size.
NTSTATUS GetDroppedFrames(ksclient::KsPinClient& pin, KSPROPERTY_DROPPEDFRAMES_CURRENT_S* drops);

std::string StatusText(NTSTATUS status);

}  // namespace kvz::capture
