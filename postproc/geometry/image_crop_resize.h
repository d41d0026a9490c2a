// Nearest-neighbour resize and window crop of packed YUY2, I420 and RGB24 frames. Pure
// functions: no state, no allocation; the caller provides both buffers at full size.
#pragma once
#include <wdm.h>

#include "primitives/pixel_layout.h"

namespace kvz {

// layout: kPixelI420, kPixelYuy2, anything else means RGB24. Positions advance in 10-bit
// fixed point. I420 chroma planes are floor(w / 2) x floor(h / 2), so odd sizes keep their
// planes inside w x h x 3 / 2 bytes. Sizes that cannot be sampled (not positive, a YUY2 source
// narrower than one pixel pair) leave the destination untouched and give
// STATUS_INVALID_PARAMETER.
NTSTATUS ResizeImage(const UCHAR* source, UCHAR* destination, LONG sourceWidth, LONG sourceHeight,
                     LONG destinationWidth, LONG destinationHeight, PixelLayout layout);

// Copies the cropWidth x cropHeight window whose top-left pixel is (x, y) into a destination
// packed at the window's size. RGB24 frames are stored bottom-up. A window that does not lie
// inside the source copies nothing and gives STATUS_INVALID_PARAMETER.
NTSTATUS CropImage(const UCHAR* source, UCHAR* destination, LONG sourceWidth, LONG sourceHeight,
                   LONG cropWidth, LONG cropHeight, LONG x, LONG y, PixelLayout layout);

}  // namespace kvz
