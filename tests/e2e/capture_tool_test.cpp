// The capture tool as a person meets it: the built program run as a process in a folder of its
// own, judged by its exit status, what it says, the files it leaves and the settings file it
// saves. A row may stop the tool with a signal at a chosen frame: the tool holds after that
// frame's progress line (KVZCAM_CAPTURE_HOLD_AFTER_FRAME) until the signal the test sends on
// reading that line, so the frame count is exact whatever the machine's speed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "camera_rig.h"
#include "simcam/camera_profile.h"

namespace kvz::e2e {
namespace {

namespace fs = std::filesystem;

#ifdef KVZ_CAPTURE_TOOL
constexpr char kTool[] = KVZ_CAPTURE_TOOL;
#else
constexpr char kTool[] = "";
#endif

struct ToolRun {
  int exitStatus = -1;  // 128 + the signal when a signal ended it
  std::string out, err;
  std::string Said() const { return out + err; }
};

struct RunOptions {
  int stopAtFrame = 0;  // send `stopSignal` once the tool holds after this frame
  int stopSignal = SIGINT;
  rlim_t fileSizeLimit = RLIM_INFINITY;  // bytes; a write past it fails as on a full disk
};

void Drain(int fd, std::string* into, bool* open) {
  char buffer[4096];
  const ssize_t n = read(fd, buffer, sizeof(buffer));
  if (n > 0) into->append(buffer, static_cast<size_t>(n));
  else if (n == 0 || errno != EINTR) *open = false;
}

ToolRun RunCaptureTool(const std::vector<std::string>& args, const fs::path& dir, const RunOptions& options = {}) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "KVZCAM_", 7) != 0) env.emplace_back(*e);
  if (options.stopAtFrame) env.push_back("KVZCAM_CAPTURE_HOLD_AFTER_FRAME=" + std::to_string(options.stopAtFrame));
  std::vector<char*> argv{const_cast<char*>(kTool)}, envp;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string where = dir.string();

  int out[2], err[2];
  EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
  EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
  const pid_t pid = fork();
  if (pid == 0) {  // only async-signal-safe calls until exec
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (chdir(where.c_str()) != 0) _exit(120);
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGINT, SIG_DFL);  // as a shell starts a job in the foreground, whatever this test inherited
    signal(SIGTERM, SIG_DFL);
    const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
    setrlimit(RLIMIT_FSIZE, &limit);
    execve(kTool, argv.data(), envp.data());
    _exit(121);
  }
  close(out[1]);
  close(err[1]);
  ToolRun run;
  bool outOpen = true, errOpen = true, signalled = false;
  const std::string holdLine = "frame " + std::to_string(options.stopAtFrame) + "/";
  while (outOpen || errOpen) {
    pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
    // Not a synchronisation: a tool that hangs is ended after a minute and fails the row.
    const int ready = poll(fds, 2, 60'000);
    if (ready == 0) {
      ADD_FAILURE() << "the tool hung";
      kill(pid, SIGKILL);
      break;
    }
    if (ready < 0) continue;
    if (fds[0].revents) Drain(out[0], &run.out, &outOpen);
    if (fds[1].revents) Drain(err[0], &run.err, &errOpen);
    if (options.stopAtFrame && !signalled && run.err.find(holdLine) != std::string::npos) {
      kill(pid, options.stopSignal);
      signalled = true;
    }
  }
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

std::string ReadText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every file under dir, relative, sorted.
std::vector<std::string> FilesUnder(const fs::path& dir) {
  std::vector<std::string> files = {};
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) files.push_back(fs::relative(e.path(), dir).string());
  std::sort(files.begin(), files.end());
  return files;
}

// A PNG file that ends with its IEND chunk: written whole.
bool WholePng(const fs::path& file) {
  const std::string bytes = ReadText(file);
  static const char kIend[] = "IEND\xAE\x42\x60\x82";
  return bytes.size() > 16 && bytes.compare(0, 4, "\x89PNG") == 0 &&
         bytes.compare(bytes.size() - 8, 8, kIend, 8) == 0;
}

