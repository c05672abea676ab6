// Comparison.row_alignment and the three shift-aware methods.
#include "alignment/alignment.hpp"
#include "bindings/alignment_types.hpp"
#include "bindings/args.hpp"
#include "bindings/boundary.hpp"
#include "bindings/entry_points.hpp"
#include "bindings/params.hpp"
#include "bindings/pytype.hpp"
#include "core/options.hpp"

namespace qf::py {

namespace {

struct RowAlignmentArgs : DiffParams {
  double max_edit_ratio = 0.25;
  uint64_t max_edit_rows = 2048;
};
const Field row_alignment_fields[] = {
    QF_FIELD(RowAlignmentArgs, threshold),
    QF_FIELD(RowAlignmentArgs, include_aa),
    QF_FIELD(RowAlignmentArgs, max_edit_ratio),
    QF_FIELD(RowAlignmentArgs, max_edit_rows),
};
const Signature row_alignment_signature{"Comparison.row_alignment", row_alignment_fields, 0};

struct AlignedClustersArgs : DiffParams, ClusterParams {
  AlignmentArg alignment;
};
const Field aligned_clusters_fields[] = {QF_FIELD(AlignedClustersArgs, alignment),
                                         QF_CLUSTER_FIELDS(AlignedClustersArgs)};
const Signature aligned_clusters_signature{"Comparison.aligned_clusters", aligned_clusters_fields, 1};

struct AlignedDiffImageArgs : DiffParams {
  AlignmentArg alignment;
};
const Field aligned_diff_image_fields[] = {QF_FIELD(AlignedDiffImageArgs, alignment),
                                           QF_RENDER_FIELDS(AlignedDiffImageArgs)};
const Signature aligned_diff_image_signature{"Comparison.aligned_diff_image", aligned_diff_image_fields, 1};

struct AlignedSsimArgs {
  AlignmentArg alignment;
};
const Field aligned_ssim_fields[] = {QF_FIELD(AlignedSsimArgs, alignment)};
const Signature aligned_ssim_signature{"Comparison.aligned_ssim", aligned_ssim_fields, 1};

}  // namespace

PyObject* comparison_row_alignment(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const ImagePair& pair = pair_of(self);
  RowAlignmentArgs a;
  if (!parse(row_alignment_signature, args, nargs, kwnames, a)) return nullptr;
  if (!a.check_threshold() || !check_unit(a.max_edit_ratio, EDIT_RATIO_RANGE_MESSAGE)) return nullptr;
  const DiffOptions diff = a.diff_options();
  const AlignOptions align{a.max_edit_ratio, a.max_edit_rows};
  auto record = call_unlocked([&]() -> Result<AlignmentRecord> {
    auto r = align_rows(pair, diff, align);
    if (r && r->aligned) seed_fingerprint(pair, r->pair_fingerprint);
    return r;
  });
  if (!record) return nullptr;
  return row_alignment_from(std::move(*record));
}

PyObject* comparison_aligned_clusters(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const ImagePair& pair = pair_of(self);
  AlignedClustersArgs a;
  if (!parse(aligned_clusters_signature, args, nargs, kwnames, a)) return nullptr;
  if (!a.check_threshold()) return nullptr;
  const DiffOptions diff = a.diff_options();
  const ClusterOptions clusters = a.cluster_options();
  const AlignmentRecord& record = record_of(a.alignment.object);
  auto list = call_unlocked([&] { return aligned_cluster_list(pair, record, diff, clusters); });
  if (!list) return nullptr;
  return clusters_result_from(*list);
}

PyObject* comparison_aligned_diff_image(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const ImagePair& pair = pair_of(self);
  AlignedDiffImageArgs a;
  if (!parse(aligned_diff_image_signature, args, nargs, kwnames, a)) return nullptr;
  if (!a.check_threshold_alpha()) return nullptr;
  const DiffOptions diff = a.diff_options();
  const AlignmentRecord& record = record_of(a.alignment.object);
  auto png = call_unlocked([&] { return aligned_diff_png(pair, record, diff); });
  if (!png) return nullptr;
  return to_py_bytes(*png);
}

PyObject* comparison_aligned_ssim(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const ImagePair& pair = pair_of(self);
  AlignedSsimArgs a;
  if (!parse(aligned_ssim_signature, args, nargs, kwnames, a)) return nullptr;
  const AlignmentRecord& record = record_of(a.alignment.object);
  auto score = call_unlocked([&] { return aligned_ssim_score(pair, record); });
  if (!score) return nullptr;
  return to_py_float(*score);
}

}  // namespace qf::py
