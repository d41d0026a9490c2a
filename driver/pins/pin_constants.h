// The filter's and pins' numbers in one place: pool tags, UVC probe/commit selectors and block
// sizes, allocator framing, the waits of the state machine, stream header flags and the sizes
// the format checks use.
#pragma once
#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

#include "usb/usb_limits.h"

namespace kvz {

// Pool tags.
constexpr ULONG kTagCaptureFilter = 'ClFl';
constexpr ULONG kTagPinDescriptor = 'PIND';
constexpr ULONG kTagBridgeDescriptor = 'PDTI';
constexpr ULONG kTagConnections = 'Ptmp';
constexpr ULONG kTagCapturePin = 'ClCP';
constexpr ULONG kTagStillPin = 'ClSP';
constexpr ULONG kTagConnectionFormat = 'VDIF';
constexpr ULONG kTagPinEdit = 'ALCF';
constexpr ULONG kTagVideoProbe = 'VPCC';
constexpr ULONG kTagStillProbe = 'SPCC';
constexpr ULONG kTagEncoderWorkspace = 'ClCP';
constexpr ULONG kTagDisplayPath = 'Ptmp';

// UVC video streaming interface requests.
constexpr UCHAR kVsProbeControl = 1;
constexpr UCHAR kVsCommitControl = 2;
constexpr UCHAR kVsStillProbeControl = 3;
constexpr UCHAR kVsStillCommitControl = 4;
constexpr UCHAR kVsStillImageTriggerControl = 5;
constexpr ULONG kVideoProbeLength = 26;
constexpr ULONG kStillProbeLength = 11;
constexpr ULONG kProbeScratchLength = 32;
constexpr ULONG kProbeQualityOffset = 12;
constexpr USHORT kProbeCompQuality = 47;

// Pin descriptors and framing.
constexpr ULONG kCapturePinFlags = KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_HYPERCRITICAL_PROCESSING;
constexpr ULONG kStillPinFlags = KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY;
constexpr ULONG kFramingFlags = KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY;
constexpr ULONG kTemplateFrames = 4;
constexpr ULONG kTemplateFrameSize = 16384;
constexpr ULONG kPinFrames = 10;
constexpr ULONG kStreamHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);

// Format sizes: a VIDEOINFO format is the 64-byte header, 48 bytes of video info before the
// bitmap header and biSize bytes of it (112 + biSize); VIDEOINFO2 has 112 bytes before it.
constexpr ULONG kVideoInfoPrefix = sizeof(KSDATAFORMAT) + FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader);
constexpr ULONG kVideoInfo2Prefix = sizeof(KSDATAFORMAT) + FIELD_OFFSET(KS_VIDEOINFOHEADER2, bmiHeader);
constexpr ULONG kBitmapHeaderSize = sizeof(KS_BITMAPINFOHEADER);
constexpr ULONG kVideoRangeSize = sizeof(KS_DATARANGE_VIDEO);
constexpr ULONG kVideoRange2Size = sizeof(KS_DATARANGE_VIDEO2);
constexpr ULONG kVideoInfo2FormatSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER2);

// Timing, 100-ns units.
constexpr LONGLONG kDefaultFrameInterval = 10000000;
constexpr LONGLONG kFirstFrameNone = 0xFFFFFFFF;

// Waits, milliseconds.
constexpr ULONG kFilterPowerUpWait = 100;
constexpr ULONG kAcquirePollWait = 30;
constexpr ULONG kAcquirePolls = 11;
constexpr ULONG kAcquireTimeoutWait = 200;
constexpr ULONG kCreateTestPollWait = 20;
constexpr ULONG kStillTriggerWait = 100;

// Stream headers.
constexpr ULONG kOptionsWithClock = KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT | KSSTREAM_HEADER_OPTIONSF_TIMEVALID |
                                    KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
constexpr ULONG kOptionsWithoutClock = KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT;
constexpr ULONG kStillOptions = KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
// The frame information that follows each stream header: 72 bytes on x86-64, 64 on 32-bit x86,
// where its two handles are 4 bytes each; the header sizes the pin announces are built from it too.
constexpr ULONG kFrameInfoSize = sizeof(KS_FRAME_INFO);

// Still capability and mode: external trigger enable and trigger.
constexpr ULONG kStillVideoControlCaps = KS_VideoControlFlag_ExternalTriggerEnable | KS_VideoControlFlag_Trigger;

// Frame delivery.
constexpr ULONGLONG kMaxImageBytes = 0xFFFFFFFFull;

}  // namespace kvz
