#include "postproc/geometry/frame_rotation.h"

#include <string.h>

#include "postproc/base/frame_format.h"
#include "primitives/dispatch.h"

namespace kvz {

VOID RotateYuy2Frame(UCHAR* destination, const UCHAR* source, UCHAR* scratch, LONG rotation,
                     ULONG width, ULONG height) {
  if (!destination || !source || width == 0 || height == 0) return;
  const SIZE_T pixels = static_cast<SIZE_T>(width) * height;
  if (rotation == 2) {
    prim::TurnYuy2Half(destination, source, pixels);
  } else if ((rotation == 1 || rotation == 3) && scratch && width <= 65535 && height <= 65535) {
    prim::TurnYuy2Quarter(destination, source, rotation, width, height);
  } else {
    memcpy(destination, source, pixels * 2);
  }
}

VOID MirrorFlipYuy2Frame(UCHAR* frame, UCHAR* scratch, LONG mirror, LONG flip, ULONG width,
                         ULONG height) {
  if (!frame || !scratch || width == 0 || height == 0) return;
  if (!mirror && !flip) return;
  prim::MirrorFlipYuy2(frame, scratch, mirror, flip, width, height);
}

}  // namespace kvz
