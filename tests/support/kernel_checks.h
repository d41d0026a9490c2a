// GoogleTest helpers around the kernel stand-in's checks.
#pragma once
#include <gtest/gtest.h>

#include "kvz/kernel_testing.h"

namespace kvz::testing {

// Lets queued DPCs, work items and woken threads run to their next wait (no kernel time
// passes), then runs the unload check: nothing may be left behind.
inline ::testing::AssertionResult KernelIsClean() {
  if (kvz::kernel::IsKernelThread()) kvz::kernel::RunUntilIdle();
  kvz::kernel::UnloadReport report = kvz::kernel::CheckUnload();
  if (report.clean) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "left behind at unload:\n" << report.text;
}

}  // namespace kvz::testing

#define EXPECT_CLEAN_UNLOAD() EXPECT_TRUE(::kvz::testing::KernelIsClean())
