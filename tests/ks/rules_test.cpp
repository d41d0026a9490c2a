// The class driver's rules for minidrivers: live objects only, the documented mutexes around
// bags, edits and new factories, stream pointers locked once and unlocked once, property answers
// that fit their buffers, pin flags it can honour.
#include <cstring>
#include <vector>

#include "ks_bench.h"

namespace kvz::kstest {
namespace {

using ksclient::Bytes;

class RulesTest : public KsBench {
 protected:
  void SetUp() override {
    KsBench::SetUp();
    filter_ = OpenFilter();
    ASSERT_TRUE(filter_);
  }
  void TearDown() override {
    pin_.reset();
    filter_.reset();
    KsBench::TearDown();
  }
  void OpenPin() {
    Log().produceFrames = false;
    pin_ = CreateCapturePin(*filter_);
    ASSERT_TRUE(pin_);
  }
  std::unique_ptr<ksclient::KsFilterClient> filter_;
  std::unique_ptr<ksclient::KsPinClient> pin_;
};

using RulesDeathTest = RulesTest;

VOID NTAPI FreeNothing(PVOID) {}

TEST_F(RulesDeathTest, RoutinesTakeOnlyLiveObjectsOfTheirKind) {
  int notKs[8] = {};
  EXPECT_DEATH(KsGetDevice(notKs), "bugcheck: KsGetDevice of 0x[0-9a-f]+, which is not a live kernel-streaming object");
  EXPECT_DEATH(KsPinAttemptProcessing(reinterpret_cast<PKSPIN>(Log().filter), FALSE),
               "bugcheck: KsPinAttemptProcessing of 0x[0-9a-f]+, which is a KS filter, not a KS pin");
  EXPECT_DEATH(KsAcquireDevice(reinterpret_cast<PKSDEVICE>(notKs)), "bugcheck: KsAcquireDevice of 0x[0-9a-f]+");
  EXPECT_DEATH(KsFilterAcquireControl(reinterpret_cast<PKSFILTER>(Log().device)),
               "bugcheck: KsFilterAcquireControl of 0x[0-9a-f]+, which is a KS device, not a KS filter");
  EXPECT_DEATH(KsAddItemToObjectBag(notKs, notKs, FreeNothing),
               "bugcheck: KsAddItemToObjectBag on 0x[0-9a-f]+, which is not a live object bag");
  // A filter that has been closed is no object any more.
  PKSFILTER gone = Log().filter;
  filter_.reset();
  EXPECT_DEATH(KsGetDevice(gone), "bugcheck: KsGetDevice of 0x[0-9a-f]+, which is not a live kernel-streaming object");
}

TEST_F(RulesDeathTest, BagsEditsAndFactoriesNeedTheirMutex) {
  PKSFILTER filter = Log().filter;
  PKSDEVICE device = Log().device;
  static ULONG item;
  EXPECT_DEATH(KsAddItemToObjectBag(filter->Bag, &item, FreeNothing),
               "bugcheck: KsAddItemToObjectBag on the object bag of a KS filter without holding the filter control "
               "mutex");
  EXPECT_DEATH(KsRemoveItemFromObjectBag(device->Bag, device->Context, FALSE),
               "bugcheck: KsRemoveItemFromObjectBag on the object bag of a KS device without holding the device mutex");
  static const ULONG shared[2] = {1, 2};
  EXPECT_DEATH(
      {
        const ULONG* table = shared;
        _KsEdit(filter->Bag, (PVOID*)&table, sizeof(shared), sizeof(shared), 'tsTK');
      },
      "bugcheck: _KsEdit on the object bag of a KS filter without holding the filter control mutex");
  // Holding the other object's mutex does not count.
  EXPECT_DEATH(
      {
        KsAcquireDevice(device);
        KsFilterCreatePinFactory(filter, &CapturePinDescriptor(), nullptr);
      },
      "bugcheck: KsFilterCreatePinFactory without holding the filter control mutex");
  static KSFILTER_DESCRIPTOR descriptor{};
  EXPECT_DEATH(KsCreateFilterFactory(device->FunctionalDeviceObject, &descriptor, u"LATE", nullptr, 0, nullptr,
                                     nullptr, nullptr),
               "bugcheck: KsCreateFilterFactory on a started device without holding the device mutex");
}

TEST_F(RulesDeathTest, StreamPointersAreLockedOnceAndUnlockedOnce) {
  OpenPin();
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_PAUSE));
  auto first = pin_->QueueRead(kFrameBytes);
  auto second = pin_->QueueRead(kFrameBytes);
  PKSPIN pin = Log().pin;
  // The death tests fork: let the class driver's processing thread finish with the queue first,
  // or the child inherits a queue lock held by a thread it does not have. Virtual time moves on
  // only once every other kernel thread waits, and a waiting thread holds no spin lock.
  LARGE_INTEGER settle;
  settle.QuadPart = -10'000;
  KeDelayExecutionThread(KernelMode, FALSE, &settle);
  EXPECT_DEATH(
      {
        KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
        KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
      },
      "bugcheck: KsPinGetLeadingEdgeStreamPointer locks stream pointer 0x[0-9a-f]+, which is already locked");
  EXPECT_DEATH(KsStreamPointerUnlock(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_UNLOCKED), FALSE),
               "bugcheck: KsStreamPointerUnlock of stream pointer 0x[0-9a-f]+, which is not locked");
  PKSSTREAM_POINTER ejected = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  ASSERT_NE(nullptr, ejected);
  KsStreamPointerUnlock(ejected, TRUE);
  EXPECT_EQ(STATUS_SUCCESS, first->Request()->Wait(0));
  EXPECT_DEATH(KsStreamPointerUnlock(ejected, TRUE),
               "bugcheck: KsStreamPointerUnlock of stream pointer 0x[0-9a-f]+, which is stale");
  EXPECT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_STOP));
  EXPECT_EQ(STATUS_CANCELLED, second->Request()->Wait(0));
}

