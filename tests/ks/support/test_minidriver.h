// A small KS minidriver for the class driver's tests: one filter with a capture pin that produces
// synthetic YUY2 frames, a property set with ranges on the filter and one on a node, an event,
// and a log of every dispatch call the class driver makes.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "ksmedia.h"

namespace kvz::kstest {

KVZ_KS_GUID(kTestPropertySet, 0x3B1A7E10, 0x55C2, 0x4D0B, 0x9A, 0x11, 0x2E, 0x6F, 0x70, 0x81, 0x92, 0xA3);
KVZ_KS_GUID(kTestNodePropertySet, 0x3B1A7E11, 0x55C2, 0x4D0B, 0x9A, 0x11, 0x2E, 0x6F, 0x70, 0x81, 0x92, 0xA3);
KVZ_KS_GUID(kTestEventSet, 0x3B1A7E12, 0x55C2, 0x4D0B, 0x9A, 0x11, 0x2E, 0x6F, 0x70, 0x81, 0x92, 0xA3);

constexpr ULONG kWidth = 64;
constexpr ULONG kHeight = 48;
constexpr ULONG kFrameBytes = kWidth * kHeight * 2;
constexpr LONGLONG kFrameInterval = 333333;

// Property items of kTestPropertySet.
enum TestProperty : ULONG {
  kRangedValue = 0,    // LONG, -10..10 step 2, default 4
  kWideRequest = 1,    // needs 8 bytes after the KSPROPERTY, answers 8 bytes
  kVariableSize = 2,   // answers 12 bytes, MinData 0: the handler does its own size query
  kOverlong = 3,       // claims 64 bytes answered whatever the buffer (a broken handler)
  kPartial = 4,        // writes 3 bytes (0x11 0x22 0x33) but reports 2; notes the third byte it found
  kFillValued = 5,     // writes TestLog::written bytes of 0xA5 (the class driver's fill), reports TestLog::reported
};

// What the minidriver saw; tests read and reset it.
struct TestLog {
  std::mutex lock;
  std::vector<std::string> calls;  // "Add", "Start", "SetDeviceState 0->1", "SetPower 1->4", ...
  std::atomic<int> processCalls{0};
  std::atomic<int> processConcurrent{0};
  std::atomic<int> processViolations{0};  // overlapping calls, or a call outside RUN
  std::atomic<int> bagFrees{0};           // device context freed by its bag
  std::atomic<int> framesDelivered{0};
  std::atomic<PKTHREAD> processThread{nullptr};  // the thread of the last Process call
  std::atomic<int> partialSeen{-1};              // what kPartial found in its third byte
  std::atomic<ULONG> written{0};                 // kFillValued's bytes written and reported
  std::atomic<ULONG> reported{0};

  // Behaviour switches.
  std::atomic<int> failStateStepTo{-1};   // SetDeviceState to this state fails
  std::atomic<NTSTATUS> queryStopStatus{STATUS_SUCCESS};  // what QueryStop answers
  std::atomic<int> successReturns{0};     // Process returns STATUS_SUCCESS this many times first
  std::atomic<bool> produceFrames{true};  // a 33 ms timer offers frames while the pin runs
  std::atomic<int> framesReady{0};        // offered and not yet delivered
  std::atomic<bool> deliverOnProcess{true};

  PKSPIN pin = nullptr;        // the last pin created
  PKSFILTER filter = nullptr;  // the last filter created
  PKSDEVICE device = nullptr;

  void Record(const std::string& call);
  std::vector<std::string> Calls();
  void Reset();
  void ClearCalls();
};

TestLog& Log();

// The minidriver's entry point.
NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// A KS_DATARANGE_VIDEO for YUY2 at the test size (what a client offers for intersection), and
// the matching data format.
std::vector<uint8_t> Yuy2Range(ULONG width = kWidth, ULONG height = kHeight);
std::vector<uint8_t> Yuy2Format(ULONG width = kWidth, ULONG height = kHeight);

// The synthetic frame n: every byte is (n + offset) & 0xFF.
uint8_t FrameByte(LONGLONG n, size_t offset);

// Raises the test event on the last filter (KsGenerateEvents).
void RaiseTestEvent();

// The capture pin's descriptor, for tests that add pin factories of their own.
const KSPIN_DESCRIPTOR_EX& CapturePinDescriptor();

}  // namespace kvz::kstest
