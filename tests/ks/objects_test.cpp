// Object bags, copy-on-write edits, finding objects from IRPs and each other, and the documented
// sizes of the structures that cross to the application.
#include <cstring>

#include "ks_bench.h"

namespace kvz::kstest {
namespace {

constexpr bool k64 = sizeof(void*) == 8;
static_assert(sizeof(KSPROPERTY) == 24 && sizeof(KSP_NODE) == 32 && sizeof(KSP_PIN) == 32, "property layouts");
static_assert(sizeof(KSDATAFORMAT) == 64, "data format header");
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296 && sizeof(KS_DATARANGE_VIDEO2) == 320, "video ranges");
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152 && sizeof(KS_DATAFORMAT_VIDEOINFOHEADER2) == 176,
              "video formats");
static_assert(sizeof(KSPROPERTY_CAMERACONTROL_S) == 40 && sizeof(KSPROPERTY_VIDEOPROCAMP_S) == 40, "controls");
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S) == 32 && sizeof(KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S) == 40 &&
                  sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S) == 56,
              "video control");
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48, "dropped frames");
static_assert(sizeof(KSPIN_DESCRIPTOR_EX) == (k64 ? 136 : 80), "pin descriptor");
static_assert(sizeof(KSNODE_DESCRIPTOR) == (k64 ? 24 : 16), "node descriptor");
static_assert(sizeof(KSSTREAM_HEADER) == (k64 ? 56 : 48) && sizeof(KS_FRAME_INFO) == (k64 ? 72 : 64),
              "stream header");
static_assert(sizeof(KSEVENTDATA) == (k64 ? 32 : 16), "event data");
static_assert(sizeof(KSPIN_CONNECT) == (k64 ? 72 : 64), "pin connect");
static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16 && sizeof(KSPROPERTY_MEMBERSHEADER) == 16 &&
                  sizeof(KSPROPERTY_DESCRIPTION) == 40,
              "value descriptions");

int g_freed = 0;
VOID NTAPI CountingFree(PVOID item) {
  ++g_freed;
  ExFreePool(item);
}

class ObjectsTest : public KsBench {};

TEST_F(ObjectsTest, BagFreesItsItemsWithTheObjectAndEditCopiesOnWrite) {
  auto filter = OpenFilter();
  ASSERT_TRUE(filter);
  PKSFILTER ks = Log().filter;
  g_freed = 0;
  KsFilterAcquireControl(ks);
  PVOID a = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'tsTK');
  ASSERT_EQ(STATUS_SUCCESS, KsAddItemToObjectBag(ks->Bag, a, CountingFree));
  PVOID b = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'tsTK');
  ASSERT_EQ(STATUS_SUCCESS, KsAddItemToObjectBag(ks->Bag, b, CountingFree));
  EXPECT_EQ(1u, KsRemoveItemFromObjectBag(ks->Bag, b, TRUE));
  EXPECT_EQ(1, g_freed);

  // A shared table becomes the filter's own copy once; a larger edit replaces that copy.
  static const ULONG shared[4] = {1, 2, 3, 4};
  const ULONG* table = shared;
  ASSERT_EQ(STATUS_SUCCESS, _KsEdit(ks->Bag, (PVOID*)(&table), sizeof(shared), sizeof(shared), 'tsTK'));
  EXPECT_NE(shared, table);
  EXPECT_EQ(0, memcmp(shared, table, sizeof(shared)));
  const ULONG* own = table;
  ASSERT_EQ(STATUS_SUCCESS, _KsEdit(ks->Bag, (PVOID*)(&table), sizeof(shared), sizeof(shared), 'tsTK'));
  EXPECT_EQ(own, table);
  ASSERT_EQ(STATUS_SUCCESS, _KsEdit(ks->Bag, (PVOID*)(&table), 32, sizeof(shared), 'tsTK'));
  EXPECT_NE(own, table);
  EXPECT_EQ(4u, table[3]);
  EXPECT_EQ(0u, table[7]);
  KsFilterReleaseControl(ks);

  filter.reset();  // the bag goes with the filter: a and the edited table are freed (unload check)
  EXPECT_EQ(2, g_freed);
}

TEST_F(ObjectsTest, FailedEditLeavesTheItem) {
  auto filter = OpenFilter();
  ASSERT_TRUE(filter);
  static const ULONG shared[2] = {7, 8};
  const ULONG* table = shared;
  KsFilterAcquireControl(Log().filter);
  kvz::kernel::FailNthAllocation(1, 'lfTK');
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            _KsEdit(Log().filter->Bag, (PVOID*)(&table), sizeof(shared), sizeof(shared), 'lfTK'));
  kvz::kernel::ClearPoolFaults();
  KsFilterReleaseControl(Log().filter);
  EXPECT_EQ(shared, table);
}

TEST_F(ObjectsTest, ObjectsFromIrpsAndFromEachOther) {
  auto filter = OpenFilter();
  ASSERT_TRUE(filter);
  auto pin = CreateCapturePin(*filter);
  ASSERT_TRUE(pin);
  PKSFILTER ksFilter = Log().filter;
  PKSPIN ksPin = Log().pin;
  PKSDEVICE device = Log().device;
  EXPECT_EQ(device, KsGetDevice(ksFilter));
  EXPECT_EQ(device, KsGetDevice(ksPin));
  EXPECT_EQ(device, KsGetDevice(device));
  EXPECT_EQ(device, KsGetDeviceForDeviceObject(device->FunctionalDeviceObject));
  EXPECT_EQ(ksFilter, KsGetParent(ksPin));
  EXPECT_EQ(ksFilter, KsPinGetParentFilter(ksPin));
  EXPECT_EQ(device->Context, ksFilter->Context);  // objects start with their parent's context

  // IRPs on the pin's and the filter's files, one on a file that is no KS object, one without a file.
  PIRP irp = IoAllocateIrp(2, FALSE);
  ASSERT_NE(nullptr, irp);
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  stack->FileObject = pin->File().Object();
  EXPECT_EQ(ksPin, KsGetPinFromIrp(irp));
  EXPECT_EQ(ksFilter, KsGetFilterFromIrp(irp));
  stack->FileObject = filter->File().Object();
  EXPECT_EQ(nullptr, KsGetPinFromIrp(irp));
  EXPECT_EQ(ksFilter, KsGetFilterFromIrp(irp));
  FILE_OBJECT foreign{};
  int notKs[8] = {};
  foreign.FsContext = notKs;
  stack->FileObject = &foreign;
  EXPECT_EQ(nullptr, KsGetPinFromIrp(irp));
  EXPECT_EQ(nullptr, KsGetFilterFromIrp(irp));
  stack->FileObject = nullptr;
  EXPECT_EQ(nullptr, KsGetPinFromIrp(irp));
  EXPECT_EQ(nullptr, KsGetFilterFromIrp(irp));
  IoFreeIrp(irp);
  EXPECT_EQ(nullptr, KsGetPinFromIrp(nullptr));
}

}  // namespace
}  // namespace kvz::kstest
