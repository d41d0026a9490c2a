#include "capture_options.h"

#include "tool_machine.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>

namespace kvz::capture {

namespace {

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The items of a comma list, spaces around each trimmed.
std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, separator))
    if (!Trim(part).empty()) parts.push_back(Trim(part));
  return parts;
}

// NAME=VALUE with spaces around both trimmed; false without '='.
bool SplitPair(const std::string& item, std::string* name, std::string* value) {
  const auto eq = item.find('=');
  if (eq == std::string::npos) return false;
  *name = Trim(item.substr(0, eq));
  *value = Trim(item.substr(eq + 1));
  return true;
}

}  // namespace

bool ParseWhole(const std::string& text, int64_t* value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 0);
  if (*end != '\0' || errno == ERANGE) return false;
  *value = v;
  return true;
}

namespace {

// A whole number within [minimum, maximum]; *error names the option, the text and the range.
bool ParseInRange(const std::string& option, const std::string& text, int64_t minimum, int64_t maximum,
                  int64_t* value, std::string* error) {
  if (!ParseWhole(text, value)) {
    *error = option + " wants a whole number, not '" + text + "'";
    return false;
  }
  if (*value < minimum || *value > maximum) {
    *error = option + ": " + text + " is out of range (" + std::to_string(minimum) + ".." + std::to_string(maximum) +
             ")";
    return false;
  }
  return true;
}

}  // namespace

const char* CaptureUsage() {
  return "usage: kvzcam-capture [options]\n"
         "  --camera isoch|bulk|usb3|minimal|DUMP  the simulated camera (default isoch)\n"
         "  --mjpeg-from DIR          the camera sends the .jpg files of DIR as its MJPEG frames\n"
         "  --face-scene              the camera shows a moving face; face detection is switched on\n"
         "  --windows-build N         boot as that Windows build (default 19045; the driver turns the\n"
         "                            picture for --rotate before build 10587 only, e.g. 9600)\n"
         "  --registry FILE           settings kept between runs (default kvzcam-registry.txt)\n"
         "  --list-devices            the capture filters\n"
         "  --list-formats-ext        every pin's formats, sizes and frame intervals\n"
         "  --list-ctrls              the controls with range, default and value\n"
         "  --get-ctrl NAME[,NAME]    control values\n"
         "  --set-ctrl NAME=V[,...]   set controls\n"
         "  --set-fmt-video width=W,height=H,pixelformat=YUY2|RGB24|MJPG\n"
         "  --set-fmt-still width=W,height=H[,pixelformat=F]\n"
         "                            the still image's size (--still; a size the still pin lists)\n"
         "  --set-parm FPS            frame rate\n"
         "  --stream-count N          stream N frames\n"
         "  --stream-to DIR           write frames to DIR (PNG, or .jpg for MJPG)\n"
         "  --raw                     write frames as delivered (.raw)\n"
         "  --still                   also capture one still image (trigger by property) after the\n"
         "                            third frame, or the last when fewer are streamed\n"
         "  --rotate N                rotate the picture N quarter turns\n"
         "  --privacy                 show the privacy picture\n";
}

