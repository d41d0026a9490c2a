#include "banding_model.h"

#include <algorithm>
#include <cmath>

namespace kvz::test {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kLinearLevels = 4096;
// The sensor reads a full frame in the time of one frame at 30 frames per second plus a tenth
// for blanking; slower rates add blanking, not line time.
constexpr double kSensorFps = 30.0;
constexpr double kBlankingRows = 0.1;
// The auto exposure places mid-grey at this share of full scale.
constexpr double kExposureGain = 1.2;

uint32_t Next(uint32_t* s) {
  uint32_t x = *s;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return *s = x;
}

// Standard normal values, one table for all models.
const std::vector<float>& GaussianTable() {
  static const std::vector<float> table = [] {
    std::vector<float> t(4096);
    uint32_t s = 0x9E3779B9u;
    for (size_t i = 0; i < t.size(); i += 2) {
      const double u1 = (Next(&s) + 1.0) / 4294967297.0, u2 = Next(&s) / 4294967296.0;
      const double r = std::sqrt(-2 * std::log(u1));
      t[i] = static_cast<float>(r * std::cos(2 * kPi * u2));
      t[i + 1] = static_cast<float>(r * std::sin(2 * kPi * u2));
    }
    return t;
  }();
  return table;
}

// A code value in 1/16 to a byte, rounded.
uint8_t Code(int32_t v16) { return static_cast<uint8_t>(std::clamp((v16 + 8) >> 4, 0, 255)); }

int32_t Level(double v) { return static_cast<int32_t>(std::lround(v * (kLinearLevels - 1))); }

bool Inside(double fx, double fy, double x0, double y0, double x1, double y1) {
  return fx >= x0 && fx < x1 && fy >= y0 && fy < y1;
}

}  // namespace

BandingModel::BandingModel(const LightConditions& c, int width, int height)
    : conditions(c), width_(width), height_(height),
      margin_(static_cast<int>(std::ceil(c.shake)) + 1), gamma_(kLinearLevels),
      noise_(GaussianTable().size()), rng_(c.seed * 2654435761u + 1) {
  for (int i = 0; i < kLinearLevels; ++i)
    gamma_[i] = static_cast<int32_t>(
        std::lround(16 * 255.0 * std::pow(i / double(kLinearLevels - 1), 1 / 2.2)));
  for (size_t i = 0; i < noise_.size(); ++i)
    noise_[i] = static_cast<int32_t>(std::lround(16 * c.noise * GaussianTable()[i]));
  const int w = width + 2 * margin_, h = height + 2 * margin_;
  reflectance_.resize(static_cast<size_t>(w) * h);
  uint32_t s = c.seed * 747796405u + 2891336453u;
  std::vector<double> cells(static_cast<size_t>(w / 3 + 2) * (h / 3 + 2));
  for (auto& v : cells) v = 0.15 + 0.55 * (Next(&s) >> 8) / 16777216.0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const double fx = double(x - margin_) / width, fy = double(y - margin_) / height;
      double r = 0, g = 0, b = 0;
      switch (c.scene) {
        case Scene::kGrey:
          r = g = b = 0.35 * (1 - 0.15 * ((fx - 0.5) * (fx - 0.5) + (fy - 0.5) * (fy - 0.5)));
          break;
        case Scene::kOffice:
          if (Inside(fx, fy, 0.05, 0.1, 0.3, 0.5)) {
            r = 0.85, g = 0.88, b = 0.92;  // window
          } else if (Inside(fx, fy, 0.35, 0.35, 0.6, 0.7)) {
            r = 0.05, g = 0.05, b = 0.06;  // monitor
          } else if (fy >= 0.7) {
            r = 0.45, g = 0.3, b = 0.18;  // desk
          } else if (Inside(fx, fy, 0.65, 0.05, 0.95, 0.6)) {
            const int book = static_cast<int>(fx * 40);  // shelf of books
            const double k = 0.2 + 0.1 * (book % 4);
            r = k + 0.1 * (book % 3), g = k, b = k - 0.05 * (book % 2);
          } else {
            const double wall = 0.5 + 0.1 * fx;  // beige wall
            r = wall, g = wall * 0.92, b = wall * 0.75;
          }
          break;
        case Scene::kTextured: {
          const double v = cells[static_cast<size_t>(y / 3) * (w / 3 + 2) + x / 3];
          r = v * 0.8, g = v, b = v * 0.6;
          break;
        }
        case Scene::kFlatColour:
          r = 0.7, g = 0.35, b = 0.12;
          break;
      }
      reflectance_[static_cast<size_t>(y) * w + x] = {Level(r), Level(g), Level(b)};
    }
  }
}

