#include "capture_options.h"

#include "tool_machine.h"

#include <cstdlib>
#include <sstream>

namespace kvz::capture {

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, separator))
    if (!part.empty()) parts.push_back(part);
  return parts;
}

bool ParseInt(const std::string& text, int32_t* value) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0') return false;
  *value = static_cast<int32_t>(v);
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
         "  --set-parm FPS            frame rate\n"
         "  --stream-count N          stream N frames\n"
         "  --stream-to DIR           write frames to DIR (PNG, or .jpg for MJPG)\n"
         "  --raw                     write frames as delivered (.raw)\n"
         "  --still                   also capture one still image (button trigger by property)\n"
         "  --rotate N                rotate the picture N quarter turns\n"
         "  --privacy                 show the privacy picture\n";
}

bool ParseCaptureOptions(int argc, char** argv, CaptureOptions* o, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        *error = arg + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      o->help = true;
    } else if (arg == "--camera") {
      if (!value(&o->camera)) return false;
    } else if (arg == "--mjpeg-from") {
      if (!value(&o->mjpegFrom)) return false;
    } else if (arg == "--face-scene") {
      o->faceScene = true;
    } else if (arg == "--windows-build") {
      int32_t n = 0;
      if (!value(&v) || !ParseInt(v, &n) || n < 0 || !WindowsOfBuild(static_cast<uint32_t>(n))) {
        *error = "--windows-build wants a Windows build number, 2600 (XP) or later";
        return false;
      }
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
        const auto eq = item.find('=');
        int32_t n = 0;
        if (eq == std::string::npos || !ParseInt(item.substr(eq + 1), &n)) {
          *error = "--set-ctrl wants NAME=VALUE, not '" + item + "'";
          return false;
        }
        o->setControls.emplace_back(item.substr(0, eq), n);
      }
    } else if (arg == "--set-fmt-video") {
      if (!value(&v)) return false;
      for (const auto& item : Split(v, ',')) {
        const auto eq = item.find('=');
        const std::string key = item.substr(0, eq), val = eq == std::string::npos ? "" : item.substr(eq + 1);
        int32_t n = 0;
        if (key == "width" && ParseInt(val, &n)) {
          o->width = n;
        } else if (key == "height" && ParseInt(val, &n)) {
          o->height = n;
        } else if (key == "pixelformat" && !val.empty()) {
          o->pixelFormat = val;
        } else {
          *error = "--set-fmt-video: cannot read '" + item + "'";
          return false;
        }
      }
    } else if (arg == "--set-parm") {
      if (!value(&v)) return false;
      char* end = nullptr;
      const double fps = std::strtod(v.c_str(), &end);
      if (*end != '\0' || !(fps > 0)) {
        *error = "--set-parm wants a frame rate, not '" + v + "'";
        return false;
      }
      o->fps = fps;
    } else if (arg == "--stream-count") {
      int32_t n = 0;
      if (!value(&v) || !ParseInt(v, &n) || n <= 0) {
        *error = "--stream-count wants a positive count";
        return false;
      }
      o->streamCount = static_cast<uint32_t>(n);
    } else if (arg == "--stream-to") {
      if (!value(&o->streamTo)) return false;
    } else if (arg == "--raw") {
      o->raw = true;
    } else if (arg == "--still") {
      o->still = true;
    } else if (arg == "--rotate") {
      int32_t n = 0;
      if (!value(&v) || !ParseInt(v, &n) || n < 0 || n > 3) {
        *error = "--rotate wants 0, 1, 2 or 3 quarter turns";
        return false;
      }
      o->rotate = n;
    } else if (arg == "--privacy") {
      o->privacy = true;
    } else {
      *error = "unknown option " + arg;
      return false;
    }
  }
  return true;
}

}  // namespace kvz::capture
