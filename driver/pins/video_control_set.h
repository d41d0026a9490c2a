// PROPSETID_VIDCAP_VIDEOCONTROL on the filter and its video-streaming node: still capabilities
// and mode of the pins, the actual and best frame interval of a capture range, the interval list
// of a range, and the still trigger through the mode.
#pragma once
#include <wdm.h>
#include <ks.h>

namespace kvz {

NTSTATUS NTAPI VideoControlGetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data);
NTSTATUS NTAPI VideoControlSetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data);

// The set's four items, static.
ULONG GetVideoControlItems(const KSPROPERTY_ITEM** items);

}  // namespace kvz
