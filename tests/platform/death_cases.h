// Table-driven death tests: each case runs a scenario that breaks one kernel rule and names the
// bug check it must stop with. The scenario builds everything it needs (death tests fork).
#pragma once
#include <gtest/gtest.h>

namespace kvz::testing {

struct DeathCase {
  const char* name;
  void (*scenario)();
  const char* bugcheck;  // regular expression
};

inline std::string DeathCaseName(const ::testing::TestParamInfo<DeathCase>& info) { return info.param.name; }

}  // namespace kvz::testing

// Declares a parameterised death test suite over a table of DeathCase.
#define KVZ_DEATH_CASES(Suite, ...)                                                          \
  class Suite : public ::testing::TestWithParam<::kvz::testing::DeathCase> {};               \
  TEST_P(Suite, StopsWithItsBugCheck) { EXPECT_DEATH(GetParam().scenario(), GetParam().bugcheck); } \
  INSTANTIATE_TEST_SUITE_P(Rules, Suite, ::testing::Values(__VA_ARGS__), ::kvz::testing::DeathCaseName)
