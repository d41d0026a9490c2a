// Overlay picture files: the header check and, for a file it accepts, the scaling into frames of
// every size the input's last bytes choose (ASan sees any byte written outside the picture).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "postproc/effects/bmp_overlay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const LONG width = 1 + ((data[size - 4] | (data[size - 3] << 8)) % 1500);
  const LONG height = 1 + ((data[size - 2] | (data[size - 1] << 8)) % 1200);
  // The loader always reads into a buffer of the whole file's size; a shorter input is a short
  // file, the rest of the buffer holds whatever was there.
  std::vector<uint8_t> file(kvz::kOverlayFileBytes, 0xCD);
  const size_t got = size - 4 < file.size() ? size - 4 : file.size();
  std::copy(data, data + got, file.begin());
  if (kvz::CheckOverlayBitmap(file.data(), static_cast<ULONG>(got)) != 0) return 0;
  std::vector<uint8_t> picture(static_cast<size_t>(width) * height * 5);
  kvz::ScaleOverlayBitmap(file.data(), picture.data(), width, height);
  kvz::CopyScaledPicture(file.data(), picture.data(), width, height);
  return 0;
}
