// Limits, time-outs, request codes and pool tags of the USB transport, in one place.
#pragma once
#include <wdm.h>

#include "common/uvc_codes.h"
#include "uvcmodel/uvc_limits.h"

namespace kvz {

// Synchronous requests.
constexpr LONGLONG kSyncRequestTimeout = -50000000LL;      // 5 s, relative
constexpr ULONG kPowerStateRetryDelay = 50;               // ms
constexpr ULONG kMaxPowerStateSubmissions = 22;            // 21 delays at most
constexpr LONG kIoSemaphoreReleaseIncrement = 16;

// The still-image trigger the camera button asks for: VS_STILL_IMAGE_TRIGGER_CONTROL on the
// streaming interface (1 for a camera that is its device's first function), value 1 (transmit a
// still image).
constexpr USHORT kStillTriggerValue = 0x0500;
constexpr USHORT kStillTriggerIndex = 0x0001;
constexpr UCHAR kStillTriggerTransmit = 1;

// Class and vendor request functions of a control URB: 0x17 to 0x20 without 0x1D and 0x1E.
constexpr USHORT kFirstVendorClassFunction = 0x17;
constexpr USHORT kLastVendorClassFunction = 0x20;
constexpr USHORT kNotRequestFunctionA = 0x1D;
constexpr USHORT kNotRequestFunctionB = 0x1E;

// Pool tags (multi-character constants: memory holds the characters reversed).
constexpr ULONG kTagClassRequestSender = 'ClVc';
constexpr ULONG kTagDeferredRequest = 'VCWI';
constexpr ULONG kTagDeferredData = 'WIBf';
constexpr ULONG kTagDeferredLength = 'WIBl';
constexpr ULONG kTagControlUrb = 'VDCM';
constexpr ULONG kTagDescriptorUrb = 'UrbD';
constexpr ULONG kTagDescriptor = 'Dscp';
constexpr ULONG kTagInterfaceList = 'UItL';
constexpr ULONG kTagInterfaceInfo = 'ItfI';

// Status interrupt reader: one transfer of the endpoint's packet size; a still-button packet is
// at least the four bytes of a streaming-interface status packet.
constexpr ULONG kStatusPacketMinimum = 4;
constexpr ULONG kTagInterruptData = 'IpDb';
constexpr ULONG kTagInterruptUrb = 'IpDu';
constexpr ULONG kTagInterruptCopy = 'IptB';

// The private test stream: two transfers of 128 packets; one-byte camera registers.
constexpr ULONG kTestSlotCount = 2;
constexpr ULONG kTestMaxSlots = 16;
constexpr ULONG kTestPacketsPerTransfer = 128;
constexpr USHORT kTestRegisterDone = 0x0602;
constexpr USHORT kTestRegisterArm = 0x0603;
constexpr USHORT kTestRegisterProgressHigh = 0x0604;
constexpr USHORT kTestRegisterProgressLow = 0x0605;
constexpr USHORT kTestResultSelector = 0x0300;        // selector 3 of the test unit
constexpr ULONG kTestStrideLimit = 0x4000;            // payloads from here on use the fixed stride
constexpr ULONG kTestLargeStride = 0x8400;
constexpr ULONG kTestFrameInterval = 333333;          // 30 frames per second
constexpr USHORT kTestCompQuality = 61;
constexpr ULONG kTestPollAttempts = 50;
constexpr LONGLONG kTestDataWait = -5000000LL;        // 500 ms for the first completion
constexpr ULONG kTestSettleDelay = 50;                // ms before polling
constexpr ULONG kTestPollDelay = 200;                 // ms between attempts
constexpr LONGLONG kTestRetryDelay = -20000LL;        // 2 ms after a failed transfer
constexpr LONGLONG kTestStopGrace = -5000000LL;       // then the pipe is aborted
constexpr ULONG kTestZeroBandwidthDelay = 100;        // ms between the two selections

// Video probe and commit on the streaming interface (1 for a camera that is its device's first
// function).
constexpr USHORT kProbeControlValue = 0x0100;
constexpr USHORT kCommitControlValue = 0x0200;
constexpr USHORT kStreamingInterfaceIndex = 0x0001;

// Idle manager.
constexpr LONGLONG kIdleTickDue = -20000000LL;        // 2 s after arming
constexpr LONG kIdleTickPeriodMs = 2000;
constexpr USHORT kIdleCountdownAfterNotification = 30;
constexpr ULONG kTagIdleCallback = 'SSIR';

// Stream readers.
constexpr ULONG kMaxIsochSlots = 16;
constexpr ULONG kBulkSlots = 8;
constexpr ULONG kIsochFrameBuffersPerSlot = 2;     // video buffers made at start: 2 per slot
constexpr ULONG kBulkVideoFrameBuffers = 8;
constexpr ULONG kStillFrameBuffers = 2;            // per still or type-4 registration
constexpr ULONG kIsochSlotSlack = 1024;            // bytes beyond each isochronous transfer
constexpr ULONG kUsb3StrideRounding = 1024;        // Windows 7 and earlier, USB 3 camera
constexpr ULONG kMaxIsochStride = 3 * 16 * 1024;   // SuperSpeed: 3 bursts of 16 packets per interval
constexpr ULONG kMaxIsochPackets = 1024;           // per isochronous transfer
constexpr ULONG kPayloadHeaderLength = 12;         // the only header accepted: EOH, SCR and PTS
constexpr UCHAR kRequiredHeaderBits = 0x80 | 0x08 | 0x04;
constexpr LONGLONG kIsochRetryDelay = -50000LL;          // 5 ms, relative
constexpr LONGLONG kBulkRetryDelay = -20000LL;           // 2 ms
constexpr LONGLONG kDrainFirstCheck = -20000LL;          // 2 ms
constexpr LONGLONG kDrainRecheck = -50000LL;             // 5 ms
constexpr LONGLONG kBulkDrainLimit = 5000000LL;          // 0.5 s of system time
constexpr ULONG kHaltAbortSettle = 50;                   // ms after the abort
constexpr LONGLONG kHaltResetSpacing = 2500000LL;        // 250 ms between resets, else ...
constexpr ULONG kHaltResetExtraWait = 200;               // ... ms more
constexpr ULONG kHaltResubmitDelay = 150;                // ms after the reset
constexpr ULONG kIsochStopSettle = 200;                  // ms the camera is given after a stop
constexpr ULONG kBulkStopSettle = 50;

constexpr ULONG kTagFrameRecord = 'RwFr';
constexpr ULONG kTagFrameData = 'RFBf';
constexpr ULONG kTagTransferData = 'TrDB';
constexpr ULONG kTagTransferUrb = 'TrDU';
constexpr ULONG kTagPipeRequest = 'ABPP';
constexpr ULONG kTagHaltPipeRequest = 'BURP';

}  // namespace kvz