TEST_F(RulesDeathTest, AnAnswerLongerThanItsBufferBugchecks) {
  ULONG value = 0;
  EXPECT_DEATH(filter_->Get(kTestPropertySet, kOverlong, &value, sizeof(value)),
               "bugcheck: property request .* completed with Information 64 larger than its 4-byte buffer");
}

// At the exact limit: an answer of the buffer's whole length passes, one byte more stops.
TEST_F(RulesDeathTest, AnAnswerOneByteLongerThanItsBufferBugchecks) {
  uint8_t data[8];
  Log().written = sizeof(data);
  Log().reported = sizeof(data);
  ULONG_PTR returned = 0;
  ASSERT_EQ(STATUS_SUCCESS, filter_->Get(kTestPropertySet, kFillValued, data, sizeof(data), &returned));
  EXPECT_EQ(sizeof(data), returned);
  Log().reported = sizeof(data) + 1;
  EXPECT_DEATH(filter_->Get(kTestPropertySet, kFillValued, data, sizeof(data)),
               "bugcheck: property request \\(set 3B1A7E10, id 5\\) completed with Information 9 larger than its "
               "8-byte buffer");
}

// Every byte reported must be written: a handler that writes one byte fewer than it reports
// would hand the application pool. One that writes the class driver's fill value itself is no
// such handler, and its answer arrives.
TEST_F(RulesDeathTest, AnAnswerWithABytePoolNeverWroteBugchecks) {
  uint8_t data[8];
  memset(data, 0, sizeof(data));
  Log().written = sizeof(data);
  Log().reported = sizeof(data);
  ULONG_PTR returned = 0;
  ASSERT_EQ(STATUS_SUCCESS, filter_->Get(kTestPropertySet, kFillValued, data, sizeof(data), &returned));
  EXPECT_EQ(sizeof(data), returned);
  EXPECT_EQ(std::vector<uint8_t>(sizeof(data), 0xA5), std::vector<uint8_t>(data, data + sizeof(data)));
  Log().written = sizeof(data) - 1;
  EXPECT_DEATH(filter_->Get(kTestPropertySet, kFillValued, data, sizeof(data)),
               "bugcheck: property handler \\(set 3B1A7E10, id 5, flags 00000001\\) reported 8 bytes but did not "
               "write byte 7");
  // Reporting only what it wrote is fine.
  Log().reported = sizeof(data) - 1;
  ASSERT_EQ(STATUS_SUCCESS, filter_->Get(kTestPropertySet, kFillValued, data, sizeof(data), &returned));
  EXPECT_EQ(sizeof(data) - 1, returned);
}

