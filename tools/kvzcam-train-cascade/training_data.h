// The fixed split of the packaged pictures into training and held-out sets, the augmentation of
// training faces, synthetic textures, and the composite frames of the held-out evaluation.
#pragma once
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "image_io.h"

namespace kvz::train {

constexpr int kWindow = 24;
using Patch = std::vector<uint8_t>;  // kWindow x kWindow

// Faces 0-69 and non-face patches 0-69 train; 70-99 are held out. Fixed before any training.
constexpr int kFaceCount = 100;
constexpr int kTrainFaces = 70;

struct DataSet {
  std::vector<Grey> faces;         // 100 crops
  std::vector<Grey> nonFaces;      // 100 background crops of the same photos
  std::vector<Grey> trainPictures;  // face-free pictures for negatives
  std::vector<Grey> testPictures;
};

// Loads from the extracted data folder; false with a message when something is missing.
bool LoadDataSet(const std::string& folder, DataSet* data, std::string* error);
// A stand-in set without packaged data: drawn faces and textures (the trainer's smoke run).
DataSet SyntheticDataSet(uint32_t seed);

// Largest random shift (window pixels), scale change (fraction) and rotation (degrees).
struct Jitter {
  double shift = 0.8;
  double scale = 0.06;
  double degrees = 7;
};

// A crop resampled to the window with a random mirror, shift, scale, rotation, gamma and
// noise; identity when plain is set.
Patch AugmentFace(const Grey& crop, std::mt19937& rng, bool plain, const Jitter& jitter = Jitter{});
Grey SyntheticTexture(int width, int height, std::mt19937& rng);
Grey DrawnFace(int size, std::mt19937& rng);

// Bilinear paste of a crop scaled to size x size at (x, y).
void Paste(Grey* frame, const Grey& crop, int x, int y, int size);
// A width x height frame cut from a picture at a random place and scale.
Grey RandomView(const Grey& picture, int width, int height, std::mt19937& rng);

}  // namespace kvz::train
