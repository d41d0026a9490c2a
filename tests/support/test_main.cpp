// The GoogleTest main of every test binary: the kernel clock is virtual and the test's own
// thread is a kernel thread named "test".
#include <gtest/gtest.h>

#include "kvz/kernel_testing.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Forked death tests run the statement on this (kernel) thread; qemu-i386 cannot re-execute
  // the binary as the threadsafe style would.
  GTEST_FLAG_SET(death_test_style, "fast");
  kvz::kernel::SetClockMode(kvz::kernel::ClockMode::Virtual);
  kvz::kernel::KernelThreadScope mainThread("test");
  int result = RUN_ALL_TESTS();
  // Timers a test left behind must not keep virtual time running once this thread is gone.
  kvz::kernel::StopClock();
  return result;
}
