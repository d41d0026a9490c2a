// Runs the flicker detector over a grid of light conditions from the banding model and prints
// how often it corrects a 60 Hz setting under 50 Hz light (a correct switch) and how often it
// wrongly leaves 60 Hz under 60 Hz light (a false switch), per scene and per condition.
//   kvzcam-flicker-grid [--size WxH] [--frames N] [--verbose]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "postproc/flicker/flicker_detector.h"
#include "support/fake_flicker_camera.h"

using kvz::FlickerDetector;
using kvz::test::FakeFlickerCamera;
using kvz::test::LightConditions;
using kvz::test::Scene;

namespace {

enum Outcome { kKept, kSwitched, kUndecided };

// Runs one detection from stream start; the camera starts at 60 Hz, as the driver tries first.
Outcome Run(const LightConditions& light, int width, int height, int frameLimit) {
  FakeFlickerCamera camera(0xB0, light.mainsHz, width, height);
  camera.light = light;
  FlickerDetector detector;
  if (!NT_SUCCESS(detector.AllocBuffers())) return kUndecided;
  detector.Reset(&camera, 0xB0, 0);
  LONG value = -1;
  Outcome outcome = kUndecided;
  for (int i = 0; i < frameLimit; ++i) {
    const auto frame = camera.NextFrame();
    detector.ProcessFrame(&camera, frame.data(), 2, width, height, 0xB0, &value);
    if (detector.State() == FlickerDetector::kStateDone) {
      outcome = camera.powerLine == 1 ? kSwitched : kKept;
      break;
    }
  }
  detector.FreeBuffers();
  return outcome;
}

const char* SceneName(Scene s) {
  switch (s) {
    case Scene::kGrey: return "grey";
    case Scene::kOffice: return "office";
    case Scene::kTextured: return "textured";
    case Scene::kFlatColour: return "flat colour";
  }
  return "?";
}

struct Tally {
  int runs = 0, hits = 0, undecided = 0;
};

}  // namespace

int main(int argc, char** argv) {
  int width = 320, height = 240, frames = 400;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--size") && i + 1 < argc) {
      sscanf(argv[++i], "%dx%d", &width, &height);
    } else if (!strcmp(argv[i], "--frames") && i + 1 < argc) {
      frames = atoi(argv[++i]);
    } else if (!strcmp(argv[i], "--verbose")) {
      verbose = true;
    } else {
      fprintf(stderr, "usage: %s [--size WxH] [--frames N] [--verbose]\n", argv[0]);
      return 2;
    }
  }
  const Scene scenes[] = {Scene::kGrey, Scene::kOffice, Scene::kTextured, Scene::kFlatColour};
  const double depths[] = {0.1, 0.2, 0.35, 0.5, 0.65, 0.8};
  const int exposures[] = {1, 2, 3};
  const double noises[] = {0, 1, 2.5};
  const double rates[] = {30, 15};
  const double shakes[] = {0, 1};

  // Correct switches (50 Hz light) and false switches (60 Hz light), by scene and by factor.
  std::map<std::string, Tally> correct, falseSwitch;
  Tally allCorrect, allFalse;
  for (Scene scene : scenes)
    for (double depth : depths)
      for (int exposure : exposures)
        for (double noise : noises)
          for (double fps : rates)
            for (double shake : shakes) {
              LightConditions light;
              light.scene = scene;
              light.depth = depth;
              light.exposurePeriods = exposure;
              light.noise = noise;
              light.fps = fps;
              light.shake = shake;
              char depthKey[32], expKey[32], noiseKey[32], fpsKey[32], shakeKey[32];
              snprintf(depthKey, sizeof depthKey, "depth %.2f", depth);
              snprintf(expKey, sizeof expKey, "exposure %d/120 s", exposure);
              snprintf(noiseKey, sizeof noiseKey, "noise %.1f", noise);
              snprintf(fpsKey, sizeof fpsKey, "%.0f fps", fps);
              snprintf(shakeKey, sizeof shakeKey, "shake %.0f px", shake);
              const std::string keys[] = {std::string("scene ") + SceneName(scene), depthKey,
                                          expKey, noiseKey, fpsKey, shakeKey};
              for (int mains : {50, 60}) {
                light.mainsHz = mains;
                light.seed = static_cast<uint32_t>(allCorrect.runs + allFalse.runs + 1);
                const Outcome o = Run(light, width, height, frames);
                const bool hit = o == kSwitched;
                auto& table = mains == 50 ? correct : falseSwitch;
                Tally& all = mains == 50 ? allCorrect : allFalse;
                for (const auto& k : keys) {
                  ++table[k].runs;
                  table[k].hits += hit;
                  table[k].undecided += o == kUndecided;
                }
                ++all.runs;
                all.hits += hit;
                all.undecided += o == kUndecided;
                if (verbose)
                  printf("%s %s %s %s %s %s mains %d: %s\n", keys[0].c_str(), depthKey, expKey,
                         noiseKey, fpsKey, shakeKey, mains,
                         o == kSwitched ? "switched" : o == kKept ? "kept" : "undecided");
              }
            }
  printf("flicker detector on the banding model, %dx%d, %d frames per run\n", width, height,
         frames);
  printf("%-22s %26s %26s\n", "", "50 Hz light: switched", "60 Hz light: switched");
  printf("%-22s %20d/%d (%4.1f%%) %16d/%d\n", "all", allCorrect.hits, allCorrect.runs,
         100.0 * allCorrect.hits / allCorrect.runs, allFalse.hits, allFalse.runs);
  for (const auto& [key, t] : correct) {
    const Tally& f = falseSwitch[key];
    printf("%-22s %20d/%d (%4.1f%%) %16d/%d   undecided %d\n", key.c_str(), t.hits, t.runs,
           100.0 * t.hits / t.runs, f.hits, f.runs, t.undecided);
  }
  return 0;
}
