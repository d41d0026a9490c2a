// The still-image pin: the UVC still probe and commit, the still stream on the running transport,
// and each still frame (button or trigger) into the client's buffer as YUY2, RGB24 or MJPG.
#pragma once
#include <wdm.h>
#include <ks.h>

#include "driver/pins/camera_pin_base.h"
#include "driver/pins/format_table.h"
#include "postproc/convert/still_converter.h"

namespace kvz {

class StillPin final : public CameraPinBase {
 public:
  static NTSTATUS NTAPI Create(PKSPIN pin, PIRP irp);

  NTSTATUS BuildProbe(PUCHAR* block, PULONG length) override;
  NTSTATUS CommitProbe(PUCHAR block, ULONG length) override;
  NTSTATUS SetDeviceState(KSSTATE to, KSSTATE from) override;
  NTSTATUS Process() override;
  NTSTATUS Close() override;
  VOID Destroy() override;

 private:
  explicit StillPin(PKSPIN pin);
  template <class T, class... Args>
  friend T* PoolNew(ULONG tag, Args... args);
  FrameEntry CurrentFrame;
  ULONG OutputSubtype;
  // The camera's still into the offered format (YUY2 and RGB24; MJPG is copied as it came).
  StillConverter Converter;
  // Counted among the device's open still pins (a failed create never was).
  bool CountedOpen;
};

extern const KSPIN_DISPATCH kStillPinDispatch;

}  // namespace kvz
