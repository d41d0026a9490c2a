// Times, counts, register addresses and pool tags of the camera device's life cycle, stream
// control and private test, in one place.
#pragma once
#include <wdm.h>

namespace kvz {

// Pool tags (multi-character constants: memory holds the characters reversed).
constexpr ULONG kTagCameraDevice = 'ClCD';
constexpr ULONG kTagInterruptReader = 'ClIp';
constexpr ULONG kTagStreamReader = 'ClIT';
constexpr ULONG kTagTestReader = 'BGPV';
constexpr ULONG kTagIdleManager = 'ClSS';
constexpr ULONG kTagSelectInterface = 'USAI';
constexpr ULONG kTagFilterDescriptor = 'ClFD';

// Waits, milliseconds.
constexpr ULONG kAltSettingRetryDelay = 200;
constexpr ULONG kTestPassDelay = 200;
constexpr ULONG kTestStopPollDelay = 20;
constexpr ULONG kResumeSettleDelay = 200;
constexpr ULONG kResumeRetryDelay = 100;
constexpr ULONG kGetCurRetryDelay = 100;

// Retry bounds.
constexpr ULONG kControlAltSettingTries = 4;
constexpr ULONG kGetCurTries = 10;
constexpr ULONG kResumeRetries = 11;
constexpr ULONG kTestPollPasses = 50;
// Release and the power callback wait this many polls for a running test before they go on
// (the test reader is stopped first, so a test ends within its own time-outs).
constexpr ULONG kTestStopPolls = 1500;

// Streaming.
constexpr ULONG kIsochTransferSlots = 5;
constexpr ULONG kLongIsochPackets = 128;
constexpr ULONG kShortIsochPackets = 32;
constexpr ULONG kMaxInterfacePipes = 4;  // what the 128-byte interface record holds
constexpr ULONG kDefaultFrameInterval = 333333;  // 30 frames per second
// The sensor set-up countdown: 0 at a stream start, written at the capture pin's second frame
// take, then held here until the next start.
constexpr LONG kSensorSetupDone = 100;

// Vendor unit requests: selector 1 tells long isochronous transfers.
constexpr USHORT kVendorSelector1 = 0x0100;

// Chip identification and sensor set-up registers.
constexpr USHORT kChipIdRegister = 0x20FF;
constexpr USHORT kBufferSizeRegister = 0x25B1;
constexpr ULONG kDefaultCameraBufferSize = 16384;
constexpr USHORT kImageQualityRegister80 = 0x250C;
constexpr USHORT kImageQualityRegister = 0x250D;
constexpr USHORT kWhiteBalanceBankRegister = 0x3100;
constexpr UCHAR kWhiteBalanceBankBit = 0x20;

// The face detector's device interval (100-ns units): at chip identification and at stream stop.
constexpr LONGLONG kFaceIntervalIdentified = 100'000'000;
constexpr LONGLONG kFaceIntervalStopped = 33'333'333;

// Hardware identifiers: the bus, vendor and product parts are 21 characters.
constexpr ULONG kHardwareIdCompareChars = 21;

}  // namespace kvz
