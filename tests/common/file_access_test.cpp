// Files under the system root, opened by path and read in pieces.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/file_access.h"
#include "kernel_checks.h"
#include "kvz/system_testing.h"

namespace {

using namespace kvz::kernel;

class FileAccess : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_CLEAN_UNLOAD(); }
};

TEST_F(FileAccess, FilesUnderTheSystemRootReadInPiecesToTheEnd) {
  std::string folder = ::testing::TempDir() + "kvz_sysroot_utils";
  std::filesystem::create_directories(folder);
  {
    std::ofstream out(folder + "/format.cfg", std::ios::binary);
    out << "[MJPG]\r\nEnable=1\r\n";
  }
  SetSystemRootFolder(folder);
  HANDLE file = nullptr;
  EXPECT_EQ(kvz::OpenFileByPath(u"\\SystemRoot\\PPTCFG.CFG", &file), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(file, nullptr);
  ASSERT_EQ(kvz::OpenFileByPath(u"\\SystemRoot\\FORMAT.CFG", &file), STATUS_SUCCESS);
  char buffer[12] = {};
  EXPECT_EQ(kvz::ReadFileBytes(file, buffer, 8), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, 8), "[MJPG]\r\n");
  EXPECT_EQ(kvz::ReadFileBytes(file, buffer, 12), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, 10), "Enable=1\r\n");
  EXPECT_EQ(kvz::ReadFileBytes(file, buffer, 12), STATUS_END_OF_FILE);
  kvz::CloseFileHandle(file);
  SetSystemRootFolder("");
  std::remove((folder + "/format.cfg").c_str());
}

}  // namespace
