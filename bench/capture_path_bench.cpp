// What the capture pin does per delivered 1080p frame, one core: a YUY2 frame through the frame
// processor (nothing to transform) and copied into the client's buffer; the same converted to
// bottom-up RGB24; an MJPEG frame as the camera sends it decoded, turned a quarter by the frame
// processor and re-encoded at quality 95. Names: CapturePath/<path>/<width>x<height>.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "postproc/convert/pin_conversion.h"
#include "jpeg/jpeg_constants.h"
#include "jpeg/jpeg_encoder.h"
#include "jpeg/mjpeg_decoder.h"
#include "postproc/processor/frame_processor.h"
#include "primitives/pool_object.h"
#include "simcam/mjpeg_encoder.h"
#include "simcam/test_pattern.h"

namespace {

constexpr LONG kWidth = 1920;
constexpr LONG kHeight = 1080;
constexpr int32_t kQuality = 95;

// A device with every transformation off except the rotation asked for; the power-line value is
// set, so the flicker detector is not fed.
class BenchDevice : public kvz::FrameDevice {
 public:
  explicit BenchDevice(LONG rotation) : rotation_(rotation) {}
  kvz::CameraServices* Services() override { return nullptr; }
  kvz::CameraIdentity Identity() const override { return kvz::CameraIdentity{false, 0, rotation_}; }
  VOID ReadFrameSettings(kvz::FrameSettings* s) const override {
    *s = {};
    s->zoomScale = kvz::kZoomScaleNone;
    s->powerLineFrequency = 2;
    s->autoExposureMode = 8;
  }
  VOID StoreFlickerDetectValue(LONG) override {}
  kvz::FaceDeviceServices* FaceServices() override { return nullptr; }

 private:
  LONG rotation_;
};

std::vector<uint8_t> CameraFrame() { return kvz::simcam::MakeYuy2Frame(kWidth, kHeight, 7); }

std::string Name(const char* path) {
  return std::string("CapturePath/") + path + "/" + std::to_string(kWidth) + "x" + std::to_string(kHeight);
}

void Yuy2Copy(benchmark::State& state) {
  const auto camera = CameraFrame();
  std::vector<uint8_t> frame(camera), client(camera.size());
  kvz::FrameProcessor processor;
  BenchDevice device(0);
  for (auto _ : state) {
    UCHAR* data = processor.ProcessFrame(&device, frame.data(), kWidth, kHeight);
    std::memcpy(client.data(), data, client.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(client.size()));
}

void Yuy2ToRgb24(benchmark::State& state) {
  std::vector<uint8_t> frame = CameraFrame();
  std::vector<uint8_t> client(static_cast<size_t>(kWidth) * kHeight * 3);
  kvz::FrameProcessor processor;
  BenchDevice device(0);
  for (auto _ : state) {
    UCHAR* data = processor.ProcessFrame(&device, frame.data(), kWidth, kHeight);
    kvz::ConvertYuy2ToRgb24BottomUp(data, client.data(), kWidth, kHeight);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(client.size()));
}

void MjpegTranscode(benchmark::State& state) {
  const std::vector<uint8_t> stream = kvz::simcam::EncodeYuy2AsJpeg(CameraFrame(), kWidth, kHeight, 90, false);
  std::vector<uint8_t> decoded(static_cast<size_t>(kWidth) * kHeight * 2);
  std::vector<uint8_t> client(decoded.size());
  kvz::FrameProcessor processor;
  BenchDevice device(1);
  auto* decoder = kvz::PoolNew<kvz::jpeg::MjpegDecoder>(kvz::jpeg::kDecoderPoolTag);
  kvz::jpeg::JpegEncoder encoder;
  for (auto _ : state) {
    int32_t w = kWidth, h = kHeight;
    if (decoder->Decode(stream.data(), static_cast<int32_t>(stream.size()), decoded.data(),
                        static_cast<int32_t>(decoded.size()), &w, &h, kvz::kPixelYuy2) != 0) {
      state.SkipWithError("decode failed");
      break;
    }
    UCHAR* data = processor.ProcessFrame(&device, decoded.data(), kWidth, kHeight);
    int32_t length = 0;
    if (kvz::jpeg::JpegEncodeFrame(data, kvz::kPixelYuy2, 2, client.data(), static_cast<int32_t>(client.size()),
                                   &length, kWidth, kHeight, kQuality, 0, 1, &encoder) != 0) {
      state.SkipWithError("encode failed");
      break;
    }
    benchmark::ClobberMemory();
  }
  kvz::PoolDelete(decoder, kvz::jpeg::kDecoderPoolTag);
}

const bool kRegistered = [] {
  benchmark::RegisterBenchmark(Name("YUY2Copy").c_str(), Yuy2Copy)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(Name("YUY2ToRGB24").c_str(), Yuy2ToRgb24)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(Name("MJPEGTranscode").c_str(), MjpegTranscode)->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace
