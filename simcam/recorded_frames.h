// A recorded camera: the JPEG files of a folder, which the simulated camera sends in name order
// (and then again from the first) as its MJPEG frames in place of its own test picture.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kvz::simcam {

using RecordedFrames = std::vector<std::vector<uint8_t>>;

// Every *.jpg and *.jpeg file of folder (case-insensitive extension), sorted by name. Null with
// *error set when the folder cannot be read or holds no such file.
std::shared_ptr<const RecordedFrames> LoadJpegFolder(const std::string& folder, std::string* error);

}  // namespace kvz::simcam
