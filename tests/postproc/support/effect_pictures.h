// Test pictures of the effect catalogue: a deterministic input frame, the overlay and texture
// files the picture effects read from the system root, and a runner that applies an effect to
// a frame inside guard bytes.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "postproc/base/frame_format.h"

namespace kvz::test {

// RGB24 (bottom-up, blue first) or I420: ramps, coloured discs, stripes and a checker corner, so
// that shifts, blurs, tints and remaps all show.
std::vector<uint8_t> EffectTestPattern(LONG formatCode, LONG width, LONG height);

// A 640 x 480 24-bit BMP (bottom-up rows, 54-byte header) whose pixel at picture row y (0 at the
// top) and column x is colour(x, y) as {blue, green, red}.
std::vector<uint8_t> MakeOverlayBmp(const std::function<std::array<uint8_t, 3>(int x, int y)>& colour);
std::vector<uint8_t> BmpHeader(int32_t width, int32_t height, uint16_t bitCount, uint32_t pixelOffset);
// An overlay picture with a blue window in the middle, a coloured border and, for the magnifier,
// a lens disc of (254, 0, 0).
std::vector<uint8_t> FramePicture(bool withLens);
// The 8-bit canvas texture: 1078 bytes of header and palette, then 100-sample rows.
std::vector<uint8_t> CanvasTexture();

// A fresh folder behind \SystemRoot\ holding every picture the catalogue names; cleared and
// unset by the destructor.
class SystemRootPictures {
 public:
  SystemRootPictures();
  ~SystemRootPictures();
  SystemRootPictures(const SystemRootPictures&) = delete;
  SystemRootPictures& operator=(const SystemRootPictures&) = delete;
  void Write(const std::string& name, const std::vector<uint8_t>& bytes) const;
  void Remove(const std::string& name) const;
  const std::string& folder() const { return folder_; }

 private:
  std::string folder_;
};

struct EffectRun {
  NTSTATUS setFormat = 0;
  NTSTATUS lastDo = 0;
  std::vector<uint8_t> frame;
  bool guardsIntact = true;
};

// Creates effect id through the catalogue, gives it the format with a work buffer of exactly
// one frame, and runs Do `frames` times, each time on a fresh copy of input (a still scene);
// the frame holds the last output.
EffectRun RunEffect(LONG id, LONG formatCode, LONG width, LONG height, const std::vector<uint8_t>& input,
                    int frames = 1);

// The effects checked against checksums of a reviewed output (pictures in tests/postproc/data,
// named by GoldenName).
struct GoldenCase {
  LONG id;
  LONG format;
  LONG width;
  LONG height;
  int frames;
  const char* name;
};
const std::vector<GoldenCase>& GoldenCases();
std::string GoldenName(const GoldenCase& c);

// Fails each allocation of the effect's SetFormat (32 x 24) once in turn: each must give
// STATUS_INSUFFICIENT_RESOURCES, leave the effect not ready with the frame untouched, and leave
// no block of the tags once the effect is deleted; the run without a failure must succeed.
void SweepInitAllocations(LONG id, LONG format, const std::vector<ULONG>& tags);

size_t FrameBytes(LONG formatCode, LONG width, LONG height);
uint64_t Fnv1a64(const std::vector<uint8_t>& bytes);

}  // namespace kvz::test