bool ParseCaptureOptions(int argc, char** argv, CaptureOptions* o, std::string* error) {
  if (argc <= 1) {
    o->help = true;
    o->usageError = true;
    return true;
  }
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    // --option=value as well as --option value.
    std::optional<std::string> inlineValue;
    const auto eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = arg.substr(eq + 1);
      arg.erase(eq);
    }
    auto value = [&](std::string* out) {
      if (inlineValue) {
        *out = *inlineValue;
        inlineValue.reset();
        return true;
      }
      if (i + 1 >= argc) {
        *error = arg + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    auto integer = [&](int64_t minimum, int64_t maximum, int64_t* n) {
      std::string v;
      return value(&v) && ParseInRange(arg, v, minimum, maximum, n, error);
    };
    std::string v;
    int64_t n = 0;
    if (arg == "--help" || arg == "-h") {
      o->help = true;
    } else if (arg == "--camera") {
      if (!value(&o->camera)) return false;
    } else if (arg == "--mjpeg-from") {
      if (!value(&o->mjpegFrom)) return false;
    } else if (arg == "--face-scene") {
      o->faceScene = true;
    } else if (arg == "--windows-build") {
      if (!integer(kFirstWindowsBuild, std::numeric_limits<uint32_t>::max(), &n)) return false;
      o->windowsBuild = static_cast<uint32_t>(n);
    } else if (arg == "--registry") {
      if (!value(&o->registryFile)) return false;
    } else if (arg == "--list-devices") {
      o->listDevices = true;
    } else if (arg == "--list-formats-ext") {
      o->listFormats = true;
    } else if (arg == "--list-ctrls") {
      o->listControls = true;
    } else if (arg == "--get-ctrl") {
      if (!value(&v)) return false;
      for (const auto& name : Split(v, ',')) o->getControls.push_back(name);
    } else if (arg == "--set-ctrl") {
      if (!value(&v)) return false;
      for (const auto& item : Split(v, ',')) {
        std::string name, text;
        if (!SplitPair(item, &name, &text) || name.empty()) {
          *error = "--set-ctrl wants NAME=VALUE, not '" + item + "'";
          return false;
        }
        if (!ParseWhole(text, &n)) {
          *error = "--set-ctrl " + name + " wants a whole number, not '" + text + "'";
          return false;
        }
        o->setControls.emplace_back(name, n);
      }
    } else if (arg == "--set-fmt-video" || arg == "--set-fmt-still") {
      if (!value(&v)) return false;
      const bool still = arg == "--set-fmt-still";
      for (const auto& item : Split(v, ',')) {
        std::string key, val;
        SplitPair(item, &key, &val);
        if (key == "width" || key == "height") {
          if (!ParseInRange(arg + " " + key, val, 1, std::numeric_limits<int32_t>::max(), &n, error)) return false;
          auto& field = key == "width" ? (still ? o->stillWidth : o->width) : (still ? o->stillHeight : o->height);
          field = static_cast<int32_t>(n);
        } else if (key == "pixelformat" && !val.empty()) {
          (still ? o->stillPixelFormat : o->pixelFormat) = val;
        } else {
          *error = arg + ": cannot read '" + item + "' (width=W,height=H,pixelformat=F)";
          return false;
        }
      }
    } else if (arg == "--set-parm") {
      if (!value(&v)) return false;
      char* end = nullptr;
      const double fps = v.empty() || std::isspace(static_cast<unsigned char>(v[0])) ? 0 : std::strtod(v.c_str(), &end);
      if (!end || *end != '\0' || !(fps > 0) || !std::isfinite(fps)) {
        *error = "--set-parm wants a frame rate, not '" + v + "'";
        return false;
      }
      o->fps = fps;
    } else if (arg == "--stream-count") {
      if (!integer(1, std::numeric_limits<uint32_t>::max(), &n)) return false;
      o->streamCount = static_cast<uint32_t>(n);
    } else if (arg == "--stream-to") {
      if (!value(&o->streamTo)) return false;
    } else if (arg == "--raw") {
      o->raw = true;
    } else if (arg == "--still") {
      o->still = true;
    } else if (arg == "--rotate") {
      if (!integer(0, 3, &n)) {
        *error += " (quarter turns)";
        return false;
      }
      o->rotate = static_cast<int32_t>(n);
    } else if (arg == "--privacy") {
      o->privacy = true;
    } else {
      *error = "unknown option " + arg;
      return false;
    }
    if (inlineValue) {
      *error = arg + " takes no value";
      return false;
    }
  }
  // Options that would do nothing are refused rather than silently ignored.
  const bool format = o->width || o->height || !o->pixelFormat.empty();
  if ((format || o->fps) && !o->Streams()) {
    *error = std::string(format ? "--set-fmt-video" : "--set-parm") +
             " applies only to a stream (add --stream-count N or --stream-to DIR)";
    return false;
  }
  if ((o->stillWidth || o->stillHeight || !o->stillPixelFormat.empty()) && !o->still) {
    *error = "--set-fmt-still applies only to a still image (add --still)";
    return false;
  }
  if (o->raw && o->streamTo.empty()) {
    *error = "--raw applies only to frames written to files (add --stream-to DIR)";
    return false;
  }
  return true;
}

}  // namespace kvz::capture
