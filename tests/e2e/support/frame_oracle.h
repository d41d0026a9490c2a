// What a delivered frame must be, computed without the driver's code: the camera's test picture
// and its transformations, a BT.601 conversion to bottom-up BGR, and libjpeg-turbo decoding.
#pragma once

#include <cstdint>
#include <vector>

namespace kvz::e2e {

// The camera's frame n (its number is in the first four luma samples).
std::vector<uint8_t> CameraPicture(int width, int height, uint64_t n);
uint32_t FrameNumber(const std::vector<uint8_t>& yuy2);

// Packed YUY2: a pixel-exact mirror (each row reversed, chroma staying with its pair) and a
// half turn (both axes).
std::vector<uint8_t> MirrorYuy2(const std::vector<uint8_t>& yuy2, int width, int height);
std::vector<uint8_t> HalfTurnYuy2(const std::vector<uint8_t>& yuy2, int width, int height);
// Digital zoom 2x about the centre: pixel (x, y) shows pixel (w/4 + x/2, h/4 + y/2).
std::vector<uint8_t> ZoomTwiceYuy2(const std::vector<uint8_t>& yuy2, int width, int height);
// Nearest-neighbour resize: pixel (x, y) shows pixel (x sw / dw, y sh / dh) with its pair's chroma.
std::vector<uint8_t> NearestYuy2(const std::vector<uint8_t>& yuy2, int sw, int sh, int dw, int dh);
// A luma plane's rows widened by linear interpolation: column j lies at source position j w / newWidth.
std::vector<uint8_t> WidenLuma(const std::vector<uint8_t>& luma, int width, int height, int newWidth);

// BT.601 studio range, rounded from floating point, rows bottom-up, bytes blue, green, red.
std::vector<uint8_t> BottomUpBgr(const std::vector<uint8_t>& yuy2, int width, int height);
// Largest difference of two equally long byte arrays (255 when the lengths differ).
int MaxDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

struct DecodedJpeg {
  bool ok = false;
  int width = 0;
  int height = 0;
  std::vector<uint8_t> luma;  // width x height, top row first
};
DecodedJpeg DecodeJpegLuma(const std::vector<uint8_t>& stream);
// The luma of packed YUY2.
std::vector<uint8_t> LumaOf(const std::vector<uint8_t>& yuy2);
// Mean absolute difference of two luma planes of one size.
double MeanDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

}  // namespace kvz::e2e
