// The baseline seen through a layout's shifts, so that the changes of a pair that also shifted can be classified
// where the current image has them.
#pragma once

#include "core/image_pair.hpp"
#include "core/types.hpp"
#include "layout/layout.hpp"

namespace qf {

// Canvas width × current height RGBA: in each column region, the current rows paired with baseline rows (equal
// or replaced) hold those baseline rows, and inserted rows hold the current image's own rows (they are the shift,
// not a change). Compared with the current image, only the residual differs.
Bytes baseline_in_current_rows(const ImagePair& pair, const LayoutRecord& record);

}  // namespace qf
