// Comparison.ssim and Comparison.clusters.
#include "bindings/args.hpp"
#include "bindings/boundary.hpp"
#include "bindings/entry_points.hpp"
#include "bindings/params.hpp"
#include "bindings/pytype.hpp"
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

namespace {

struct ClustersArgs : DiffParams, ClusterParams {};
const Field clusters_fields[] = {QF_CLUSTER_FIELDS(ClustersArgs)};
const Signature clusters_signature{"Comparison.clusters", clusters_fields, 0};

}  // namespace

PyObject* comparison_clusters(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const ImagePair& pair = pair_of(self);
  ClustersArgs a;
  if (!parse(clusters_signature, args, nargs, kwnames, a)) return nullptr;
  if (!a.check_threshold()) return nullptr;
  const DiffOptions diff = a.diff_options();
  const ClusterOptions options = a.cluster_options();
  auto list = call_unlocked([&]() -> Result<ClusterList> {
    auto mask = build_diff_mask(pair.baseline, pair.current, pair.canvas_width, pair.canvas_height, diff);
    if (!mask) return std::move(mask).error();
    return cluster_mask(mask->bits, pair.canvas_width, pair.canvas_height, options);
  });
  if (!list) return nullptr;
  return clusters_result_from(*list);
}

}  // namespace qf::py
