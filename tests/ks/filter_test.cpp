// A client finds the filter by category, reads its pin factories and topology, intersects,
// creates the capture pin and walks it through the states.
#include <cstring>

#include "ks_bench.h"

namespace kvz::kstest {
namespace {

using ksclient::Bytes;

class FilterTest : public KsBench {};

TEST_F(FilterTest, EnumeratesOneInterfacePerCategoryAndOpensTheFilter) {
  EXPECT_EQ(1u, ksclient::EnumerateInterfaces(KSCATEGORY_VIDEO).size());
  EXPECT_EQ(1u, ksclient::EnumerateInterfaces(KSCATEGORY_CAPTURE).size());
  EXPECT_TRUE(ksclient::EnumerateInterfaces(KSCATEGORY_VIDEO_CAMERA).empty());
  auto filter = OpenFilter();
  ASSERT_TRUE(filter);
  EXPECT_EQ(std::vector<std::string>({"Add", "Start", "FilterCreate"}), Log().Calls());
}

TEST_F(FilterTest, PinFactoryProperties) {
  auto filter = OpenFilter();
  ASSERT_TRUE(filter);
  ULONG count = 0;
  ASSERT_EQ(STATUS_SUCCESS, filter->PinCount(&count));
  EXPECT_EQ(1u, count);
  KSPIN_DATAFLOW flow{};
  EXPECT_EQ(STATUS_SUCCESS, filter->PinDataFlow(0, &flow));
  EXPECT_EQ(KSPIN_DATAFLOW_OUT, flow);
  KSPIN_COMMUNICATION communication{};
  EXPECT_EQ(STATUS_SUCCESS, filter->PinCommunication(0, &communication));
  EXPECT_EQ(KSPIN_COMMUNICATION_BOTH, communication);
  GUID category{};
  EXPECT_EQ(STATUS_SUCCESS, filter->PinCategory(0, &category));
  EXPECT_EQ(PINNAME_VIDEO_CAPTURE, category);
  std::u16string name;
  EXPECT_EQ(STATUS_SUCCESS, filter->PinName(0, &name));
  EXPECT_EQ(u"{FB6C4281-0353-11D1-905F-0000C0CC16BA}", name);
  KSPIN_CINSTANCES instances{};
  EXPECT_EQ(STATUS_SUCCESS, filter->PinInstances(0, &instances));
  EXPECT_EQ(1u, instances.PossibleCount);
  EXPECT_EQ(0u, instances.CurrentCount);
  ULONG necessary = 9;
  EXPECT_EQ(STATUS_SUCCESS, filter->PinNecessaryInstances(0, &necessary));
  EXPECT_EQ(0u, necessary);
  // A pin factory the filter does not have.
  EXPECT_EQ(STATUS_INVALID_PARAMETER, filter->PinDataFlow(1, &flow));

  std::vector<Bytes> ranges;
  ASSERT_EQ(STATUS_SUCCESS, filter->PinDataRanges(0, &ranges));
  ASSERT_EQ(2u, ranges.size());
  EXPECT_EQ(Yuy2Range(), ranges[0]);
  EXPECT_EQ(Yuy2Range(kWidth / 2, kHeight / 2), ranges[1]);
}

TEST_F(FilterTest, Topology) {
  auto filter = OpenFilter();
  ASSERT_TRUE(filter);
  std::vector<GUID> categories;
  ASSERT_EQ(STATUS_SUCCESS, filter->Categories(&categories));
  EXPECT_EQ(std::vector<GUID>({KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE}), categories);
  std::vector<GUID> nodes;
  ASSERT_EQ(STATUS_SUCCESS, filter->Nodes(&nodes));
  EXPECT_EQ(std::vector<GUID>({KSNODETYPE_VIDEO_CAMERA_TERMINAL, KSNODETYPE_VIDEO_PROCESSING}), nodes);
  std::vector<KSTOPOLOGY_CONNECTION> connections;
  ASSERT_EQ(STATUS_SUCCESS, filter->Connections(&connections));
  ASSERT_EQ(2u, connections.size());
  EXPECT_EQ(KSFILTER_NODE, connections[1].ToNode);
  EXPECT_EQ(1u, connections[0].ToNode);
  std::u16string name;
  EXPECT_EQ(STATUS_SUCCESS, filter->NodeName(1, &name));
  EXPECT_EQ(u"{DFF229E5-F70F-11D0-B917-00A0C9223196}", name);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, filter->NodeName(2, &name));
}

TEST_F(FilterTest, IntersectionAnswersASizeQueryThenTheFormat) {
  auto filter = OpenFilter();
  ASSERT_TRUE(filter);
  // The raw request: the size query comes back with the size of the format.
  KSP_PIN pin{};
  pin.Property.Set = KSPROPSETID_Pin;
  pin.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
  pin.Property.Flags = KSPROPERTY_TYPE_GET;
  Bytes range = Yuy2Range(kWidth / 2, kHeight / 2);
  Bytes request(sizeof(pin) + sizeof(KSMULTIPLE_ITEM) + range.size());
  KSMULTIPLE_ITEM item{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + range.size()), 1};
  memcpy(request.data(), &pin, sizeof(pin));
  memcpy(request.data() + sizeof(pin), &item, sizeof(item));
  memcpy(request.data() + sizeof(pin) + sizeof(item), range.data(), range.size());
  ULONG_PTR size = 0;
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, filter->Property(request.data(), static_cast<ULONG>(request.size()), nullptr, 0, &size));
  EXPECT_EQ(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER), size);
  Bytes small(size - 1);
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
            filter->Property(request.data(), static_cast<ULONG>(request.size()), small.data(), static_cast<ULONG>(small.size()), &size));

  Bytes format;
  ASSERT_EQ(STATUS_SUCCESS, filter->Intersect(0, {range}, &format));
  EXPECT_EQ(Yuy2Format(kWidth / 2, kHeight / 2), format);
  // No range of the pin fits a 100 x 100 request.
  EXPECT_EQ(STATUS_NO_MATCH, filter->Intersect(0, {Yuy2Range(100, 100)}, &format));
}

