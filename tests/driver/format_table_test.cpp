// Format tables: data ranges built from frame entries, lookups, the system-version and 848-pixel
// rules, and the table limits.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "driver/pins/format_table.h"
#include "kvz/kernel_testing.h"
#include "kvz/system_testing.h"

namespace kvz {
namespace {

class FormatTableTest : public ::testing::Test {
 protected:
  void TearDown() override {
    table_->Release();
    kernel::SetSystemVersion(kernel::SystemVersion::Windows10(19045));
    kernel::UnloadReport report = kernel::CheckUnload();
    EXPECT_TRUE(report.clean) << report.text;
  }
  void Add(ULONG code, USHORT w, USHORT h, std::vector<ULONG> intervals, ULONG added = 0) {
    FrameEntry e = {};
    e.FormatIndex = 1;
    e.FrameIndex = static_cast<UCHAR>(table_->FrameCount() + 1);
    e.SourceCode = code;
    e.AddedByConfig = added;
    e.Width = e.SourceWidth = w;
    e.Height = e.SourceHeight = h;
    e.IntervalCount = static_cast<LONG>(intervals.size());
    e.Intervals = intervals.data();
    ASSERT_EQ(STATUS_SUCCESS, table_->AddFrameEntry(e));
  }
  const KSDATARANGE* Range(ULONG i) const {
    const PKSDATARANGE* ranges = nullptr;
    table_->GetDataRanges(&ranges);
    return ranges[i];
  }
  static const KS_DATARANGE_VIDEO* Video(const KSDATARANGE* r) { return reinterpret_cast<const KS_DATARANGE_VIDEO*>(r); }
  static const KS_DATARANGE_VIDEO2* Video2(const KSDATARANGE* r) {
    return reinterpret_cast<const KS_DATARANGE_VIDEO2*>(r);
  }

  std::unique_ptr<FormatTable> table_ = std::make_unique<FormatTable>();
};

TEST_F(FormatTableTest, Yuy2FrameGivesYuy2ThenRgb24RangesOfBothKinds) {
  Add(kSubtypeYuy2, 640, 480, {333333, 666666});
  ASSERT_EQ(STATUS_SUCCESS, table_->BuildDataRanges(kSubtypeYuy2, kSubtypeYuy2, 16, 1));
  ASSERT_EQ(STATUS_SUCCESS, table_->BuildDataRanges(kSubtypeYuy2, kSubtypeRgb24, 24, 1));
  ASSERT_EQ(4u, table_->DataRangeCount());
  const GUID specifiers[] = {KSDATAFORMAT_SPECIFIER_VIDEOINFO, KSDATAFORMAT_SPECIFIER_VIDEOINFO2,
                             KSDATAFORMAT_SPECIFIER_VIDEOINFO, KSDATAFORMAT_SPECIFIER_VIDEOINFO2};
  const ULONG samples[] = {614400, 614400, 921600, 921600};
  const ULONG sizes[] = {sizeof(KS_DATARANGE_VIDEO), sizeof(KS_DATARANGE_VIDEO2), sizeof(KS_DATARANGE_VIDEO),
                         sizeof(KS_DATARANGE_VIDEO2)};
  for (ULONG i = 0; i < 4; ++i) {
    const KSDATARANGE* r = Range(i);
    EXPECT_TRUE(IsEqualGUID(specifiers[i], r->Specifier)) << i;
    EXPECT_EQ(sizes[i], r->FormatSize) << i;
    EXPECT_EQ(samples[i], r->SampleSize) << i;
    EXPECT_EQ(333333, Video(r)->ConfigCaps.MinFrameInterval) << i;
    EXPECT_EQ(666666, Video(r)->ConfigCaps.MaxFrameInterval) << i;
    EXPECT_EQ(1, Video(r)->bFixedSizeSamples) << i;
  }
  EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_RGB24, Range(2)->SubFormat));
  EXPECT_EQ(0u, Video(Range(2))->VideoInfoHeader.bmiHeader.biCompression);
  EXPECT_EQ(kSubtypeYuy2, Video(Range(0))->VideoInfoHeader.bmiHeader.biCompression);
  EXPECT_EQ(4u, Video2(Range(1))->VideoInfoHeader.dwPictAspectRatioX);
  EXPECT_EQ(3u, Video2(Range(1))->VideoInfoHeader.dwPictAspectRatioY);

  FrameEntry e;
  ASSERT_TRUE(table_->FindFrameEntry(kSubtypeRgb24, 640, 480, &e));
  EXPECT_EQ(kSubtypeYuy2, e.SourceCode);
  ASSERT_TRUE(table_->GetDataRangeFormat(3, &e));
  EXPECT_EQ(640, e.Width);
  EXPECT_FALSE(table_->GetDataRangeFormat(4, &e));
}

