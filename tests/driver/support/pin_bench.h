// The control bench with the pin test driver loaded: the real capture filter and pins over a
// stand-in device whose frames the test hands in; formats found by the client's intersection.
#pragma once

#include "control_bench.h"
#include "pin_test_device.h"

namespace kvz::drivertest {

class PinBench : public ControlBench {
 protected:
  void SetUp() override;

  // The factory whose category is given; -1 when the filter has none.
  LONG PinOf(const GUID& category);
  // The pin's data range for a code (0 for RGB24), size and specifier; empty when none.
  ksclient::Bytes Range(ULONG pin, ULONG code, LONG width, LONG height, bool videoInfo2 = false);
  // The intersection's answer for that range, asking for an interval.
  ksclient::Bytes Format(ULONG pin, ULONG code, LONG width, LONG height, LONGLONG interval = 333333,
                         bool videoInfo2 = false);
  NTSTATUS Open(ULONG pin, const ksclient::Bytes& format, std::unique_ptr<ksclient::KsPinClient>* client);
  // Opens a capture pin and walks it to RUN.
  std::unique_ptr<ksclient::KsPinClient> Running(ULONG code, LONG width, LONG height, bool still = false);
};

// The bitmap header of a VIDEOINFO or VIDEOINFO2 data format.
KS_BITMAPINFOHEADER* BitmapOf(ksclient::Bytes& format);

}  // namespace kvz::drivertest
