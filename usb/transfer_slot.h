// One transfer in flight of an asynchronous reader, and the context of its IRP's completion.
#pragma once
#include <wdm.h>
#include <usb.h>

namespace kvz {

class UrbIrpSource;

constexpr ULONG kSlotMarkBad = 0x1;
constexpr ULONG kSlotMarkStill = 0x2;
constexpr ULONG kSlotMarkFid = 0x4;  // the payload's frame ID bit

struct TransferSlot {
  PUCHAR data;
  ULONG dataSize;
  PURB urb;
  PIRP irp;
  ULONG mark;
  ULONG endOfFrame;
  KTIMER retryTimer;
  KDPC retryDpc;
  UrbIrpSource* owner;
};

}  // namespace kvz
