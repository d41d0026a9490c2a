#include "pin_session.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ksmedia.h"

namespace kvz::capture {

PinIds FindPins(ksclient::KsFilterClient& filter) {
  PinIds ids;
  ULONG count = 0;
  if (!NT_SUCCESS(filter.PinCount(&count))) return ids;
  for (ULONG i = 0; i < count; ++i) {
    GUID category{};
    if (!NT_SUCCESS(filter.PinCategory(i, &category))) continue;
    if (category == PINNAME_VIDEO_CAPTURE) ids.capture = static_cast<int>(i);
    if (category == PINNAME_VIDEO_STILL) ids.still = static_cast<int>(i);
  }
  return ids;
}

NTSTATUS CreatePinFromRange(ksclient::KsFilterClient& filter, int pinId, const VideoRange& range,
                            std::optional<int64_t> interval, CreatedPin* out, std::string* error) {
  Bytes format;
  NTSTATUS status = filter.Intersect(static_cast<ULONG>(pinId), {range.raw}, &format);
  if (!NT_SUCCESS(status)) {
    *error = "data intersection failed: " + StatusText(status);
    return status;
  }
  if (interval) {
    if (*interval < range.minInterval || *interval > range.maxInterval) {
      *error = "the camera does not offer that frame rate for this size";
      return STATUS_INVALID_PARAMETER;
    }
    SetFormatInterval(&format, *interval);
  }
  if (!ParseVideoFormat(format, &out->format)) {
    *error = "the pin proposed a format that is not video info";
    return STATUS_INVALID_PARAMETER;
  }
  status = filter.CreatePin(static_cast<ULONG>(pinId), format, &out->pin);
  if (!NT_SUCCESS(status)) *error = "pin creation failed: " + StatusText(status);
  return status;
}

std::vector<int64_t> ListedIntervals(ksclient::KsFilterClient& filter, int pinId, const VideoRange& range) {
  std::vector<int64_t> listed;
  KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S request{};
  request.Property.Set = PROPSETID_VIDCAP_VIDEOCONTROL;
  request.Property.Id = KSPROPERTY_VIDEOCONTROL_FRAME_RATES;
  request.Property.Flags = KSPROPERTY_TYPE_GET;
  request.StreamIndex = static_cast<ULONG>(pinId);
  request.RangeIndex = static_cast<ULONG>(range.index);
  request.Dimensions.cx = range.width;
  request.Dimensions.cy = std::abs(range.height);
  Bytes answer;
  KSMULTIPLE_ITEM head{};
  if (NT_SUCCESS(filter.GetVariable(&request, sizeof(request), &answer)) && answer.size() >= sizeof(head)) {
    std::memcpy(&head, answer.data(), sizeof(head));
    for (size_t i = 0; i < head.Count && sizeof(head) + (i + 1) * sizeof(int64_t) <= answer.size(); ++i) {
      int64_t interval = 0;
      std::memcpy(&interval, answer.data() + sizeof(head) + i * sizeof(int64_t), sizeof(interval));
      listed.push_back(interval);
    }
  }
  return listed;
}

int64_t IntervalForRate(ksclient::KsFilterClient& filter, int pinId, const VideoRange& range, double fps) {
  const double asked = double(kHundredNsPerSecond) / fps;
  if (asked < double(range.minInterval) - 1 || asked > double(range.maxInterval) + 1) return std::llround(asked);
  std::vector<int64_t> listed = ListedIntervals(filter, pinId, range);
  if (listed.empty()) listed = {range.minInterval, range.maxInterval};
  int64_t nearest = listed.front();
  for (int64_t interval : listed)
    if (std::abs(double(interval) - asked) < std::abs(double(nearest) - asked)) nearest = interval;
  return nearest;
}

NTSTATUS RunPin(ksclient::KsPinClient& pin) {
  for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
    const NTSTATUS status = pin.SetState(s);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

void StopPin(ksclient::KsPinClient& pin) {
  for (KSSTATE s : {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}) pin.SetState(s);
}

NTSTATUS TriggerStill(ksclient::KsFilterClient& filter, ULONG stillPinId) {
  KSPROPERTY_VIDEOCONTROL_MODE_S mode{};
  mode.Property.Set = PROPSETID_VIDCAP_VIDEOCONTROL;
  mode.Property.Id = KSPROPERTY_VIDEOCONTROL_MODE;
  mode.Property.Flags = KSPROPERTY_TYPE_SET;
  mode.StreamIndex = stillPinId;
  mode.Mode = KS_VideoControlFlag_Trigger;
  return filter.Property(&mode, sizeof(mode), &mode, sizeof(mode));
}

NTSTATUS GetDroppedFrames(ksclient::KsPinClient& pin, KSPROPERTY_DROPPEDFRAMES_CURRENT_S* drops) {
  *drops = {};
  drops->Property.Set = PROPSETID_VIDCAP_DROPPEDFRAMES;
  drops->Property.Id = KSPROPERTY_DROPPEDFRAMES_CURRENT;
  drops->Property.Flags = KSPROPERTY_TYPE_GET;
  return pin.Property(drops, sizeof(*drops), drops, sizeof(*drops));
}

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
  return text;
}

}  // namespace kvz::capture
