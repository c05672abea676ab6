#include "bindings/entry_points.hpp"
#include "bindings/not_built.hpp"

namespace qf::py {

PyObject* comparison_ssim(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "ssim is not built yet");
  return nullptr;
}
QF_NOT_BUILT(comparison_clusters)
PyObject* clusters_result_from(const ClusterList&) {
  PyErr_SetString(PyExc_NotImplementedError, "ClustersResult is not built yet");
  return nullptr;
}
QF_PLACEHOLDER_TYPE(create_clusters_result_type, "builtins.ClustersResult")
QF_PLACEHOLDER_TYPE(create_cluster_type, "builtins.Cluster")
QF_PLACEHOLDER_TYPE(create_bounding_box_type, "builtins.BoundingBox")

}  // namespace qf::py
