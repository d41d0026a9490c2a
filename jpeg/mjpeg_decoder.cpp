#include "jpeg/mjpeg_decoder.h"

#include <wdm.h>

#include "jpeg/jpeg_cpu.h"
#include "primitives/build_selection.h"
#include "primitives/dispatch.h"

namespace kvz::jpeg {

JpegDecoderBase::JpegDecoderBase() : vendorCode_(DetectCpuVendor()) {}

MjpegDecoder::MjpegDecoder() {
  prim::EnsureBuildSelected();
  state_.Reset();
  state_.InstallStandardTables();
}

MjpegDecoder::~MjpegDecoder() {
  state_.Release();
  state_.FreeStandardTables();
}

int32_t MjpegDecoder::Decode(const uint8_t* data, int32_t length, uint8_t* out, int32_t outSize, int32_t* width,
                             int32_t* height, int32_t format) {
  return JpegDecodeFrame(length, data, out, outSize, width, height, format, vendorCode_, &state_);
}

int64_t JpegOutputSize(int32_t format, int32_t width, int32_t height) {
  if (width < 1 || height < 1 || width > kMaxDimension || height > kMaxDimension) return -1;
  const int64_t pixels = static_cast<int64_t>(width) * height;
  switch (format) {
    case kPixelYuy2:
      return pixels * 2;
    case kPixelI420:
      return pixels + 2 * (static_cast<int64_t>(width + 1) / 2) * ((height + 1) / 2);
    default:
      return pixels * 3;
  }
}

int32_t JpegDecodeFrame(int32_t length, const uint8_t* data, uint8_t* out, int32_t outSize, int32_t* width,
                        int32_t* height, int32_t format, uint32_t /*vendorCode*/, JpegDecoder* state) {
  prim::EnsureBuildSelected();
  if (length <= 0 || !data || !out || !state) return 1;
  state->Reset();
  state->SetInput(data, length);
  int32_t status = state->ReadHeader();
  if (width) *width = status == kJpegOk ? state->width : 0;
  if (height) *height = status == kJpegOk ? state->height : 0;
  if (status == kJpegOk) {
    state->SetOutput(out, format);
    if (outSize <= 0 || JpegOutputSize(state->outFormat, state->width, state->height) != outSize) {
      status = kJpegUnsupported;
    } else if (!state->OutputSupported()) {
      status = kJpegUnsupported;
    }
  }
  if (status == kJpegOk) status = state->DecodeImage();
  state->Release();
  return status == kJpegOk ? 0 : 1;
}

void FlipRgb24Image(uint8_t* image, int32_t width, int32_t height, int32_t mode) {
  int32_t axis;
  switch (mode) {
    case 0:
      axis = 2;
      break;
    case 1:
      axis = 1;
      break;
    case 2:
      axis = 0;
      break;
    default:
      return;
  }
  prim::MirrorImage8uC3InPlace(image, 3 * width, {width, height}, axis);
}

void ConvertRgb24ToI420(uint8_t* rgb, uint8_t* out, int32_t width, int32_t height) {
  if (!rgb || !out || width <= 0 || height <= 0) return;
  const int64_t pixels = static_cast<int64_t>(width) * height;
  for (int64_t i = 0; i < pixels; ++i) {
    uint8_t* pixel = rgb + 3 * i;
    const uint8_t blue = pixel[0];
    pixel[0] = pixel[2];
    pixel[2] = blue;
  }
  FlipRgb24Image(rgb, width, height, 2);
  uint8_t* planes[3] = {out, out + pixels, out + pixels + pixels / 4};
  const int32_t steps[3] = {width, width / 2, width / 2};
  prim::RgbToYuv420(rgb, 3 * width, planes, steps, {width, height});
}

}  // namespace kvz::jpeg
