// The cluster result classes: ClustersResult, Cluster and BoundingBox. Each owns a copy of its data; a Cluster
// holds its BoundingBox object and a ClustersResult its Cluster objects, so repeated reads return the same ones.
#include <charconv>
#include <string>
#include <utility>
#include <vector>

#include "bindings/classes.hpp"
#include "bindings/pytype.hpp"

namespace qf::py {

namespace {

struct BoxValue {
  std::size_t x, y, width, height;
};

struct ClusterValue {
  std::size_t pixel_count;
  double centroid_x, centroid_y;
  std::size_t merged_from;
  Ref bbox;
};

struct ClustersValue {
  std::vector<Ref> clusters;
  std::size_t total_clusters;
  bool truncated;
};

// One digit after the point, rounded from the exact binary value with ties to even, whatever the C locale.
std::string one_decimal(double v) {
  char buf[400];
  auto end = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 1).ptr;
  return std::string(buf, end);
}

PyObject* bbox_repr(PyObject* self) {
  const BoxValue& b = unbox<BoxValue>(self);
  std::string text = "BoundingBox(x=" + std::to_string(b.x) + ", y=" + std::to_string(b.y) +
                     ", width=" + std::to_string(b.width) + ", height=" + std::to_string(b.height) + ")";
  return PyUnicode_FromString(text.c_str());
}

PyObject* cluster_bbox(PyObject* self, void*) { return unbox<ClusterValue>(self).bbox.new_ref(); }
PyObject* cluster_centroid(PyObject* self, void*) {
  const ClusterValue& c = unbox<ClusterValue>(self);
  return Py_BuildValue("(dd)", c.centroid_x, c.centroid_y);
}
PyObject* cluster_repr(PyObject* self) {
  const ClusterValue& c = unbox<ClusterValue>(self);
  std::string text = "Cluster(pixel_count=" + std::to_string(c.pixel_count) + ", centroid=(" +
                     one_decimal(c.centroid_x) + ", " + one_decimal(c.centroid_y) +
                     "), merged_from=" + std::to_string(c.merged_from) + ")";
  return PyUnicode_FromString(text.c_str());
}

PyObject* result_clusters(PyObject* self, void*) { return new_list(unbox<ClustersValue>(self).clusters); }
Py_ssize_t result_length(PyObject* self) { return static_cast<Py_ssize_t>(unbox<ClustersValue>(self).clusters.size()); }
PyObject* result_repr(PyObject* self) {
  const ClustersValue& r = unbox<ClustersValue>(self);
  std::string text = "ClustersResult(" + std::to_string(r.clusters.size());
  if (r.truncated) text += " of " + std::to_string(r.total_clusters) + ", truncated";
  text += ")";
  return PyUnicode_FromString(text.c_str());
}

PyGetSetDef bbox_getset[] = {QF_GETTER(BoxValue, x), QF_GETTER(BoxValue, y), QF_GETTER(BoxValue, width),
                             QF_GETTER(BoxValue, height), QF_GETSET_END};
PyGetSetDef cluster_getset[] = {QF_GETTER(ClusterValue, pixel_count), QF_CUSTOM_GETTER("bbox", cluster_bbox),
                                QF_CUSTOM_GETTER("centroid", cluster_centroid),
                                QF_GETTER(ClusterValue, merged_from), QF_GETSET_END};
PyGetSetDef result_getset[] = {QF_CUSTOM_GETTER("clusters", result_clusters), QF_GETTER(ClustersValue, truncated),
                               QF_GETTER(ClustersValue, total_clusters), QF_GETSET_END};

}  // namespace

PyTypeObject* create_bounding_box_type() {
  return result_type<BoxValue, bbox_repr>("builtins.BoundingBox", bbox_getset);
}
PyTypeObject* create_cluster_type() {
  return result_type<ClusterValue, cluster_repr>("builtins.Cluster", cluster_getset);
}
PyTypeObject* create_clusters_result_type() {
  return result_type<ClustersValue, result_repr>("builtins.ClustersResult", result_getset, result_length);
}

PyObject* clusters_result_from(const ClusterList& list) {
  ClustersValue value{{}, list.total_clusters, list.truncated};
  value.clusters.reserve(list.clusters.size());
  for (const ClusterRecord& r : list.clusters) {
    Ref bbox(box(BoundingBoxType, BoxValue{r.x, r.y, r.width, r.height}));
    if (!bbox.get()) return nullptr;
    Ref cluster(box(ClusterType, ClusterValue{r.pixel_count, r.centroid_x, r.centroid_y, r.merged_from, std::move(bbox)}));
    if (!cluster.get()) return nullptr;
    value.clusters.push_back(std::move(cluster));
  }
  return box(ClustersResultType, std::move(value));
}

}  // namespace qf::py