struct ToolCase {
  const char* name;
  std::vector<std::string> args;  // "{dumps}" stands for the simulated camera's dump folder
  int exitStatus;
  std::vector<std::string> said = {};     // each somewhere in stdout or stderr
  std::vector<std::string> notSaid = {};  // none of these
  std::vector<std::string> files = {};    // exactly the files left in the run's folder (empty: not checked)
  std::vector<std::string> settings = {};  // each somewhere in the saved settings file (kvzcam-registry.txt)
  RunOptions options = {};
  std::function<void(const fs::path&)> setup = nullptr;  // prepares the run's folder
  std::vector<std::string> wholePngs = {};  // files that must be complete PNGs
  std::vector<std::vector<std::string>> earlierRuns = {};  // in the same folder first, each exit status 0
};

// The isochronous camera with a YUY2 1920 x 1080 frame besides its own, as a binary descriptor dump.
void WriteTallYuy2Camera(const fs::path& dir) {
  const simcam::VendorGuids guids = capture::DriverUnitGuids();
  simcam::CameraDescription d = simcam::HighSpeedIsochDescription(guids);
  for (auto& format : d.formats)
    if (format.kind == simcam::FormatKind::kYuy2) format.frames.push_back({1920, 1080, {2000000}});
  const simcam::CameraProfile profile = simcam::ProfileFromDescription(d, &guids);
  std::ofstream out(dir / "tall.bin", std::ios::binary);
  out.write(reinterpret_cast<const char*>(profile.deviceDescriptor.data()), profile.deviceDescriptor.size());
  out.write(reinterpret_cast<const char*>(profile.configurationDescriptor.data()), profile.configurationDescriptor.size());
}

void PrintTo(const ToolCase& c, std::ostream* os) { *os << c.name; }

std::string Expand(std::string arg) {
  const std::string key = "{dumps}";
  const size_t at = arg.find(key);
  if (at != std::string::npos) arg.replace(at, key.size(), KVZ_SIMCAM_DUMPS);
  return arg;
}

