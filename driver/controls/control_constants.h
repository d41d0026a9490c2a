// Numbers of the camera's controls as the property sets and the settings loader use them:
// extension-unit limits, property-data layouts and pool tags (request codes and selectors are in
// common/uvc_codes.h).
#pragma once
#include <wdm.h>

#include "common/uvc_codes.h"

namespace kvz {

constexpr ULONG kXuMaxControls = 32;
constexpr ULONG kXuIdentitySize = 25;
constexpr ULONG kXuIdentityOffset = 4;
constexpr USHORT kXuMaxControlLength = 4096;

// Property data of the camera-control and video-procamp sets: plain or node layout.
constexpr ULONG kPlainValueOffset = 24;
constexpr ULONG kNodeValueOffset = 32;
constexpr ULONG kPlainPropertyData = 40;
constexpr ULONG kNodePropertyData = 48;
constexpr ULONG kPropertyHeaderSize = 24;

// The filter's and the topology nodes' automation tables.
constexpr ULONG kMaxPropertySets = 16;
constexpr ULONG kMaxEventSets = 4;
constexpr ULONG kStreamingNodeSets = 3;
constexpr ULONG kMaxTopologyNodes = 3 + 3;  // terminal, processing unit, extension units, streaming

// Pool tags.
constexpr ULONG kTagStepping = 'PPSt';
constexpr ULONG kTagDefault = 'PinI';
constexpr ULONG kTagMembersList = 'PPML';
constexpr ULONG kTagValues = 'PPVl';
constexpr ULONG kTagPlainControl = 'ClDC';
constexpr ULONG kTagUnitControl = 'ClBC';
constexpr ULONG kTagRangeControl = 'ClRC';
constexpr ULONG kTagPresetControl = 'ClEP';
constexpr ULONG kTagRangeBuffer = 'ClRB';
constexpr ULONG kTagRegionWorkItem = 'VCWI';

}  // namespace kvz
