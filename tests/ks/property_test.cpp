// Property dispatch: minimum sizes, size queries, basic support and default values from the
// item's value description, unknown sets and items, node-addressed requests, events.
#include <cstring>

#include "ks_bench.h"

namespace kvz::kstest {
namespace {

using ksclient::Bytes;

class PropertyTest : public KsBench {
 protected:
  void SetUp() override {
    KsBench::SetUp();
    filter_ = OpenFilter();
    ASSERT_TRUE(filter_);
  }
  void TearDown() override {
    filter_.reset();
    KsBench::TearDown();
  }
  std::unique_ptr<ksclient::KsFilterClient> filter_;
};

TEST_F(PropertyTest, GetAndSetThroughTheMinidriversHandlers) {
  LONG value = 0;
  ULONG_PTR returned = 0;
  ASSERT_EQ(STATUS_SUCCESS, filter_->Get(kTestPropertySet, kRangedValue, &value, sizeof(value), &returned));
  EXPECT_EQ(4, value);
  EXPECT_EQ(sizeof(LONG), returned);
  value = -6;
  ASSERT_EQ(STATUS_SUCCESS, filter_->Set(kTestPropertySet, kRangedValue, &value, sizeof(value)));
  value = 0;
  ASSERT_EQ(STATUS_SUCCESS, filter_->Get(kTestPropertySet, kRangedValue, &value, sizeof(value)));
  EXPECT_EQ(-6, value);
  value = 11;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, filter_->Set(kTestPropertySet, kRangedValue, &value, sizeof(value)));
}

struct SizeCase {
  const char* name;
  ULONG id;
  ULONG requestExtra;  // bytes after the KSPROPERTY
  ULONG dataSize;      // 0: no data buffer
  NTSTATUS status;
  ULONG_PTR information;
};

class PropertySizeTest : public PropertyTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(PropertySizeTest, IsCheckedAgainstTheItem) {
  const SizeCase& c = GetParam();
  Bytes request(sizeof(KSPROPERTY) + c.requestExtra, 0);
  KSPROPERTY p{};
  p.Set = kTestPropertySet;
  p.Id = c.id;
  p.Flags = KSPROPERTY_TYPE_GET;
  memcpy(request.data(), &p, sizeof(p));
  Bytes data(c.dataSize ? c.dataSize : 1);
  ULONG_PTR information = 12345;
  EXPECT_EQ(c.status, filter_->Property(request.data(), static_cast<ULONG>(request.size()),
                                         c.dataSize ? data.data() : nullptr, c.dataSize, &information));
  EXPECT_EQ(c.information, information);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, PropertySizeTest,
    ::testing::Values(SizeCase{"WholeRequest", kRangedValue, 0, 4, STATUS_SUCCESS, 4},
                      SizeCase{"SizeQuery", kRangedValue, 0, 0, STATUS_BUFFER_OVERFLOW, 4},
                      SizeCase{"ShortData", kRangedValue, 0, 2, STATUS_BUFFER_TOO_SMALL, 0},
                      SizeCase{"ShortProperty", kWideRequest, 4, 8, STATUS_INVALID_BUFFER_SIZE, 0},
                      SizeCase{"WideProperty", kWideRequest, 8, 8, STATUS_SUCCESS, 8},
                      SizeCase{"HandlerSizeQuery", kVariableSize, 0, 0, STATUS_BUFFER_OVERFLOW, 12},
                      SizeCase{"HandlerShortData", kVariableSize, 0, 4, STATUS_BUFFER_TOO_SMALL, 0},
                      SizeCase{"UnknownItem", 7, 0, 4, STATUS_NOT_FOUND, 0}),
    [](const ::testing::TestParamInfo<SizeCase>& info) { return std::string(info.param.name); });

TEST_F(PropertyTest, UnknownSetAndItem) {
  LONG value = 0;
  EXPECT_EQ(STATUS_PROPSET_NOT_FOUND, filter_->Get(kTestEventSet, 0, &value, sizeof(value)));
  EXPECT_EQ(STATUS_NOT_FOUND, filter_->Get(kTestPropertySet, 99, &value, sizeof(value)));
  // Set support of a set the filter has, and of one it has not.
  KSPROPERTY p{};
  p.Set = kTestPropertySet;
  p.Flags = KSPROPERTY_TYPE_SETSUPPORT;
  EXPECT_EQ(STATUS_SUCCESS, filter_->Property(&p, sizeof(p), nullptr, 0));
  p.Set = kTestEventSet;
  EXPECT_EQ(STATUS_PROPSET_NOT_FOUND, filter_->Property(&p, sizeof(p), nullptr, 0));
  // An item without a set handler.
  ULONG data[2] = {};
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, filter_->Set(kTestPropertySet, kVariableSize, data, sizeof(data)));
}

