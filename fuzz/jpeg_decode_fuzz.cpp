// JPEG streams as a camera or a file could send them, through JpegDecodeFrame in every output
// format. The first byte picks the format; the rest is the stream. A first call with no room
// learns the frame's size (reported even when the size check fails), the second decodes into a
// buffer of exactly that size.
#include <cstdint>
#include <cstdlib>

#include "jpeg/jpeg_constants.h"
#include "jpeg/jpeg_decoder.h"
#include "jpeg/mjpeg_decoder.h"

namespace {

constexpr int64_t kMaxPixels = int64_t{1} << 22;  // keeps one run's memory modest

// One decoder state for the whole run, its standard tables installed once, as a decoder object
// keeps them across the frames of a stream.
kvz::jpeg::JpegDecoder* State() {
  static kvz::jpeg::JpegDecoder* state = [] {
    auto* s = new kvz::jpeg::JpegDecoder();
    s->Reset();
    s->InstallStandardTables();
    return s;
  }();
  return state;
}

int32_t Decode(const uint8_t* stream, int32_t length, uint8_t* out, int32_t outSize, int32_t* width,
               int32_t* height, int32_t format) {
  return kvz::jpeg::JpegDecodeFrame(length, stream, out, outSize, width, height, format, kvz::jpeg::kVendorOther,
                                    State());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > (1u << 22)) return 0;
  static const int32_t kFormats[] = {kvz::kPixelYuy2, kvz::kPixelI420, kvz::kPixelRgb24};
  const int32_t format = kFormats[data[0] % 3];
  const uint8_t* stream = data + 1;
  const int32_t length = static_cast<int32_t>(size - 1);
  int32_t width = 0;
  int32_t height = 0;
  uint8_t probe = 0;
  Decode(stream, length, &probe, 1, &width, &height, format);
  if (width <= 0 || height <= 0 || static_cast<int64_t>(width) * height > kMaxPixels) return 0;
  const int64_t bytes = kvz::jpeg::JpegOutputSize(format, width, height);
  uint8_t* out = static_cast<uint8_t*>(malloc(static_cast<size_t>(bytes)));
  Decode(stream, length, out, static_cast<int32_t>(bytes), &width, &height, format);
  free(out);
  return 0;
}