TEST_F(FilterTest, PinCreationMatchesTheFormatAndCountsInstances) {
  auto filter = OpenFilter();
  ASSERT_TRUE(filter);
  std::unique_ptr<ksclient::KsPinClient> pin;
  EXPECT_EQ(STATUS_NO_MATCH, filter->CreatePin(0, Yuy2Format(100, 100), &pin));
  auto first = CreateCapturePin(*filter);
  ASSERT_TRUE(first);
  KSPIN_CINSTANCES instances{};
  EXPECT_EQ(STATUS_SUCCESS, filter->PinInstances(0, &instances));
  EXPECT_EQ(1u, instances.CurrentCount);
  EXPECT_FALSE(NT_SUCCESS(filter->CreatePin(0, Yuy2Format(), &pin)));  // one instance possible
  Bytes format;
  EXPECT_EQ(STATUS_SUCCESS, first->GetDataFormat(&format));
  EXPECT_EQ(Yuy2Format(), format);
  // The minidriver's own copy of its framing says 10 frames.
  Bytes framing;
  ASSERT_EQ(STATUS_SUCCESS, first->GetAllocatorFraming(&framing));
  ASSERT_GE(framing.size(), sizeof(KSALLOCATOR_FRAMING_EX));
  EXPECT_EQ(10u, reinterpret_cast<const KSALLOCATOR_FRAMING_EX*>(framing.data())->FramingItem[0].Frames);
  EXPECT_EQ(STATUS_SUCCESS, first->Close());
  EXPECT_EQ(STATUS_SUCCESS, filter->PinInstances(0, &instances));
  EXPECT_EQ(0u, instances.CurrentCount);
}

