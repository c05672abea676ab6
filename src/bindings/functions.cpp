// The module functions: thumbnail and the four batch functions. Each converts its arguments, range-checks them,
// runs the work with the interpreter lock released and builds the Python result afterwards.
#include "batch/batch.hpp"
#include "bindings/classes.hpp"
#include "bindings/params.hpp"
#include "bindings/pytype.hpp"
#include "compose/compose.hpp"

namespace qf::py {

namespace {

using namespace params;

struct ThumbnailArgs : ThumbnailRequest {
  BytesArg png_bytes;
};
constexpr auto png_bytes = QF_REQUIRED(ThumbnailArgs, png_bytes);
PyObject* thumbnail(PyObject*, ThumbnailArgs& a) {
  return result_or_null(call_unlocked([&] { return png_thumbnail(a.png_bytes.view(), a); }), take_bytes);
}

struct DiffBatchArgs : PairsParam, DiffOptions {};
PyObject* diff_batch(PyObject*, DiffBatchArgs& a) {
  if (!check_threshold_alpha(a)) return nullptr;
  auto elements = call_unlocked([&] { return qf::diff_batch(a.pairs.pairs, a); }, WATCHED);
  if (!elements) return nullptr;
  return build_list(*elements, [](DiffElement& e) -> PyObject* {
    PyObject* png = take_bytes(e.png);
    if (!png) return nullptr;
    return Py_BuildValue("(NKKK)", png, (unsigned long long)e.count, (unsigned long long)e.width,
                         (unsigned long long)e.height);
  });
}

struct DiffCountBatchArgs : PairsParam, DiffOptions {};
PyObject* diff_count_batch(PyObject*, DiffCountBatchArgs& a) {
  if (!check_threshold(a)) return nullptr;
  auto elements = call_unlocked([&] { return qf::diff_count_batch(a.pairs.pairs, a); }, WATCHED);
  if (!elements) return nullptr;
  return build_list(*elements, [](CountElement& e) {
    return Py_BuildValue("(KKK)", (unsigned long long)e.count, (unsigned long long)e.width,
                         (unsigned long long)e.height);
  });
}

PyObject* ssim_batch(PyObject*, PairsParam& a) {
  auto scores = call_unlocked([&] { return qf::ssim_batch(a.pairs.pairs); }, WATCHED);
  if (!scores) return nullptr;
  return build_list(*scores, to_py_float);
}

struct CompareBatchArgs : PairsParam, CompareOptions {};
constexpr auto return_diff = QF_PARAM(CompareOptions, return_diff);
constexpr auto thumbnail_width = QF_PARAM(CompareOptions, thumbnail_width);
constexpr auto thumbnail_height = QF_PARAM(CompareOptions, thumbnail_height);
PyObject* compare_batch(PyObject*, CompareBatchArgs& a) {
  if (!check_threshold_alpha(a)) return nullptr;
  auto elements = call_unlocked([&] { return qf::compare_batch(a.pairs.pairs, a); }, WATCHED);
  if (!elements) return nullptr;
  return build_list(*elements, [](CompareElement& e) -> PyObject* {
    PyObject* png = take_optional_bytes(e.diff_png);
    if (!png) return nullptr;
    PyObject* thumbnail = take_optional_bytes(e.thumbnail);
    if (!thumbnail) {
      Py_DECREF(png);
      return nullptr;
    }
    return Py_BuildValue("(KdKKNN)", (unsigned long long)e.count, e.ssim, (unsigned long long)e.width,
                         (unsigned long long)e.height, png, thumbnail);
  });
}

const Entry entries[] = {
    function<"thumbnail", thumbnail, png_bytes, width, height>(
        "Create a lossless WebP thumbnail from a PNG image.\n\n"
        "Scales down to `width`, preserving aspect ratio. If `height` is set,\ncrops from the top after resizing "
        "\xe2\x80\x94 useful for fixed-size grid cells.\nImages already within bounds are re-encoded without "
        "resizing."),
    function<"diff_batch", diff_batch, pairs, QF_RENDER_PARAMS>("Diff multiple image pairs in parallel."),
    function<"diff_count_batch", diff_count_batch, pairs, threshold, include_aa>(
        "Count mismatched pixels for multiple image pairs in parallel."),
    function<"ssim_batch", ssim_batch, pairs>("Compute SSIM for multiple image pairs in parallel."),
    function<"compare_batch", compare_batch, pairs, QF_RENDER_PARAMS, return_diff, thumbnail_width,
             thumbnail_height>(
        "Compare multiple image pairs in parallel (diff count + SSIM per pair).\n\n"
        "Batch version of `compare()`. Set `thumbnail_width` to generate a\nthumbnail per pair."),
};

}  // namespace

std::span<const Entry> module_functions() { return entries; }

}  // namespace qf::py
