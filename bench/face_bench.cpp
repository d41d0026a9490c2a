// The face detection object on one 320 x 240 YUY2 frame: a worker step (the coarse search of
// the whole picture, then the fine search around the kept face), with a held-out face pasted
// in and without one. Runs on one core.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "face/face_detect.h"
#include "image_io.h"
#include "training_data.h"

namespace {

class BenchDevice : public kvz::FaceDeviceServices {
 public:
  BenchDevice() { KeInitializeMutex(&mutex_, 0); }
  PKMUTEX FaceDetectionMutex() override { return &mutex_; }
  NTSTATUS SetFaceRectangle(const kvz::RegionRect&, LONG, LONG) override { return STATUS_SUCCESS; }
  VOID SetFaceWorkFlags(LONG) override {}
  VOID ClearFaceWorkFlags(LONG) override {}
  VOID ReadFaceWorkSwitches(kvz::FaceWorkSwitches* s) override { *s = {1, 1, kvz::kFaceWorkDetect}; }

 private:
  KMUTEX mutex_;
};

std::vector<UCHAR> Frame(bool withFace) {
  kvz::train::Grey background, face;
  kvz::train::LoadPicture(std::string(KVZ_FACE_TEST_DATA) + "/background0.pgm", &background);
  kvz::train::LoadPicture(std::string(KVZ_FACE_TEST_DATA) + "/face72.pgm", &face);
  if (withFace) kvz::train::Paste(&background, face, 110, 50, 100);
  std::vector<UCHAR> yuy2(320 * 240 * 2, 128);
  for (size_t i = 0; i < background.pixels.size() && background.width == 320; ++i) yuy2[2 * i] = background.pixels[i];
  return yuy2;
}

void FaceDetectStep(benchmark::State& state, bool withFace) {
  const std::vector<UCHAR> frame = Frame(withFace);
  BenchDevice device;
  kvz::FaceDetect detect;
  for (auto _ : state) {
    detect.doFaceDetection(&device, frame.data(), nullptr, 320, 240, 0);
    detect.doFaceDetection(&device, frame.data(), nullptr, 320, 240, 1);
  }
  state.counters["faces"] = detect.FaceCount();
}

BENCHMARK_CAPTURE(FaceDetectStep, one_face, true)->Name("FaceDetect/320x240/one_face")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(FaceDetectStep, face_free, false)->Name("FaceDetect/320x240/face_free")->Unit(benchmark::kMillisecond);

}  // namespace
