// Comparison.row_alignment and the three shift-aware methods.
#include "alignment/alignment.hpp"
#include "bindings/classes.hpp"
#include "bindings/params.hpp"
#include "bindings/pytype.hpp"

namespace qf::py {

namespace {

using namespace params;

struct RowAlignmentArgs : DiffOptions, AlignOptions {};
PyObject* row_alignment(PyObject* self, RowAlignmentArgs& a) {
  if (!check_threshold(a) || !check_unit(a.max_edit_ratio, EDIT_RATIO_RANGE_MESSAGE)) return nullptr;
  const ImagePair& pair = pair_of(self);
  auto record = call_unlocked([&]() -> Result<AlignmentRecord> {
    auto r = align_rows(pair, a, a);
    if (r && r->aligned) seed_fingerprint(pair, r->pair_fingerprint);
    return r;
  }, WATCHED);
  if (!record) return nullptr;
  return row_alignment_from(std::move(*record));
}

struct AlignmentParam {
  AlignmentArg alignment;
  const AlignmentRecord& record() const { return record_of(alignment.object); }
};
constexpr auto alignment = QF_REQUIRED(AlignmentParam, alignment);

struct AlignedClustersArgs : AlignmentParam, DiffOptions, ClusterOptions {};
PyObject* aligned_clusters(PyObject* self, AlignedClustersArgs& a) {
  if (!check_threshold(a)) return nullptr;
  const ImagePair& pair = pair_of(self);
  return result_or_null(call_unlocked([&] { return aligned_cluster_list(pair, a.record(), a, a); }),
                        clusters_result_from);
}

struct AlignedDiffImageArgs : AlignmentParam, DiffOptions {};
PyObject* aligned_diff_image(PyObject* self, AlignedDiffImageArgs& a) {
  if (!check_threshold_alpha(a)) return nullptr;
  const ImagePair& pair = pair_of(self);
  return result_or_null(call_unlocked([&] { return aligned_diff_png(pair, a.record(), a); }), take_bytes);
}

struct AlignedSsimArgs : AlignmentParam {};
PyObject* aligned_ssim(PyObject* self, AlignedSsimArgs& a) {
  const ImagePair& pair = pair_of(self);
  return result_or_null(call_unlocked([&] { return aligned_ssim_score(pair, a.record()); }), to_py_float);
}

const Entry entries[] = {
    method<"Comparison.row_alignment", row_alignment, threshold, include_aa, max_edit_ratio, max_edit_rows>(
        "Align the rows of the two images to tell a vertical shift from real changes.\n\n"
        "`aligned` is False when the pair could not be aligned \xe2\x80\x94 the edit budget\n"
        "was exceeded, or the widths differ, since alignment is vertical only.\n"
        "Every other field is then zero or empty."),
    method<"Comparison.aligned_clusters", aligned_clusters, alignment, QF_CLUSTER_PARAMS>(
        "Cluster the changed content, ignoring the shifted rows.\n\n"
        "The mask holds the changed content only, drawn like `aligned_diff_image`.\n"
        "The shift bands are the other half of the answer: read `alignment.bands`\n"
        "to decide whether to absorb a shift or flag it. Raises if the alignment\n"
        "failed or came from another image pair."),
    method<"Comparison.aligned_diff_image", aligned_diff_image, alignment, QF_RENDER_PARAMS>(
        "Generate the shift-aware diff image as PNG bytes, in current-image coordinates."),
    method<"Comparison.aligned_ssim", aligned_ssim, alignment>(
        "Compute SSIM over the matched rows only, so a shift does not lower the score."),
};

}  // namespace

std::span<const Entry> alignment_methods() { return entries; }

}  // namespace qf::py
