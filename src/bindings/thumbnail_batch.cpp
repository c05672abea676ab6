#include "bindings/entry_points.hpp"
#include "bindings/not_built.hpp"

namespace qf::py {

QF_NOT_BUILT(comparison_current_thumbnail)
QF_NOT_BUILT(comparison_baseline_thumbnail)
QF_NOT_BUILT(comparison_batch)
QF_NOT_BUILT(module_thumbnail)
QF_NOT_BUILT(module_diff_batch)
QF_NOT_BUILT(module_diff_count_batch)
QF_NOT_BUILT(module_ssim_batch)
QF_NOT_BUILT(module_compare_batch)

}  // namespace qf::py
