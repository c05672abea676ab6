// The module's classes: their type objects (created once, at the first initialisation), the method groups of
// Comparison and the module functions, each defined beside its code, and the builders of the result objects.
#pragma once

#include <span>

#include "alignment/alignment.hpp"
#include "bindings/entry.hpp"
#include "bindings/python.hpp"
#include "clusters/clusters.hpp"
#include "core/image_pair.hpp"

namespace qf::py {

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

// Comparison (comparison.cpp): the pair an instance owns, and a new instance owning `pair`.
const ImagePair& pair_of(PyObject* self);
PyObject* new_comparison(ImagePair pair);

// The method groups of Comparison, in the order of its method table, and the module functions.
std::span<const Entry> pixel_methods();          // comparison_pixel.cpp
std::span<const Entry> ssim_cluster_methods();   // comparison_ssim_clusters.cpp
std::span<const Entry> alignment_methods();      // comparison_alignment.cpp
std::span<const Entry> thumbnail_methods();      // comparison_thumbnails.cpp
std::span<const Entry> module_functions();       // functions.cpp

// Result objects, built with the lock held; null with the exception set.
PyObject* clusters_result_from(const ClusterList& list);  // cluster_types.cpp
PyObject* row_alignment_from(AlignmentRecord record);    // alignment_types.cpp
// The record inside a RowAlignment; valid while the object lives, and never changed, so readable unlocked.
const AlignmentRecord& record_of(PyObject* row_alignment);

// A RowAlignment argument (borrowed; the caller holds it for the call).
struct AlignmentArg {
  PyObject* object = nullptr;
};
int convert(PyObject* o, AlignmentArg& out);

}  // namespace qf::py
