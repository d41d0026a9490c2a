// Quarter, half and three-quarter turns and mirroring of packed YUY2 frames. Stateless; every
// buffer comes from the caller and holds at least width x height x 2 bytes.
#pragma once
#include <wdm.h>

namespace kvz {

// rotation 1: a quarter turn counter-clockwise, 2: a half turn, 3: a quarter turn clockwise; any
// other value copies the source. A quarter turn scales the picture down to fit the same frame
// (aspect kept; nearest neighbour as ResizeImage samples) and fills the rest with black (Y 0, U
// and V 128); it needs a scratch buffer (without one the source is copied) but leaves it as it
// was.
VOID RotateYuy2Frame(UCHAR* destination, const UCHAR* source, UCHAR* scratch, LONG rotation,
                     ULONG width, ULONG height);

// In place: mirror reverses each row, flip reverses the row order. The frame is first copied to
// scratch; a null scratch does nothing.
VOID MirrorFlipYuy2Frame(UCHAR* frame, UCHAR* scratch, LONG mirror, LONG flip, ULONG width,
                         ULONG height);

}  // namespace kvz