const ToolCase kCases[] = {
    {"Usage", {"--help"}, 0, {"usage: kvzcam-capture", "--stream-count N"}},
    {"UnknownOption", {"--frobnicate"}, 2, {"unknown option --frobnicate (--help lists the options)"}},
    // Numbers are read whole and checked: no wrap, no trailing garbage, within their range.
    {"NoArgumentsPrintUsage", {}, 2, {"usage: kvzcam-capture"}},
    {"StreamCountPastWhatIsCounted", {"--stream-count", "4294967296"}, 2,
     {"--stream-count: 4294967296 is out of range (1..4294967295)"}, {"Streaming"}},
    {"StreamCountZero", {"--stream-count=0"}, 2, {"--stream-count: 0 is out of range (1..4294967295)"}},
    {"StreamCountGarbage", {"--stream-count", "3x"}, 2, {"--stream-count wants a whole number, not '3x'"}},
    {"OptionEqualsValueAndSpacesInLists",
     {"--set-ctrl= brightness = 64 , contrast=7", "--get-ctrl=brightness, contrast"}, 0,
     {"brightness: 64\ncontrast: 7\n"}},
    {"ControlPastItsRange", {"--set-ctrl", "brightness=65", "--get-ctrl", "brightness"}, 1,
     {"brightness: 65 is out of range (-64..64)"}, {"brightness: 65\n"}},
    {"ControlAtTheEndOfItsRange", {"--set-ctrl", "brightness=-64", "--get-ctrl", "brightness"}, 0, {"brightness: -64"}},
    {"ControlPast32Bits", {"--set-ctrl", "contrast=4294967346", "--get-ctrl", "contrast"}, 1,
     {"contrast: 4294967346 is out of range (0..100)"}, {"contrast: 50"}},
    {"ControlValueGarbage", {"--set-ctrl", "brightness=5x"}, 2, {"--set-ctrl brightness wants a whole number, not '5x'"}},
    {"FrameRateNotFinite", {"--set-parm", "1e999", "--stream-count", "1"}, 2, {"--set-parm wants a frame rate, not '1e999'"}},
    {"FlagWithValue", {"--list-ctrls=3"}, 2, {"--list-ctrls takes no value"}},
    {"StreamsFramesToFiles", {"--stream-count", "3", "--stream-to", "out"}, 0,
     {"Summary: 3 frames", "Frames written to out"}, {},
     {"kvzcam-registry.txt", "out/frame-0000.png", "out/frame-0001.png", "out/frame-0002.png"}, {}, {}, nullptr,
     {"out/frame-0002.png"}},
    // A signal stops the stream after the frame in hand: every file whole, the pin and filter
    // closed in order, the summary, the settings saved, the shell's status for the signal.
    {"CtrlCStopsAtTheFrame", {"--set-ctrl", "brightness=10", "--stream-count", "100", "--stream-to", "out"}, 130,
     {"Summary: stopped after 3 frames", "Frames written to out"}, {"leaves resources"},
     {"kvzcam-registry.txt", "out/frame-0000.png", "out/frame-0001.png", "out/frame-0002.png"},
     {"\"Brightness\"=dword:0000000a"}, {3, SIGINT}, nullptr, {"out/frame-0000.png", "out/frame-0002.png"}},
    {"SigtermStopsAtTheFrame", {"--set-fmt-video", "pixelformat=MJPG", "--stream-count", "50", "--stream-to", "out"},
     143, {"Summary: stopped after 1 frames"}, {},
     {"kvzcam-registry.txt", "out/frame-0000.jpg"}, {"\"Brightness\"="}, {1, SIGTERM}},
    // Files and folders of the command line: one line with the reason each, status 2, nothing run.
    {"CameraMissing", {"--camera", "nothere.txt"}, 2, {"camera 'nothere.txt': no such profile or file"}},
    {"CameraIsAFolder", {"--camera", "."}, 2, {".: is a folder, not a descriptor dump"}, {"terminate"}},
    {"CameraNotADump", {"--camera", "notes.txt"}, 2, {"notes.txt: not a descriptor dump"}, {}, {}, {}, {},
     [](const fs::path& d) { std::ofstream(d / "notes.txt") << "hello\n"; }},
    {"CameraDumpTruncated", {"--camera", "cut.bin"}, 2,
     {"cut.bin: the descriptors are truncated or describe no USB video camera"}, {}, {}, {}, {},
     [](const fs::path& d) {  // a device descriptor and the first bytes of a configuration
       const char bytes[] = "\x12\x01\x00\x02\xEF\x02\x01\x40\x6D\x04\x94\x08\x10\x00\x00\x00\x00\x01"
                            "\x09\x02\xFF\x01\x02\x01\x00\x80\xFA";
       std::ofstream(d / "cut.bin", std::ios::binary).write(bytes, sizeof(bytes) - 1);
     }},
    {"RegistryIsAFolder", {"--registry", ".", "--stream-count", "1"}, 2, {".: is a folder, not a settings file"},
     {"Streaming"}},
    {"RegistryMalformed", {"--stream-count", "1"}, 2, {"kvzcam-registry.txt: line 1:"}, {"Streaming"},
     {"kvzcam-registry.txt"}, {"garbage"}, {},
     [](const fs::path& d) { std::ofstream(d / "kvzcam-registry.txt") << "garbage\n"; }},
    {"RegistryOnAFullDisk", {"--registry", "/dev/full", "--stream-count", "1"}, 2,
     {"/dev/full: the settings cannot be saved: No space left on device"}, {"Streaming"}},
    {"MjpegFolderWithABadImage", {"--mjpeg-from", "jpegs", "--set-fmt-video", "pixelformat=MJPG", "--stream-count", "1"},
     2, {"jpegs/b.jpg: a truncated JPEG image (no end-of-image marker)"}, {"Streaming", "no frame within"}, {}, {}, {},
     [](const fs::path& d) {
       fs::create_directories(d / "jpegs");
       std::ofstream(d / "jpegs/a.jpg", std::ios::binary) << "\xFF\xD8\xFF\xC0\x00\x11\xFF\xD9";
       std::ofstream(d / "jpegs/b.jpg", std::ios::binary) << "\xFF\xD8\xFF\xC0\x00\x11\x08";
     }},
    {"MjpegFolderMissing", {"--mjpeg-from", "nothere", "--stream-count", "1"}, 2, {"nothere: no such folder"}},
    {"StreamToAFile", {"--stream-to", "taken", "--stream-count", "1"}, 2, {"taken: Not a directory"}, {"Streaming"},
     {}, {}, {}, [](const fs::path& d) { std::ofstream(d / "taken") << "x"; }},
    // The first write that fails stops the stream with its reason, and nothing half written is
    // left (a frame is larger than the files may grow; the settings file is not).
    {"StreamToAFullDisk", {"--set-fmt-video", "pixelformat=MJPG", "--stream-count", "30", "--stream-to", "out"}, 1,
     {"out/frame-0000.jpg: File too large; streaming stopped", "Summary: 0 frames"}, {"Frames written"},
     {"kvzcam-registry.txt"}, {"[\\Registry\\Machine"}, {0, SIGINT, 8000}},
    // Each camera keeps its settings under its own driver key, and finds them again.
    {"SettingsPerCamera", {"--get-ctrl", "brightness"}, 0, {"brightness: 20\n"}, {}, {},
     {"\"Driver\"=sz:\"{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\\\0001\"", "\"Brightness\"=dword:00000014",
      "\"Brightness\"=dword:ffffffec"},
     {}, nullptr, {},
     {{"--set-ctrl", "brightness=20", "--stream-count", "1"},
      {"--camera", "bulk", "--set-ctrl", "brightness=-20", "--stream-count", "1"}}},
    // --still takes a still however few frames are streamed, at any size the still pin lists, or
    // says why not.
    {"StillWithOneFrame", {"--still", "--stream-count", "1", "--stream-to", "out"}, 0,
     {"Still image: YUY2 640x480, 614400 bytes", "Summary: 1 frames"}, {},
     {"kvzcam-registry.txt", "out/frame-0000.png", "out/still-0000.png"}, {}, {}, nullptr, {"out/still-0000.png"}},
    {"StillOfAnotherSize",
     {"--set-fmt-video=pixelformat=MJPG", "--still", "--set-fmt-still", "width=1280,height=720", "--stream-count", "1"},
     0, {"Still image: MJPG 1280x720"}},
    {"StillSizeNotOffered", {"--still", "--set-fmt-still", "width=1000", "--stream-count", "2"}, 1,
     {"the still pin offers no YUY2 width 1000 (it offers YUY2 640x480, YUY2 320x240, YUY2 1280x720, RGB24"}},
    {"StillWithoutAStillPin", {"--camera", "minimal", "--still", "--stream-count", "1"}, 1,
     {"the camera has no still pin"}},
    // The automatic modes are controls of their own; a refused set says why in words.
    {"AutomaticModeBackAfterAManualSet",
     {"--set-ctrl", "exposure_absolute=-8,exposure_auto=3,white_balance_temperature=5000",
      "--get-ctrl", "exposure_auto,exposure_absolute,white_balance_temperature_auto,white_balance_temperature"},
     0, {"exposure_auto: 3\nexposure_absolute: -8\nwhite_balance_temperature_auto: 0\nwhite_balance_temperature: 5000\n"}},
    {"AutomaticModesListed", {"--list-ctrls"}, 0,
     {"exposure_auto (int)    : min=1 max=3 step=2 default=3 value=3",
      "white_balance_temperature_auto (int)    : min=0 max=1 step=1 default=1 value=1"}},
    {"AutomaticModeNotAMode", {"--set-ctrl", "exposure_auto=2"}, 1,
     {"exposure_auto: 2 is not one of its modes (3 automatic, 1 manual)"}},
    {"ControlNotOnThisCamera", {"--camera", "minimal", "--set-ctrl", "hue=1"}, 1, {"hue: not supported by this camera"},
     {"0x"}},
    {"AutomaticModeNotOnThisCamera", {"--camera", "minimal", "--get-ctrl", "exposure_auto"}, 1,
     {"exposure_auto: not supported by this camera"}},
    // The listing: every discrete interval with its rate, a continuous range by its ends, a GUID
    // format without a FourCC by its GUID, and the sizes the driver does not offer with the reason.
    {"ListsEveryInterval", {"--list-formats-ext"}, 0,
     {"\t[0]: 'YUY2'\n\t\tSize: Discrete 640x480\n\t\t\tInterval: Discrete 0.033s (30.000 fps)\n"
      "\t\t\tInterval: Discrete 0.067s (15.000 fps)\n\t\t\tInterval: Discrete 0.100s (10.000 fps)\n"
      "\t\t\tInterval: Discrete 0.200s (5.000 fps)\n\t\tSize: Discrete 320x240\n",
      "\t[2]: 'MJPG'\n"},
     {"Camera sizes not offered"}},
    {"ListsAContinuousRange", {"--camera", "{dumps}/full_speed_continuous.txt", "--list-formats-ext"}, 0,
     {"Size: Discrete 128x96\n\t\t\tInterval: Continuous 0.033s (30.000 fps) - 0.067s (15.000 fps)\n"}},
    {"ListsAGuidWithoutFourCc", {"--camera", "guid.txt", "--list-formats-ext"}, 0,
     {"\t'{44434241-1234-5678-9abc-def012345678}' frame-based 1920x1080, 1280x720"}, {}, {}, {}, {},
     [](const fs::path& d) {
       std::string dump = ReadText(fs::path(KVZ_SIMCAM_DUMPS) / "uvc15_frame_based.txt");
       const std::string h264 = "48 32 36 34 00 00 10 00 80 00 00 aa 00 38 9b 71";
       dump.replace(dump.find(h264), h264.size(), "41 42 43 44 34 12 78 56 9a bc de f0 12 34 56 78");
       std::ofstream(d / "guid.txt") << dump;
     }},
    {"ListNamesTallYuy2NotOffered", {"--camera", "tall.bin", "--list-formats-ext"}, 0,
     {"Camera sizes not offered:\n\t'YUY2' 1920x1080 (taller than 720 lines: on Windows 10 build 10587 and later the "
      "driver offers it as MJPG only)\n"},
     {"Size: Discrete 1920x1080\n\t\t\tInterval: Discrete 0.200s (5.000 fps)\n"}, {}, {}, {}, WriteTallYuy2Camera},
    {"ListOffersTallYuy2OnWindows81", {"--camera", "tall.bin", "--windows-build", "9600", "--list-formats-ext"}, 0,
     {"Size: Discrete 1920x1080\n\t\t\tInterval: Discrete 0.200s (5.000 fps)\n"}, {"Camera sizes not offered"}, {},
     {}, {}, WriteTallYuy2Camera},
    // Options that would do nothing say so instead of being ignored.
    {"FormatWithoutAStream", {"--set-fmt-video", "width=640,height=480,pixelformat=YUY2", "--list-ctrls"}, 2,
     {"--set-fmt-video applies only to a stream (add --stream-count N or --stream-to DIR)"}, {"brightness"}},
    {"RateWithoutAStream", {"--set-parm", "15"}, 2, {"--set-parm applies only to a stream"}},
    {"StillSizeWithoutAStill", {"--set-fmt-still", "width=1280", "--stream-count", "1"}, 2,
     {"--set-fmt-still applies only to a still image (add --still)"}},
    {"RawWithoutFiles", {"--raw", "--stream-count", "1"}, 2,
     {"--raw applies only to frames written to files (add --stream-to DIR)"}},
};