double BandingModel::RowGain(int n, int y, int powerLine) const {
  const double lineTime = 1.0 / (kSensorFps * (1 + kBlankingRows) * height_);
  const double omega = 2 * kPi * 2 * conditions.mainsHz;
  const double halfCycle = powerLine == 1 ? 1 / 100.0 : 1 / 120.0;
  const double exposure = conditions.exposurePeriods * halfCycle;
  const double end = n / conditions.fps + y * lineTime;
  return 1 + conditions.depth * (std::sin(omega * end) - std::sin(omega * (end - exposure))) /
                 (omega * exposure);
}

int32_t BandingModel::Noise() {
  return conditions.noise == 0 ? 0 : noise_[Next(&rng_) >> 20];
}

void BandingModel::Render(int n, int powerLine, bool moving, std::vector<Rgb>* codes) {
  codes->resize(static_cast<size_t>(width_) * height_);
  int dx = 0, dy = 0;
  if (conditions.shake > 0) {
    const int span = 2 * static_cast<int>(conditions.shake) + 1;
    dx = static_cast<int>(Next(&rng_) % span) - static_cast<int>(conditions.shake);
    dy = static_cast<int>(Next(&rng_) % span) - static_cast<int>(conditions.shake);
  }
  const int stride = width_ + 2 * margin_;
  const int jump = (n / 2) & 1;
  const Rgb dark = {Level(0.1), Level(0.1), Level(0.1)}, light = {Level(0.6), Level(0.6), Level(0.6)};
  for (int y = 0; y < height_; ++y) {
    // Row gain in 16.16: light reflected by the scene times the exposure's share of it.
    const int64_t gain = std::llround(RowGain(n, y, powerLine) * kExposureGain * 65536);
    const Rgb* row = &reflectance_[static_cast<size_t>(y + dy + margin_) * stride + dx + margin_];
    Rgb* out = &(*codes)[static_cast<size_t>(y) * width_];
    const auto encode = [&](int32_t level) {
      const int64_t linear = (level * gain + 32768) >> 16;
      return gamma_[linear < kLinearLevels ? linear : kLinearLevels - 1] + Noise();
    };
    for (int x = 0; x < width_; ++x) {
      const Rgb& r = moving ? ((((x / 6) + (y / 6) + jump) & 1) ? light : dark) : row[x];
      out[x] = {encode(r.r), encode(r.g), encode(r.b)};
    }
  }
}

std::vector<uint8_t> BandingModel::Yuy2(int n, int powerLine, bool moving) {
  std::vector<Rgb> codes;
  Render(n, powerLine, moving, &codes);
  std::vector<uint8_t> frame(static_cast<size_t>(width_) * height_ * 2);
  // BT.601 weights in 1/256.
  const auto luma = [](const Rgb& p) { return (77 * p.r + 150 * p.g + 29 * p.b) >> 8; };
  for (int y = 0; y < height_; ++y) {
    for (int x = 0; x < width_; x += 2) {
      const Rgb& a = codes[static_cast<size_t>(y) * width_ + x];
      const Rgb& b = x + 1 < width_ ? codes[static_cast<size_t>(y) * width_ + x + 1] : a;
      const int32_t ya = luma(a), yb = luma(b), ym = (ya + yb) / 2;
      uint8_t* p = &frame[(static_cast<size_t>(y) * width_ + x) * 2];
      p[0] = Code(ya);
      p[1] = Code(128 * 16 + ((144 * ((a.b + b.b) / 2 - ym)) >> 8));
      if (x + 1 < width_) {
        p[2] = Code(yb);
        p[3] = Code(128 * 16 + ((183 * ((a.r + b.r) / 2 - ym)) >> 8));
      }
    }
  }
  return frame;
}

std::vector<uint8_t> BandingModel::Bgr24(int n, int powerLine, bool moving) {
  std::vector<Rgb> codes;
  Render(n, powerLine, moving, &codes);
  std::vector<uint8_t> frame(static_cast<size_t>(width_) * height_ * 3);
  for (int y = 0; y < height_; ++y) {
    uint8_t* p = &frame[static_cast<size_t>(height_ - 1 - y) * width_ * 3];  // bottom-up
    for (int x = 0; x < width_; ++x, p += 3) {
      const Rgb& c = codes[static_cast<size_t>(y) * width_ + x];
      p[0] = Code(c.b);
      p[1] = Code(c.g);
      p[2] = Code(c.r);
    }
  }
  return frame;
}

}  // namespace kvz::test
