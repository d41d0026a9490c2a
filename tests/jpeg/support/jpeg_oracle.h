// libjpeg-turbo as the oracle of the codec tests: streams it writes (every sampling, table,
// restart and progression option the decoder must read) and what it decodes from a stream
// (planes, full-resolution YCbCr, BGR, quantised coefficients, warnings).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kvz::jpegtest {

enum class Sampling { k444, k422, k420, kGrey };
enum class Progression { kNone, kSimple, kSpectralOnly, kSeparateDc, kSuccessive };

struct EncodeOptions {
  Sampling sampling = Sampling::k422;
  int quality = 75;
  bool optimize = false;
  int restartMcus = 0;
  int restartRows = 0;
  Progression progression = Progression::kNone;
  bool stripHuffmanTables = false;
};

// Packed RGB, 3 bytes a pixel.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
};

// Camera-like content: smooth gradients, a sharp-edged block, a little noise.
Picture MakePicture(int width, int height, uint32_t seed = 1);
std::vector<uint8_t> MakeYuy2(int width, int height, uint32_t seed = 1);

std::vector<uint8_t> TurboEncode(const Picture& picture, const EncodeOptions& options);
std::string Describe(const EncodeOptions& options);

struct TurboDecoded {
  bool ok = false;
  int width = 0;
  int height = 0;
  int warnings = 0;
  int restartInterval = 0;
  std::vector<uint8_t> bgr;  // 3 bytes a pixel, blue first
  std::vector<uint8_t> ycc;  // full-resolution Y, Cb, Cr per pixel
  // Native component planes, each cropped to the samples the component has.
  struct Plane {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> samples;
  };
  std::vector<Plane> planes;
  std::vector<uint16_t> quant[4];  // natural order, empty when not defined
};
TurboDecoded TurboDecode(const std::vector<uint8_t>& stream);

// Quantised coefficients of every component, blocks in raster order over the component's
// blocks (width_in_blocks x height_in_blocks), natural order within a block.
struct Coefficients {
  bool ok = false;
  int warnings = 0;
  std::vector<int> blocksWide;
  std::vector<int> blocksHigh;
  std::vector<std::vector<int16_t>> values;
};
Coefficients TurboReadCoefficients(const std::vector<uint8_t>& stream);

// Segment helpers for building malformed streams: offset of the first marker with this code
// (of its 0xFF), or -1.
long FindSegment(const std::vector<uint8_t>& stream, uint8_t code);

int MaxDifference(const uint8_t* a, const uint8_t* b, size_t count);

}  // namespace kvz::jpegtest