// The handler works on a pool copy: it never sees the client's bytes of a get, and only what it
// reports in Information reaches the client.
TEST_F(RulesTest, PropertyRequestsAreBufferedAsForAUserModeClient) {
  uint8_t data[8];
  memset(data, 0xEE, sizeof(data));
  ULONG_PTR returned = 0;
  ASSERT_EQ(STATUS_SUCCESS, filter_->Get(kTestPropertySet, kPartial, data, sizeof(data), &returned));
  EXPECT_EQ(2u, returned);
  EXPECT_NE(0xEE, Log().partialSeen.load());
  EXPECT_EQ(0x11, data[0]);
  EXPECT_EQ(0x22, data[1]);
  EXPECT_EQ(0xEE, data[2]);
}

// A pin factory added to an open filter shows in the filter's descriptor; pins that ask for
// flags the class driver cannot honour are refused, and a fixed format stays fixed.
TEST_F(RulesTest, PinFactoriesAddedLaterAndTheirFlags) {
  PKSFILTER filter = Log().filter;
  KSPIN_DESCRIPTOR_EX mapped = CapturePinDescriptor();
  mapped.Flags |= KSPIN_FLAG_GENERATE_MAPPINGS;
  KSPIN_DESCRIPTOR_EX fixed = CapturePinDescriptor();
  fixed.Flags |= KSPIN_FLAG_FIXED_FORMAT;
  ULONG mappedId = 0, fixedId = 0;
  KsFilterAcquireControl(filter);
  ASSERT_EQ(STATUS_SUCCESS, KsFilterCreatePinFactory(filter, &mapped, &mappedId));
  ASSERT_EQ(STATUS_SUCCESS, KsFilterCreatePinFactory(filter, &fixed, &fixedId));
  KsFilterReleaseControl(filter);
  EXPECT_EQ(1u, mappedId);
  EXPECT_EQ(2u, fixedId);
  ASSERT_EQ(3u, filter->Descriptor->PinDescriptorsCount);
  EXPECT_EQ(static_cast<ULONG>(KSPIN_FLAG_FIXED_FORMAT),
            filter->Descriptor->PinDescriptors[2].Flags & KSPIN_FLAG_FIXED_FORMAT);
  ULONG count = 0;
  ASSERT_EQ(STATUS_SUCCESS, filter_->PinCount(&count));
  EXPECT_EQ(3u, count);

  std::unique_ptr<ksclient::KsPinClient> pin;
  EXPECT_EQ(STATUS_NOT_SUPPORTED, filter_->CreatePin(mappedId, Yuy2Format(), &pin));
  Log().produceFrames = false;
  ASSERT_EQ(STATUS_SUCCESS, filter_->CreatePin(fixedId, Yuy2Format(), &pin));
  EXPECT_FALSE(NT_SUCCESS(pin->SetDataFormat(Yuy2Format(kWidth / 2, kHeight / 2))));
  Bytes format;
  ASSERT_EQ(STATUS_SUCCESS, pin->GetDataFormat(&format));
  EXPECT_EQ(Yuy2Format(), format);
}

}  // namespace
}  // namespace kvz::kstest
