// The tool's command line, in v4l2-ctl's spelling where v4l2-ctl has the option.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kvz::capture {

struct CaptureOptions {
  std::string camera = "isoch";
  std::string mjpegFrom;
  bool faceScene = false;
  std::optional<uint32_t> windowsBuild;  // the system the stand-in boots as
  std::string registryFile = "kvzcam-registry.txt";
  bool listDevices = false;
  bool listFormats = false;
  bool listControls = false;
  std::vector<std::string> getControls;
  std::vector<std::pair<std::string, int64_t>> setControls;  // checked against each range later
  std::optional<int32_t> width, height;
  std::string pixelFormat;
  std::optional<int32_t> stillWidth, stillHeight;  // --set-fmt-still
  std::string stillPixelFormat;
  std::optional<double> fps;
  std::optional<uint32_t> streamCount;
  std::string streamTo;
  bool raw = false;
  bool still = false;
  std::optional<int32_t> rotate;
  bool privacy = false;
  bool help = false;
  bool usageError = false;  // no arguments: the usage, as a command-line error

  bool Streams() const { return streamCount.has_value() || !streamTo.empty() || still; }
};

// False with *error set on a malformed command line.
bool ParseCaptureOptions(int argc, char** argv, CaptureOptions* options, std::string* error);
const char* CaptureUsage();
// A whole number as written (decimal, 0x hexadecimal), nothing before or after it; false past 64 bits.
bool ParseWhole(const std::string& text, int64_t* value);

}  // namespace kvz::capture
