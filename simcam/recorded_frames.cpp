#include "simcam/recorded_frames.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kvz::simcam {

namespace fs = std::filesystem;

namespace {

bool IsJpegName(const fs::path& path) {
  std::string ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext == ".jpg" || ext == ".jpeg";
}

}  // namespace

std::shared_ptr<const RecordedFrames> LoadJpegFolder(const std::string& folder, std::string* error) {
  std::error_code ec;
  std::vector<fs::path> names;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file() && IsJpegName(it->path())) names.push_back(it->path());
  if (ec) {
    *error = folder + ": " + ec.message();
    return nullptr;
  }
  if (names.empty()) {
    *error = folder + ": no .jpg files";
    return nullptr;
  }
  std::sort(names.begin(), names.end());
  auto frames = std::make_shared<RecordedFrames>();
  for (const fs::path& name : names) {
    std::ifstream in(name, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
      *error = name.string() + ": cannot be read";
      return nullptr;
    }
    frames->push_back(std::move(bytes));
  }
  return frames;
}

}  // namespace kvz::simcam
