// Every Python-facing function and method, grouped by the file that implements it, and the module's types.
#pragma once

#include "bindings/python.hpp"
#include "clusters/clusters.hpp"
#include "core/image_pair.hpp"

namespace qf::py {

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The seven classes, created once per process at module initialisation.
extern PyTypeObject* ComparisonType;
extern PyTypeObject* ClustersResultType;
extern PyTypeObject* ClusterType;
extern PyTypeObject* BoundingBoxType;
extern PyTypeObject* RowAlignmentType;
extern PyTypeObject* RowSegmentType;
extern PyTypeObject* ShiftBandType;

PyTypeObject* create_comparison_type();
PyTypeObject* create_clusters_result_type();
PyTypeObject* create_cluster_type();
PyTypeObject* create_bounding_box_type();
PyTypeObject* create_row_alignment_type();
PyTypeObject* create_row_segment_type();
PyTypeObject* create_shift_band_type();

// comparison.cpp: the pair a Comparison owns, and a new Comparison owning `pair`.
const ImagePair& pair_of(PyObject* self);
PyObject* new_comparison(ImagePair pair);

// pixel_methods.cpp
PyObject* comparison_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
PyObject* comparison_diff_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* comparison_diff_count_capped(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* comparison_diff_image(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// ssim_cluster_methods.cpp
PyObject* comparison_ssim(PyObject* self, PyObject* unused);
PyObject* comparison_clusters(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// A ClustersResult holding the list's clusters (lock held), or null with the exception set.
PyObject* clusters_result_from(const ClusterList& list);

// alignment_methods.cpp
PyObject* comparison_row_alignment(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* comparison_aligned_clusters(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* comparison_aligned_diff_image(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* comparison_aligned_ssim(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// thumbnail_batch.cpp
PyObject* comparison_current_thumbnail(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* comparison_baseline_thumbnail(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* comparison_batch(PyObject* unused, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* module_thumbnail(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* module_diff_batch(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* module_diff_count_batch(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* module_ssim_batch(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* module_compare_batch(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace qf::py
