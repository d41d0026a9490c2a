// A physical model of a rolling-shutter sensor under flickering mains light, for the flicker
// detector. Light intensity follows 1 + depth * cos(2 pi * 2 * mains * t); every sensor row ends
// its exposure one line time after the row above, so a row integrates its own slice of the
// flicker: when the exposure is not a whole number of flicker periods the rows differ (bands)
// and, from frame to frame, the bands roll by the fraction of a period that a frame lasts
// beyond whole periods. The auto exposure picks whole flicker periods of the power-line setting
// (1: 50 Hz, 2: 60 Hz), so only a setting that does not match the mains shows bands. Linear
// light is gamma-encoded, noise is added per channel in code values, and the result is
// converted to YUY2 or bottom-up BGR24.
#pragma once
#include <cstdint>
#include <vector>

namespace kvz::test {

enum class Scene {
  kGrey,        // a plain grey wall: no chroma at all
  kOffice,      // wall, window, shelf and desk: large areas, some edges, moderate colour
  kTextured,    // fine random texture (foliage, fabric)
  kFlatColour,  // one saturated colour filling the frame
};

struct LightConditions {
  Scene scene = Scene::kOffice;
  int mainsHz = 50;
  double depth = 0.25;        // modulation depth of the light (0: steady, 1: dark troughs)
  int exposurePeriods = 1;    // exposure in flicker half-cycles of the power-line setting
  double noise = 0.5;         // standard deviation per channel, in 8-bit code values
  double fps = 30;
  double shake = 0;           // camera shake: largest offset per frame, in pixels
  uint32_t seed = 1;
};

class BandingModel {
 public:
  BandingModel(const LightConditions& conditions, int width, int height);

  // Frame n as the camera sends it with power-line setting powerLine (1 or 2; anything else
  // leaves the exposure free at exposurePeriods / 120 s). moving: the scene is replaced by a
  // checkerboard that inverts every second frame.
  std::vector<uint8_t> Yuy2(int n, int powerLine, bool moving = false);
  std::vector<uint8_t> Bgr24(int n, int powerLine, bool moving = false);

  // Relative brightness of sensor row y in frame n (1 without bands).
  double RowGain(int n, int y, int powerLine) const;

  LightConditions conditions;

 private:
  // Integer arithmetic throughout, so that the model stays fast under emulation: reflectance in
  // 1/4096, code values in 1/16.
  struct Rgb {
    int32_t r, g, b;
  };
  void Render(int n, int powerLine, bool moving, std::vector<Rgb>* codes);
  int32_t Noise();

  int width_, height_, margin_;
  std::vector<Rgb> reflectance_;  // (width + 2 margin) x (height + 2 margin)
  std::vector<int32_t> gamma_;    // linear (0..4095) to code value in 1/16
  std::vector<int32_t> noise_;    // noise in 1/16 code values
  uint32_t rng_;
};

}  // namespace kvz::test
