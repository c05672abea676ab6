// Comparison.row_alignment and the three shift-aware methods.
#include "alignment/alignment.hpp"
#include "bindings/alignment_types.hpp"
#include "bindings/args.hpp"
#include "bindings/boundary.hpp"
#include "bindings/entry_points.hpp"
#include "bindings/pytype.hpp"
#include "core/options.hpp"

namespace qf::py {

namespace {

struct RowAlignmentArgs {
  double threshold = 0.1;
  bool include_aa = false;
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

struct AlignedClustersArgs {
  AlignmentArg alignment;
  double threshold = 0.1;
  bool include_aa = false;
  uint64_t min_pixels = 16;
  uint64_t min_side = 0;
  uint64_t dilation = 4;
  std::optional<uint64_t> max_clusters;
  uint64_t merge_gap = 0;
  double merge_overlap = 0.5;
};
const Field aligned_clusters_fields[] = {
    QF_FIELD(AlignedClustersArgs, alignment),  QF_FIELD(AlignedClustersArgs, threshold),
    QF_FIELD(AlignedClustersArgs, include_aa), QF_FIELD(AlignedClustersArgs, min_pixels),
    QF_FIELD(AlignedClustersArgs, min_side),   QF_FIELD(AlignedClustersArgs, dilation),
    QF_FIELD(AlignedClustersArgs, max_clusters), QF_FIELD(AlignedClustersArgs, merge_gap),
    QF_FIELD(AlignedClustersArgs, merge_overlap),
};
const Signature aligned_clusters_signature{"Comparison.aligned_clusters", aligned_clusters_fields, 1};

struct AlignedDiffImageArgs {
  AlignmentArg alignment;
  double threshold = 0.1;
  double alpha = 0.1;
  bool include_aa = false;
  Rgb diff_color{255, 0, 0};
  Rgb aa_color{255, 255, 0};
  std::optional<Rgb> diff_color_alt;
};
const Field aligned_diff_image_fields[] = {
    QF_FIELD(AlignedDiffImageArgs, alignment), QF_FIELD(AlignedDiffImageArgs, threshold),
    QF_FIELD(AlignedDiffImageArgs, alpha),     QF_FIELD(AlignedDiffImageArgs, include_aa),
    QF_FIELD(AlignedDiffImageArgs, diff_color), QF_FIELD(AlignedDiffImageArgs, aa_color),
    QF_FIELD(AlignedDiffImageArgs, diff_color_alt),
};
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
  if (!check_unit(a.threshold, THRESHOLD_RANGE_MESSAGE) || !check_unit(a.max_edit_ratio, EDIT_RATIO_RANGE_MESSAGE))
    return nullptr;
  DiffOptions diff;
  diff.threshold = a.threshold;
  diff.include_aa = a.include_aa;
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
  if (!check_unit(a.threshold, THRESHOLD_RANGE_MESSAGE)) return nullptr;
  DiffOptions diff;
  diff.threshold = a.threshold;
  diff.include_aa = a.include_aa;
  ClusterOptions clusters;
  clusters.min_pixels = a.min_pixels;
  clusters.min_side = a.min_side;
  clusters.dilation = a.dilation;
  clusters.max_clusters = a.max_clusters;
  clusters.merge_gap = a.merge_gap;
  clusters.merge_overlap = a.merge_overlap;
  const AlignmentRecord& record = record_of(a.alignment.object);
  auto list = call_unlocked([&] { return aligned_cluster_list(pair, record, diff, clusters); });
  if (!list) return nullptr;
  return clusters_result_from(*list);
}

PyObject* comparison_aligned_diff_image(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const ImagePair& pair = pair_of(self);
  AlignedDiffImageArgs a;
  if (!parse(aligned_diff_image_signature, args, nargs, kwnames, a)) return nullptr;
  if (!check_unit(a.threshold, THRESHOLD_RANGE_MESSAGE) || !check_unit(a.alpha, ALPHA_RANGE_MESSAGE)) return nullptr;
  DiffOptions diff{a.threshold, a.alpha, a.diff_color, a.aa_color, a.diff_color_alt, a.include_aa};
  const AlignmentRecord& record = record_of(a.alignment.object);
  auto png = call_unlocked([&] { return aligned_diff_png(pair, record, diff); });
  if (!png) return nullptr;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(png->data()), static_cast<Py_ssize_t>(png->size()));
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
