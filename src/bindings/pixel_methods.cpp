#include "bindings/entry_points.hpp"
#include "bindings/not_built.hpp"

namespace qf::py {

PyObject* comparison_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "Comparison(baseline_png, current_png) is not built yet");
  return nullptr;
}
QF_NOT_BUILT(comparison_diff_count)
QF_NOT_BUILT(comparison_diff_count_capped)
QF_NOT_BUILT(comparison_diff_image)

}  // namespace qf::py
