// Comparison.ssim and Comparison.clusters.
#include "bindings/args.hpp"
#include "bindings/boundary.hpp"
#include "bindings/entry_points.hpp"
#include "bindings/not_built.hpp"
#include "clusters/clusters.hpp"
#include "core/options.hpp"
#include "pixeldiff/pixeldiff.hpp"
#include "ssim/ssim.hpp"

namespace qf::py {

PyObject* comparison_ssim(PyObject* self, PyObject*) {
  const ImagePair& pair = pair_of(self);
  auto score = call_unlocked([&] { return ssim_rgba(pair.baseline, pair.current, pair.canvas_width, pair.canvas_height); });
  if (!score) return nullptr;
  return to_py_float(*score);
}

QF_NOT_BUILT(comparison_clusters)

}  // namespace qf::py
