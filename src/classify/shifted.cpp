#include "classify/shifted.hpp"

#include <cstring>

#include "core/error.hpp"

namespace qf {

Bytes baseline_in_current_rows(const ImagePair& pair, const LayoutRecord& record) {
  const std::size_t w = pair.canvas_width, hc = pair.current_height;
  Bytes out(pair.current.begin(), pair.current.begin() + static_cast<std::ptrdiff_t>(w * hc * 4));
  for (const ColumnRegion& r : record.regions) {
    if (r.x0 > r.x1 || r.x1 > w) throw InternalFault("layout region outside the canvas");
    const std::size_t bytes = (r.x1 - r.x0) * 4;
    for (const SegmentRecord& s : r.segments) {
      if (s.kind != SegmentKind::Equal && s.kind != SegmentKind::Replace) continue;
      if (s.baseline_start + s.len > pair.baseline_height || s.current_start + s.len > hc)
        throw InternalFault("layout segment outside the images");
      for (std::size_t i = 0; i < s.len && bytes > 0; ++i)
        std::memcpy(out.data() + ((s.current_start + i) * w + r.x0) * 4,
                    pair.baseline.data() + ((s.baseline_start + i) * w + r.x0) * 4, bytes);
    }
  }
  return out;
}

}  // namespace qf