TEST_F(PropertyTest, BasicSupportFromTheValueDescription) {
  Bytes description;
  ASSERT_EQ(STATUS_SUCCESS, filter_->BasicSupport(kTestPropertySet, kRangedValue, &description));
  const size_t expected = sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) +
                          sizeof(KSPROPERTY_STEPPING_LONG) + sizeof(KSPROPERTY_MEMBERSHEADER) + sizeof(LONG);
  ASSERT_EQ(expected, description.size());
  KSPROPERTY_DESCRIPTION d;
  memcpy(&d, description.data(), sizeof(d));
  EXPECT_EQ(static_cast<ULONG>(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT),
            d.AccessFlags);
  EXPECT_EQ(expected, d.DescriptionSize);
  EXPECT_EQ(KSPROPTYPESETID_General, d.PropTypeSet.Set);
  EXPECT_EQ(static_cast<ULONG>(VT_I4), d.PropTypeSet.Id);
  EXPECT_EQ(2u, d.MembersListCount);
  const uint8_t* at = description.data() + sizeof(d);
  KSPROPERTY_MEMBERSHEADER ranges;
  memcpy(&ranges, at, sizeof(ranges));
  EXPECT_EQ(static_cast<ULONG>(KSPROPERTY_MEMBER_RANGES), ranges.MembersFlags);
  KSPROPERTY_STEPPING_LONG stepping;
  memcpy(&stepping, at + sizeof(ranges), sizeof(stepping));
  EXPECT_EQ(2u, stepping.SteppingDelta);
  EXPECT_EQ(-10, stepping.Bounds.SignedMinimum);
  EXPECT_EQ(10, stepping.Bounds.SignedMaximum);
  at += sizeof(ranges) + sizeof(stepping);
  KSPROPERTY_MEMBERSHEADER values;
  memcpy(&values, at, sizeof(values));
  EXPECT_EQ(static_cast<ULONG>(KSPROPERTY_MEMBER_FLAG_DEFAULT), values.Flags);
  LONG defaultValue;
  memcpy(&defaultValue, at + sizeof(values), sizeof(defaultValue));
  EXPECT_EQ(4, defaultValue);

  // The access flags alone, and the description alone when the rest does not fit.
  KSPROPERTY p{};
  p.Set = kTestPropertySet;
  p.Id = kRangedValue;
  p.Flags = KSPROPERTY_TYPE_BASICSUPPORT;
  ULONG access = 0;
  ULONG_PTR returned = 0;
  EXPECT_EQ(STATUS_SUCCESS, filter_->Property(&p, sizeof(p), &access, sizeof(access), &returned));
  EXPECT_EQ(d.AccessFlags, access);
  KSPROPERTY_DESCRIPTION only{};
  EXPECT_EQ(STATUS_SUCCESS, filter_->Property(&p, sizeof(p), &only, sizeof(only), &returned));
  EXPECT_EQ(sizeof(only), returned);
  EXPECT_EQ(expected, only.DescriptionSize);

  // Without a value description: the description only, access read-only.
  ASSERT_EQ(STATUS_SUCCESS, filter_->BasicSupport(kTestPropertySet, kVariableSize, &description));
  ASSERT_EQ(sizeof(KSPROPERTY_DESCRIPTION), description.size());
  memcpy(&d, description.data(), sizeof(d));
  EXPECT_EQ(static_cast<ULONG>(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT), d.AccessFlags);
  EXPECT_EQ(0u, d.MembersListCount);
}

TEST_F(PropertyTest, DefaultValuesAreTheMembersFlaggedDefault) {
  Bytes description;
  ASSERT_EQ(STATUS_SUCCESS, filter_->DefaultValues(kTestPropertySet, kRangedValue, &description));
  ASSERT_EQ(sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) + sizeof(LONG), description.size());
  KSPROPERTY_DESCRIPTION d;
  memcpy(&d, description.data(), sizeof(d));
  EXPECT_EQ(1u, d.MembersListCount);
  KSPROPERTY_MEMBERSHEADER header;
  memcpy(&header, description.data() + sizeof(d), sizeof(header));
  EXPECT_EQ(static_cast<ULONG>(KSPROPERTY_MEMBER_VALUES), header.MembersFlags);
  LONG value;
  memcpy(&value, description.data() + sizeof(d) + sizeof(header), sizeof(value));
  EXPECT_EQ(4, value);
}

