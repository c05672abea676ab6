// Comparison.diff_count, diff_count_capped and diff_image.
#include "bindings/classes.hpp"
#include "bindings/params.hpp"
#include "bindings/pytype.hpp"
#include "compose/compose.hpp"
#include "pixeldiff/pixeldiff.hpp"

namespace qf::py {

namespace {

using namespace params;

PyObject* count(const ImagePair& p, const DiffOptions& options, std::optional<uint64_t> cap) {
  return result_or_null(call_unlocked([&] {
    return count_diffs(p.baseline, p.current, p.canvas_width, p.canvas_height, options, cap);
  }), to_py);
}

struct CountArgs : DiffOptions {};
PyObject* diff_count(PyObject* self, CountArgs& a) {
  if (!check_threshold(a)) return nullptr;
  return count(pair_of(self), a, std::nullopt);
}

struct CappedArgs : DiffOptions {
  uint64_t max_diffs = 0;
};
constexpr auto max_diffs = QF_REQUIRED(CappedArgs, max_diffs);
PyObject* diff_count_capped(PyObject* self, CappedArgs& a) {
  if (!check_threshold(a)) return nullptr;
  if (a.max_diffs == 0) return to_py(0);
  return count(pair_of(self), a, a.max_diffs);
}

struct ImageArgs : DiffOptions {};
PyObject* diff_image(PyObject* self, ImageArgs& a) {
  if (!check_threshold_alpha(a)) return nullptr;
  const ImagePair& p = pair_of(self);
  return result_or_null(call_unlocked([&] { return diff_png(p, a); }), [](DiffPng& d) { return take_bytes(d.png); });
}

const Entry entries[] = {
    method<"Comparison.diff_count", diff_count, threshold, include_aa>("Count differing pixels."),
    method<"Comparison.diff_count_capped", diff_count_capped, max_diffs, threshold, include_aa>(
        "Count differing pixels with early exit."),
    method<"Comparison.diff_image", diff_image, QF_RENDER_PARAMS>("Generate the diff image as PNG bytes."),
};

}  // namespace

std::span<const Entry> pixel_methods() { return entries; }

}  // namespace qf::py