TEST_F(FormatTableTest, MjpgRangesAreNotFixedSize) {
  Add(kSubtypeMjpg, 1280, 720, {333333});
  ASSERT_EQ(STATUS_SUCCESS, table_->BuildDataRanges(kSubtypeMjpg, kSubtypeMjpg, 24, 1));
  EXPECT_EQ(0, Video(Range(0))->bFixedSizeSamples);
  EXPECT_EQ(0x008D1181u, Video2(Range(1))->VideoInfoHeader.dwControlFlags);
  EXPECT_EQ(16u, Video2(Range(1))->VideoInfoHeader.dwPictAspectRatioX);
  EXPECT_EQ(9u, Video2(Range(1))->VideoInfoHeader.dwPictAspectRatioY);
}

struct TallFrameCase {
  kernel::SystemVersion version;
  ULONG streamType;
  ULONG yuy2Ranges;
  ULONG mjpgRanges;
};

class TallFrameTest : public FormatTableTest, public ::testing::WithParamInterface<TallFrameCase> {};

TEST_P(TallFrameTest, NewerSystemsOfferTallFramesOnlyAsMjpg) {
  kernel::SetSystemVersion(GetParam().version);
  Add(kSubtypeYuy2, 1920, 1080, {333333});
  Add(kSubtypeMjpg, 1920, 1080, {333333});
  Add(kSubtypeMjpg, 160, 120, {333333});
  ASSERT_EQ(STATUS_SUCCESS, table_->BuildDataRanges(kSubtypeYuy2, kSubtypeYuy2, 16, GetParam().streamType));
  EXPECT_EQ(GetParam().yuy2Ranges, table_->DataRangeCount());
  ASSERT_EQ(STATUS_SUCCESS, table_->BuildDataRanges(kSubtypeMjpg, kSubtypeMjpg, 24, GetParam().streamType));
  EXPECT_EQ(GetParam().yuy2Ranges + GetParam().mjpgRanges, table_->DataRangeCount());
}

INSTANTIATE_TEST_SUITE_P(Systems, TallFrameTest,
                         ::testing::Values(TallFrameCase{kernel::SystemVersion::Windows10(10587), 1, 0, 4},
                                           TallFrameCase{kernel::SystemVersion::Windows10(10587), 4, 0, 2},
                                           TallFrameCase{kernel::SystemVersion::Windows10(10587), 3, 2, 4},
                                           TallFrameCase{kernel::SystemVersion::Windows10(10586), 1, 2, 4}));

TEST_F(FormatTableTest, LimitedCameraOffersOneRateAt848) {
  table_->SetLimit848Rate(1);
  Add(kSubtypeYuy2, 848, 480, {333333, 500000, 666666});
  ASSERT_EQ(STATUS_SUCCESS, table_->BuildDataRanges(kSubtypeYuy2, kSubtypeYuy2, 16, 1));
  EXPECT_EQ(333333, Video(Range(0))->ConfigCaps.MaxFrameInterval);
  EXPECT_EQ(333333u, table_->Frame(0).Intervals[2]);
  EXPECT_EQ(500000u, table_->Frame(0).Intervals[1]);
  EXPECT_EQ(53u, Video2(Range(1))->VideoInfoHeader.dwPictAspectRatioX);
  EXPECT_EQ(30u, Video2(Range(1))->VideoInfoHeader.dwPictAspectRatioY);
}

TEST_F(FormatTableTest, LargestSmallerFrameIsACameraFrameAndNeverAnExactMatch) {
  Add(kSubtypeYuy2, 320, 240, {333333});
  Add(kSubtypeYuy2, 700, 500, {333333}, 1);
  Add(kSubtypeYuy2, 640, 480, {333333});
  Add(kSubtypeMjpg, 720, 576, {333333});
  FrameEntry e;
  ASSERT_TRUE(table_->FindLargestSmallerFrame(kSubtypeYuy2, 800, 600, &e));
  EXPECT_EQ(640, e.Width);
  EXPECT_FALSE(table_->FindLargestSmallerFrame(kSubtypeYuy2, 640, 480, &e));
  EXPECT_FALSE(table_->FindLargestSmallerFrame(kSubtypeYuy2, 160, 120, &e));
}

TEST_F(FormatTableTest, LimitsAreNeverPassed) {
  std::vector<ULONG> one = {333333};
  for (ULONG i = 0; i < kMaxFrameEntries; ++i) Add(kSubtypeYuy2, static_cast<USHORT>(16 + 2 * i), 16, one);
  FrameEntry extra = table_->Frame(0);
  extra.Intervals = one.data();
  EXPECT_FALSE(NT_SUCCESS(table_->AddFrameEntry(extra)));
  EXPECT_EQ(kMaxFrameEntries, table_->FrameCount());
  EXPECT_FALSE(NT_SUCCESS(table_->BuildDataRanges(kSubtypeYuy2, kSubtypeYuy2, 16, 1)));
  EXPECT_EQ(kMaxDataRanges, table_->DataRangeCount());
  for (ULONG i = 1; i < kMaxFormatMapEntries; ++i) table_->BuildDataRanges(kSubtypeMjpg, kSubtypeMjpg, 24, 1);
  EXPECT_FALSE(NT_SUCCESS(table_->BuildDataRanges(kSubtypeMjpg, kSubtypeMjpg, 24, 1)));
}

}  // namespace
}  // namespace kvz
