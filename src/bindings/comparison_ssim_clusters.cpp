// Comparison.ssim and Comparison.clusters.
#include "bindings/classes.hpp"
#include "bindings/params.hpp"
#include "bindings/pytype.hpp"
#include "compose/compose.hpp"
#include "ssim/ssim.hpp"

namespace qf::py {

namespace {

using namespace params;

PyObject* ssim(PyObject* self, NoArgs&) {
  const ImagePair& p = pair_of(self);
  return result_or_null(call_unlocked([&] { return ssim_rgba(p.baseline, p.current, p.canvas_width, p.canvas_height); }),
                        to_py_float);
}

struct ClustersArgs : DiffOptions, ClusterOptions {};
PyObject* clusters(PyObject* self, ClustersArgs& a) {
  if (!check_threshold(a)) return nullptr;
  const ImagePair& p = pair_of(self);
  return result_or_null(call_unlocked([&] { return pair_clusters(p, a, a); }), clusters_result_from);
}

const Entry entries[] = {
    method<"Comparison.ssim", ssim>("Compute SSIM (structural similarity) score."),
    method<"Comparison.clusters", clusters, QF_CLUSTER_PARAMS>(
        "Compute connected-component clusters of differing pixels."),
};

}  // namespace

std::span<const Entry> ssim_cluster_methods() { return entries; }

}  // namespace qf::py
