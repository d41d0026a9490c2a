// The decoder object the capture stream's converter and the face-detection worker hold, the
// decode entry, and the small RGB24 helpers of the same unit.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "jpeg/jpeg_decoder.h"

namespace kvz::jpeg {

class JpegDecoderBase {
 public:
  JpegDecoderBase();
  virtual ~JpegDecoderBase() = default;
  virtual int32_t Decode(const uint8_t* data, int32_t length, uint8_t* out, int32_t outSize, int32_t* width,
                         int32_t* height, int32_t format) = 0;

  // A decoder lives in pool memory: PoolNew and PoolDelete (primitives/pool_object.h) under
  // kDecoderPoolTag build and free it, never new and delete.

 protected:
  uint32_t vendorCode_;
};

class MjpegDecoder final : public JpegDecoderBase {
 public:
  // Selects the primitive build (once per driver load) and installs the standard Huffman
  // tables; without memory for them, frames must carry their own tables.
  MjpegDecoder();
  ~MjpegDecoder() override;
  MjpegDecoder(const MjpegDecoder&) = delete;
  MjpegDecoder& operator=(const MjpegDecoder&) = delete;

  // 0 success, 1 failure; width and height are written whenever the header could be read.
  int32_t Decode(const uint8_t* data, int32_t length, uint8_t* out, int32_t outSize, int32_t* width,
                 int32_t* height, int32_t format) override;

 private:
  JpegDecoder state_;
};

// The bytes a decoded frame occupies in each format: BGR24 3 x w x h; YUY2 2 x w x h;
// I420 w x h plus two planes of ceil(w / 2) x ceil(h / 2). -1 outside 1..65535.
int64_t JpegOutputSize(int32_t format, int32_t width, int32_t height);

// Decodes one frame into out, which must hold exactly JpegOutputSize bytes. On failure after
// the header was read, what was decoded before the failure stays in out. 0 success, 1 failure.
int32_t JpegDecodeFrame(int32_t length, const uint8_t* data, uint8_t* out, int32_t outSize, int32_t* width,
                        int32_t* height, int32_t format, uint32_t vendorCode, JpegDecoder* state);

// Bottom-up BGR24 (rows of 3 x width bytes) to I420 in out; rgb is changed in place.
void ConvertRgb24ToI420(uint8_t* rgb, uint8_t* out, int32_t width, int32_t height);
// Mode 0 both axes, 1 left to right, 2 upside down; any other mode does nothing.
void FlipRgb24Image(uint8_t* image, int32_t width, int32_t height, int32_t mode);

}  // namespace kvz::jpeg
