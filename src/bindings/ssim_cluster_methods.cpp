// Comparison.ssim and Comparison.clusters.
#include "bindings/args.hpp"
#include "bindings/boundary.hpp"
#include "bindings/entry_points.hpp"
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

struct ClustersArgs {
  double threshold = 0.1;
  bool include_aa = false;
  uint64_t min_pixels = 16;
  uint64_t min_side = 0;
  uint64_t dilation = 4;
  std::optional<uint64_t> max_clusters;
  uint64_t merge_gap = 0;
  double merge_overlap = 0.5;
};
const Field clusters_fields[] = {
    QF_FIELD(ClustersArgs, threshold),  QF_FIELD(ClustersArgs, include_aa),   QF_FIELD(ClustersArgs, min_pixels),
    QF_FIELD(ClustersArgs, min_side),   QF_FIELD(ClustersArgs, dilation),     QF_FIELD(ClustersArgs, max_clusters),
    QF_FIELD(ClustersArgs, merge_gap),  QF_FIELD(ClustersArgs, merge_overlap),
};
const Signature clusters_signature{"Comparison.clusters", clusters_fields, 0};

}  // namespace

PyObject* comparison_clusters(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const ImagePair& pair = pair_of(self);
  ClustersArgs a;
  if (!parse(clusters_signature, args, nargs, kwnames, a)) return nullptr;
  if (!check_unit(a.threshold, THRESHOLD_RANGE_MESSAGE)) return nullptr;
  DiffOptions diff;
  diff.threshold = a.threshold;
  diff.include_aa = a.include_aa;
  ClusterOptions options;
  options.min_pixels = a.min_pixels;
  options.min_side = a.min_side;
  options.dilation = a.dilation;
  options.max_clusters = a.max_clusters;
  options.merge_gap = a.merge_gap;
  options.merge_overlap = a.merge_overlap;
  auto list = call_unlocked([&]() -> Result<ClusterList> {
    auto mask = build_diff_mask(pair.baseline, pair.current, pair.canvas_width, pair.canvas_height, diff);
    if (!mask) return std::move(mask).error();
    return cluster_mask(mask->bits, pair.canvas_width, pair.canvas_height, options);
  });
  if (!list) return nullptr;
  return clusters_result_from(*list);
}

}  // namespace qf::py
