// Configuration files: the input is FORMAT.CFG (and PPTCFG.CFG, the same file) in the system
// root, read by every typed reader the driver uses.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "driver/settings/config_file.h"
#include "driver/pins/format_table_builder.h"
#include "kvz/kernel_testing.h"
#include "kvz/system_testing.h"

namespace {

using namespace kvz;

const WCHAR kPath[] = u"\\SystemRoot\\FORMAT.CFG";
std::string* g_file = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static kernel::KernelThreadScope thread("fuzz");
  const std::string folder = std::filesystem::temp_directory_path().string() + "/kvz_cfg_fuzz_" + std::to_string(getpid());
  std::filesystem::create_directories(folder);
  kernel::SetSystemRootFolder(folder);
  g_file = new std::string(folder + "/FORMAT.CFG");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  {
    std::ofstream out(*g_file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  LONG flag = 0;
  for (ULONG type = 0; type < 4; ++type) ReadOutputFormatFlag(kPath, type, &flag);
  ULONG intervals[1] = {};
  for (ULONG type = 0; type < 6; ++type) {
    ULONG count = 0;
    ReadInterpositionCount(kPath, type, &count);
    for (ULONG i = 0; i < count && i < 4; ++i) {
      FrameEntry entry = {};
      entry.Intervals = intervals;
      if (NT_SUCCESS(ReadInterpositionEntry(kPath, type, &entry, i)) &&
          (entry.Width == 0 || (entry.Width & 1) || entry.Height == 0 || (entry.Height & 1)))
        __builtin_trap();
    }
  }
  for (ULONG id = 0; id < 20; ++id) ReadCameraControlFlag(kPath, id, &flag);
  for (ULONG id = 0; id < 15; ++id) ReadVideoProcAmpFlag(kPath, id, &flag);
  return 0;
}
