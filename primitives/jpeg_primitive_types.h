// Opaque state and table types of the JPEG primitives as the dispatch entries pass them; the
// JPEG primitives define them. Callers size them with the Get...Size entries.
#pragma once

namespace kvz::prim {

struct HuffmanDecodeTable;
struct HuffmanDecodeState;
struct HuffmanEncodeTable;
struct HuffmanEncodeState;

}  // namespace kvz::prim
