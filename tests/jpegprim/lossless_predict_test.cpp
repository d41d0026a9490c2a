// Lossless prediction: worked rows, encoder and decoder round trips for predictors 1-7 over
// random 16-bit rows, and every build against the generic one at every length 1-130.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "primitives/jpeg/lossless_predict.h"
#include "support/jpeg_builds.h"

namespace kvz::prim {
namespace {

const decltype(&generic::ReconstructPredFirstRow) kFirst[] = KVZ_BUILDS_OF(ReconstructPredFirstRow);
const decltype(&generic::ReconstructPredRow) kRow[] = KVZ_BUILDS_OF(ReconstructPredRow);
const decltype(&generic::DiffPredFirstRow) kDiffFirst[] = KVZ_BUILDS_OF(DiffPredFirstRow);
const decltype(&generic::DiffPredRow) kDiffRow[] = KVZ_BUILDS_OF(DiffPredRow);

TEST(LosslessPredict, WorkedRowsAndChecks) {
  for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
    const int16_t diffs[3] = {-1, 1, 1};
    uint16_t out[3];
    ASSERT_EQ(kFirst[b.slot](diffs, out, 3, 8, 0), 0);
    EXPECT_EQ(out[0], 127);
    EXPECT_EQ(out[1], 128);
    EXPECT_EQ(out[2], 129);
    // Seeds 512 (P 12, Pt 2) and 0 once Pt reaches P.
    const int16_t zero[1] = {0};
    ASSERT_EQ(kFirst[b.slot](zero, out, 1, 12, 2), 0);
    EXPECT_EQ(out[0], 512);
    ASSERT_EQ(kFirst[b.slot](zero, out, 1, 8, 10), 0);
    EXPECT_EQ(out[0], 0);

    // With zero differences the output is the prediction.
    struct Case {
      int predictor;
      uint16_t left, above, aboveLeft, expect;
    } cases[] = {{7, 65535, 1, 0, 0}, {4, 0, 0, 1, 65535}, {5, 100, 40, 45, 97}, {6, 9, 40, 4, 42}};
    for (const Case& c : cases) {
      const int16_t d[2] = {static_cast<int16_t>(c.left - c.aboveLeft), 0};
      const uint16_t prev[2] = {c.aboveLeft, c.above};
      uint16_t o[2];
      ASSERT_EQ(kRow[b.slot](d, prev, o, 2, c.predictor), 0);
      EXPECT_EQ(o[0], c.left) << b.name;
      EXPECT_EQ(o[1], c.expect) << b.name << " predictor " << c.predictor;
    }
    const uint16_t prev[1] = {0};
    uint16_t untouched[1] = {77};
    EXPECT_EQ(kRow[b.slot](zero, prev, untouched, 1, 0), -5);
    EXPECT_EQ(untouched[0], 77);
    EXPECT_EQ(kRow[b.slot](zero, nullptr, untouched, 1, 1), -8);
    EXPECT_EQ(kFirst[b.slot](zero, untouched, 0, 8, 0), -6);
    EXPECT_EQ(kFirst[b.slot](zero, untouched, 1, 17, 0), -5);
    EXPECT_EQ(kDiffFirst[b.slot](prev, nullptr, 1, 8, 0), -8);
    EXPECT_EQ(kDiffRow[b.slot](prev, prev, reinterpret_cast<int16_t*>(untouched), 1, 8), -5);
  }
}

// Differences formed by every build decode back to the row in every build; rows start at every
// 2-byte offset within 16 bytes, and the decoder also runs in place over its differences.
TEST(LosslessPredict, RoundTripsAndBuildsAgreeForEveryPredictor) {
  std::mt19937 rng(3);
  for (int count = 1; count <= 130; ++count) {
    const int shift = count % 8;
    std::vector<uint16_t> prevStore(count + 8), rowStore(count + 8);
    uint16_t* prev = prevStore.data() + shift;
    uint16_t* row = rowStore.data() + (7 - shift);
    for (int i = 0; i < count; ++i) {
      // Half the rows use the whole 16-bit range (the halved terms go negative there).
      prev[i] = static_cast<uint16_t>(count % 2 ? rng() : rng() % 4096);
      row[i] = static_cast<uint16_t>(count % 2 ? rng() : rng() % 4096);
    }
    for (int predictor = 0; predictor <= 7; ++predictor) {
      std::vector<int16_t> want(count);
      std::vector<uint16_t> wantRow(count);
      if (predictor == 0) {
        generic::DiffPredFirstRow(row, want.data(), count, 16, 0);
        generic::ReconstructPredFirstRow(want.data(), wantRow.data(), count, 16, 0);
      } else {
        generic::DiffPredRow(row, prev, want.data(), count, predictor);
        generic::ReconstructPredRow(want.data(), prev, wantRow.data(), count, predictor);
      }
      ASSERT_EQ(std::vector<uint16_t>(row, row + count), wantRow) << "predictor " << predictor;
      for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
        std::vector<int16_t> diffStore(count + 8);
        int16_t* diffs = diffStore.data() + (count + 3) % 8;
        std::vector<uint16_t> outStore(count + 8);
        uint16_t* out = outStore.data() + (count + 5) % 8;
        if (predictor == 0) {
          ASSERT_EQ(kDiffFirst[b.slot](row, diffs, count, 16, 0), 0);
          ASSERT_EQ(std::vector<int16_t>(diffs, diffs + count), want) << b.name << " count " << count;
          ASSERT_EQ(kFirst[b.slot](diffs, out, count, 16, 0), 0);
          ASSERT_EQ(kFirst[b.slot](diffs, reinterpret_cast<uint16_t*>(diffs), count, 16, 0), 0);
        } else {
          ASSERT_EQ(kDiffRow[b.slot](row, prev, diffs, count, predictor), 0);
          ASSERT_EQ(std::vector<int16_t>(diffs, diffs + count), want)
              << b.name << " count " << count << " predictor " << predictor;
          ASSERT_EQ(kRow[b.slot](diffs, prev, out, count, predictor), 0);
          ASSERT_EQ(kRow[b.slot](diffs, prev, reinterpret_cast<uint16_t*>(diffs), count, predictor), 0);
        }
        ASSERT_EQ(std::vector<uint16_t>(out, out + count), wantRow)
            << b.name << " count " << count << " predictor " << predictor;
        ASSERT_EQ(std::vector<uint16_t>(reinterpret_cast<uint16_t*>(diffs), reinterpret_cast<uint16_t*>(diffs) + count),
                  wantRow)
            << "in place, " << b.name << " count " << count << " predictor " << predictor;
      }
    }
  }
}

}  // namespace
}  // namespace kvz::prim
