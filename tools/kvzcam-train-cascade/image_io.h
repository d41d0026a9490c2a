// Grey pictures for training and evaluation: PNG, JPEG, PGM, and the face-crop array file.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kvz::train {

struct Grey {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;
  uint8_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

bool LoadPicture(const std::string& path, Grey* out);  // .png, .jpg, .pgm
// PNG and JPEG readers (compressed_pictures.cpp, in the trainer only); null in the library.
extern bool (*LoadPngPicture)(const std::string& path, Grey* out);
extern bool (*LoadJpegPicture)(const std::string& path, Grey* out);
bool SavePgm(const std::string& path, const Grey& image);
// The face-crop array: count x height x width doubles in 0..1 (a version 1 array file).
bool LoadCropArray(const std::string& path, std::vector<Grey>* crops);

// Bilinear sample at (x, y) in pixel centres, edges repeated.
double Sample(const Grey& g, double x, double y);
Grey Resize(const Grey& g, int width, int height);

}  // namespace kvz::train