class CaptureToolTest : public ::testing::TestWithParam<ToolCase> {};

TEST_P(CaptureToolTest, RunsAsAPersonRunsIt) {
  if (!*kTool) GTEST_SKIP() << "the capture tool is not built";
  const ToolCase& c = GetParam();
  const fs::path dir = fs::temp_directory_path() / ("kvzcam-tool-" + std::to_string(getpid()) + "-" + c.name);
  fs::remove_all(dir);
  fs::create_directories(dir);
  if (c.setup) c.setup(dir);
  for (const auto& earlier : c.earlierRuns) {
    const ToolRun run = RunCaptureTool(earlier, dir);
    ASSERT_EQ(run.exitStatus, 0) << run.Said();
  }
  std::vector<std::string> args;
  for (const std::string& a : c.args) args.push_back(Expand(a));
  const ToolRun run = RunCaptureTool(args, dir, c.options);
  const std::string said = run.Said();
  EXPECT_EQ(run.exitStatus, c.exitStatus) << said;
  for (const std::string& s : c.said) EXPECT_NE(said.find(s), std::string::npos) << "missing '" << s << "' in\n" << said;
  for (const std::string& s : c.notSaid) EXPECT_EQ(said.find(s), std::string::npos) << "'" << s << "' in\n" << said;
  if (!c.files.empty()) {
    std::vector<std::string> expected = c.files;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(FilesUnder(dir), expected) << said;
  }
  const std::string settings = ReadText(dir / "kvzcam-registry.txt");
  for (const std::string& s : c.settings) EXPECT_NE(settings.find(s), std::string::npos) << s << " not in\n" << settings;
  for (const std::string& f : c.wholePngs) EXPECT_TRUE(WholePng(dir / f)) << f;
  if (!HasFailure()) fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Cases, CaptureToolTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvz::e2e