TEST_F(PropertyTest, RelationsListTheDependentProperties) {
  KSPROPERTY p{};
  p.Set = kTestPropertySet;
  p.Id = kRangedValue;
  p.Flags = KSPROPERTY_TYPE_RELATIONS;
  ULONG size = 0;
  ASSERT_EQ(STATUS_SUCCESS, filter_->Property(&p, sizeof(p), &size, sizeof(size)));
  EXPECT_EQ(sizeof(KSMULTIPLE_ITEM) + sizeof(KSPROPERTY), size);
  Bytes relations;
  ASSERT_EQ(STATUS_SUCCESS, filter_->GetVariable(&p, sizeof(p), &relations));
  ASSERT_EQ(size, relations.size());
  KSMULTIPLE_ITEM item;
  memcpy(&item, relations.data(), sizeof(item));
  EXPECT_EQ(1u, item.Count);
  KSPROPERTY related;
  memcpy(&related, relations.data() + sizeof(item), sizeof(related));
  EXPECT_EQ(kTestPropertySet, related.Set);
  EXPECT_EQ(static_cast<ULONG>(kWideRequest), related.Id);
}

TEST_F(PropertyTest, NodeRequestsAreRoutedByNodeId) {
  ULONG value = 0;
  ASSERT_EQ(STATUS_SUCCESS, filter_->GetNode(1, kTestNodePropertySet, 0, &value, sizeof(value)));
  EXPECT_EQ(101u, value);
  // Node 0 has no such set; a node the filter does not have is refused.
  EXPECT_EQ(STATUS_PROPSET_NOT_FOUND, filter_->GetNode(0, kTestNodePropertySet, 0, &value, sizeof(value)));
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, filter_->GetNode(5, kTestNodePropertySet, 0, &value, sizeof(value)));
  // Without the topology flag the node's set is not the filter's.
  EXPECT_EQ(STATUS_PROPSET_NOT_FOUND, filter_->Get(kTestNodePropertySet, 0, &value, sizeof(value)));
  // Filter sets stay reachable through a node request.
  LONG ranged = 0;
  EXPECT_EQ(STATUS_SUCCESS, filter_->GetNode(0, kTestPropertySet, kRangedValue, &ranged, sizeof(ranged)));
  EXPECT_EQ(4, ranged);
}

TEST_F(PropertyTest, EventsEnabledByAClientAreSignalledUntilDisabled) {
  ksclient::ClientEvent fired;
  KSEVENTDATA data;
  ASSERT_EQ(STATUS_SUCCESS, filter_->EnableEvent(kTestEventSet, 0, fired, &data));
  RaiseTestEvent();
  EXPECT_TRUE(fired.Wait(kvz::kernel::kSecond));
  fired.Reset();
  ASSERT_EQ(STATUS_SUCCESS, filter_->DisableEvent(&data));
  RaiseTestEvent();
  EXPECT_FALSE(fired.Wait(kvz::kernel::kSecond));
  EXPECT_EQ(STATUS_UNSUCCESSFUL, filter_->DisableEvent(&data));
  // An event the filter does not have, and a handle that names no event.
  KSEVENTDATA other;
  EXPECT_EQ(STATUS_NOT_FOUND, filter_->EnableEvent(kTestEventSet, 3, fired, &other));
  other = {};
  other.NotificationType = KSEVENTF_EVENT_HANDLE;
  other.EventHandle.Event = reinterpret_cast<HANDLE>(0x7FF0);
  KSEVENT e{};
  e.Set = kTestEventSet;
  e.Flags = KSEVENT_TYPE_ENABLE;
  EXPECT_EQ(STATUS_INVALID_HANDLE, filter_->File().Control(IOCTL_KS_ENABLE_EVENT, &e, sizeof(e), &other, sizeof(other)));
}

TEST_F(PropertyTest, AOneShotEventFiresOnce) {
  KSEMAPHORE counted;
  KeInitializeSemaphore(&counted, 0, 10);
  KSEVENTDATA data{};
  data.NotificationType = KSEVENTF_SEMAPHORE_OBJECT;
  data.SemaphoreObject.Semaphore = &counted;
  data.SemaphoreObject.Adjustment = 1;
  KSEVENT e{};
  e.Set = kTestEventSet;
  e.Flags = KSEVENT_TYPE_ONESHOT;
  ASSERT_EQ(STATUS_SUCCESS, filter_->File().Control(IOCTL_KS_ENABLE_EVENT, &e, sizeof(e), &data, sizeof(data)));
  RaiseTestEvent();
  RaiseTestEvent();
  EXPECT_EQ(1, KeReadStateSemaphore(&counted));
}

}  // namespace
}  // namespace kvz::kstest
