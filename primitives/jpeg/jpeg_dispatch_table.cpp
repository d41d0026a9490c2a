#include "primitives/jpeg/jpeg_dispatch_table.h"

#include "primitives/jpeg/down_sampling.h"
#include "primitives/jpeg/forward_colour.h"
#include "primitives/jpeg/forward_dct.h"
#include "primitives/jpeg/forward_quant_table.h"
#include "primitives/jpeg/huffman_decode.h"
#include "primitives/jpeg/huffman_encode.h"
#include "primitives/jpeg/inverse_colour.h"
#include "primitives/jpeg/inverse_dct.h"
#include "primitives/jpeg/lossless_predict.h"
#include "primitives/jpeg/upsample.h"
#include "primitives/jpeg/yuy2_pack.h"
#include "primitives/jpeg/zigzag.h"

namespace kvz::prim {

#define KVZ_JPEG_ROW(group, owner, sharing, Ret, name, params, args) \
  KVZ_DISPATCH_WHEN(owner, JPEG, KVZ_DISPATCH_ROW_##sharing(name))

const JpegDispatchGroups JpegDispatchTable = {
    KVZ_DISPATCH_GROUPS(KVZ_JPEG_ROW)
};

}  // namespace kvz::prim
