#include "image_io.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kvz::train {

bool (*LoadPngPicture)(const std::string&, Grey*) = nullptr;
bool (*LoadJpegPicture)(const std::string&, Grey*) = nullptr;

namespace {

bool LoadPgm(const std::string& path, Grey* out) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int maxval;
  if (!(in >> magic >> out->width >> out->height >> maxval) || magic != "P5" || maxval != 255) return false;
  in.get();
  out->pixels.resize(static_cast<size_t>(out->width) * out->height);
  return static_cast<bool>(in.read(reinterpret_cast<char*>(out->pixels.data()), out->pixels.size()));
}

bool EndsWith(const std::string& s, const std::string& e) {
  return s.size() >= e.size() && s.compare(s.size() - e.size(), e.size(), e) == 0;
}

}  // namespace

bool LoadPicture(const std::string& path, Grey* out) {
  if (EndsWith(path, ".png")) return LoadPngPicture && LoadPngPicture(path, out);
  if (EndsWith(path, ".jpg")) return LoadJpegPicture && LoadJpegPicture(path, out);
  if (EndsWith(path, ".pgm")) return LoadPgm(path, out);
  return false;
}

bool SavePgm(const std::string& path, const Grey& g) {
  std::ofstream o(path, std::ios::binary);
  o << "P5\n" << g.width << " " << g.height << "\n255\n";
  o.write(reinterpret_cast<const char*>(g.pixels.data()), g.pixels.size());
  return static_cast<bool>(o);
}

bool LoadCropArray(const std::string& path, std::vector<Grey>* crops) {
  std::ifstream in(path, std::ios::binary);
  char magic[6];
  if (!in.read(magic, 6) || std::memcmp(magic, "\x93NUMPY", 6) != 0) return false;
  uint8_t version[2];
  uint8_t len[2];
  in.read(reinterpret_cast<char*>(version), 2);
  in.read(reinterpret_cast<char*>(len), 2);
  std::string header(len[0] | (len[1] << 8), ' ');
  in.read(&header[0], header.size());
  if (header.find("'<f8'") == std::string::npos || header.find("False") == std::string::npos) return false;
  int n, h, w;
  const size_t shape = header.find("'shape': (");
  if (shape == std::string::npos || std::sscanf(header.c_str() + shape + 10, "%d, %d, %d", &n, &h, &w) != 3) return false;
  std::vector<double> values(static_cast<size_t>(n) * h * w);
  if (!in.read(reinterpret_cast<char*>(values.data()), values.size() * 8)) return false;
  double top = 0;
  for (double v : values) top = std::max(top, v);
  const double scale = top <= 1.0 ? 255.0 : 1.0;
  crops->assign(n, Grey{});
  for (int i = 0; i < n; ++i) {
    Grey& g = (*crops)[i];
    g.width = w;
    g.height = h;
    g.pixels.resize(static_cast<size_t>(w) * h);
    for (int k = 0; k < w * h; ++k) {
      const double v = std::round(values[static_cast<size_t>(i) * w * h + k] * scale);
      g.pixels[k] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
  }
  return true;
}

double Sample(const Grey& g, double x, double y) {
  x = std::min(std::max(x, 0.0), g.width - 1.0);
  y = std::min(std::max(y, 0.0), g.height - 1.0);
  const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
  const int x1 = std::min(x0 + 1, g.width - 1), y1 = std::min(y0 + 1, g.height - 1);
  const double fx = x - x0, fy = y - y0;
  return (g.at(x0, y0) * (1 - fx) + g.at(x1, y0) * fx) * (1 - fy) +
         (g.at(x0, y1) * (1 - fx) + g.at(x1, y1) * fx) * fy;
}

Grey Resize(const Grey& g, int width, int height) {
  Grey out;
  out.width = width;
  out.height = height;
  out.pixels.resize(static_cast<size_t>(width) * height);
  const double sx = static_cast<double>(g.width) / width, sy = static_cast<double>(g.height) / height;
  // Area-like reduction: average a few bilinear samples per output pixel when shrinking.
  const int taps = std::max(1, static_cast<int>(std::ceil(std::max(sx, sy))));
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      double sum = 0;
      for (int j = 0; j < taps; ++j)
        for (int i = 0; i < taps; ++i)
          sum += Sample(g, (x + (i + 0.5) / taps) * sx - 0.5, (y + (j + 0.5) / taps) * sy - 0.5);
      out.pixels[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(std::lround(sum / (taps * taps)));
    }
  return out;
}

}  // namespace kvz::train
