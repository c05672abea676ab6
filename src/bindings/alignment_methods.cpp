#include "bindings/args.hpp"
#include "bindings/entry_points.hpp"
#include "bindings/not_built.hpp"

namespace qf::py {

int convert(PyObject*, AlignmentArg&) {
  PyErr_SetString(PyExc_NotImplementedError, "RowAlignment is not built yet");
  return -1;
}
QF_NOT_BUILT(comparison_row_alignment)
QF_NOT_BUILT(comparison_aligned_clusters)
QF_NOT_BUILT(comparison_aligned_diff_image)
QF_NOT_BUILT(comparison_aligned_ssim)
QF_PLACEHOLDER_TYPE(create_row_alignment_type, "builtins.RowAlignment")
QF_PLACEHOLDER_TYPE(create_row_segment_type, "builtins.RowSegment")
QF_PLACEHOLDER_TYPE(create_shift_band_type, "builtins.ShiftBand")

}  // namespace qf::py
