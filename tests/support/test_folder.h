// A fresh folder of the running test's own under the system's temporary directory.
#pragma once
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace kvz::testing {

// Named after the test and the process, so that one test running twice at once (in two build
// trees, or under two binaries of one ctest run) never shares or deletes the other's files.
inline std::string FreshTestFolder(const std::string& prefix) {
  std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  std::replace(name.begin(), name.end(), '/', '_');
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / (prefix + name + "-" + std::to_string(getpid()));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder.string();
}

}  // namespace kvz::testing