// A client may close the filter before its pin: the class driver closes the pin first, and the
// pin's handle then answers an error and closes cleanly.
TEST_F(FilterTest, ClosingTheFilterFirstClosesItsPin) {
  auto filter = OpenFilter();
  ASSERT_TRUE(filter);
  Log().produceFrames = false;
  auto pin = CreateCapturePin(*filter);
  ASSERT_TRUE(pin);
  ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_RUN));
  Log().ClearCalls();
  EXPECT_EQ(STATUS_SUCCESS, filter->Close());
  EXPECT_EQ(std::vector<std::string>({"SetDeviceState 3->2", "SetDeviceState 2->1", "SetDeviceState 1->0",
                                      "PinClose", "FilterClose"}),
            Log().Calls());
  KSSTATE state = KSSTATE_RUN;
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, pin->GetState(&state));
  EXPECT_EQ(STATUS_SUCCESS, pin->Close());
}

TEST_F(FilterTest, PinCreationWithoutMemoryForTheFormatCopyFails) {
  auto filter = OpenFilter();
  ASSERT_TRUE(filter);
  std::unique_ptr<ksclient::KsPinClient> pin;
  kvz::kernel::FailNthAllocation(1, 'fmSK');
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, filter->CreatePin(0, Yuy2Format(), &pin));
  kvz::kernel::ClearPoolFaults();
  KSPIN_CINSTANCES instances{};
  EXPECT_EQ(STATUS_SUCCESS, filter->PinInstances(0, &instances));
  EXPECT_EQ(0u, instances.CurrentCount);
  EXPECT_EQ(STATUS_SUCCESS, filter->CreatePin(0, Yuy2Format(), &pin));
}

TEST_F(FilterTest, StateWalkStepsThroughAdjacentStates) {
  auto filter = OpenFilter();
  ASSERT_TRUE(filter);
  Log().produceFrames = false;
  auto pin = CreateCapturePin(*filter);
  ASSERT_TRUE(pin);
  Log().Reset();
  ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_RUN));
  ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_STOP));
  EXPECT_EQ(std::vector<std::string>({"SetDeviceState 0->1", "SetDeviceState 1->2", "SetDeviceState 2->3",
                                      "SetDeviceState 3->2", "SetDeviceState 2->1", "SetDeviceState 1->0"}),
            Log().Calls());
}

TEST_F(FilterTest, AFailingStepEndsTheWalkInTheLastGoodState) {
  auto filter = OpenFilter();
  ASSERT_TRUE(filter);
  Log().produceFrames = false;
  auto pin = CreateCapturePin(*filter);
  ASSERT_TRUE(pin);
  Log().Reset();
  Log().produceFrames = false;
  Log().failStateStepTo = KSSTATE_PAUSE;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, pin->SetState(KSSTATE_RUN));
  KSSTATE state = KSSTATE_RUN;
  ASSERT_EQ(STATUS_SUCCESS, pin->GetState(&state));
  EXPECT_EQ(KSSTATE_ACQUIRE, state);
  EXPECT_EQ(std::vector<std::string>({"SetDeviceState 0->1", "SetDeviceState 1->2"}), Log().Calls());
  Log().failStateStepTo = -1;
  EXPECT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_STOP));
}

TEST_F(FilterTest, FormatChangeOnAConnectedPin) {
  auto filter = OpenFilter();
  ASSERT_TRUE(filter);
  Log().produceFrames = false;
  auto pin = CreateCapturePin(*filter);
  ASSERT_TRUE(pin);
  EXPECT_EQ(STATUS_SUCCESS, pin->SetDataFormat(Yuy2Format(kWidth / 2, kHeight / 2)));
  Bytes format;
  ASSERT_EQ(STATUS_SUCCESS, pin->GetDataFormat(&format));
  EXPECT_EQ(Yuy2Format(kWidth / 2, kHeight / 2), format);
  EXPECT_EQ(STATUS_NO_MATCH, pin->SetDataFormat(Yuy2Format(100, 100)));
  // The minidriver refuses a change while the pin is not stopped; the old format stays.
  ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_ACQUIRE));
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, pin->SetDataFormat(Yuy2Format()));
  ASSERT_EQ(STATUS_SUCCESS, pin->GetDataFormat(&format));
  EXPECT_EQ(Yuy2Format(kWidth / 2, kHeight / 2), format);
  EXPECT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_STOP));
}

}  // namespace
}  // namespace kvz::kstest
