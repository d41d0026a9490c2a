// The streaming interface's bandwidth as the pins and the private test change it.
#pragma once
#include <wdm.h>

namespace kvz {

class StreamBandwidth {
 public:
  // The alternate setting for the payload size, selected once on the way from zero bandwidth.
  virtual NTSTATUS SelectStreamingAltSetting(ULONG payloadSize) = 0;
  // Alternate setting 0 (on a bulk camera only the mark).
  virtual NTSTATUS SelectZeroBandwidth() = 0;

 protected:
  StreamBandwidth() = default;
  ~StreamBandwidth() = default;
};

}  // namespace kvz
