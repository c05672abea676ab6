// The thumbnail entry points and the batch functions. Each converts its arguments, range-checks them, runs the
// work with the interpreter lock released and builds the Python result afterwards.
#include <cstring>

#include "batch/batch.hpp"
#include "bindings/args.hpp"
#include "bindings/boundary.hpp"
#include "bindings/entry_points.hpp"
#include "bindings/params.hpp"
#include "bindings/pytype.hpp"
#include "core/options.hpp"
#include "image_io/png.hpp"
#include "image_io/thumbnail.hpp"

namespace qf::py {

namespace {

// Moves the bytes into a new Python bytes object and frees the C++ buffer at once, so that a batch's results
// are not held twice while its list is built.
PyObject* take_bytes(Bytes& data) {
  PyObject* out = to_py_bytes(data);
  Bytes().swap(data);
  return out;
}

PyObject* take_optional_bytes(std::optional<Bytes>& data) {
  if (!data) Py_RETURN_NONE;
  return take_bytes(*data);
}

// A list of conv(element) for every element, or null with the exception set.
template <class T, class Conv>
PyObject* build_list(std::vector<T>& elements, Conv conv) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(elements.size()));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < elements.size(); ++i) {
    PyObject* item = conv(elements[i]);
    if (!item) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list;
}

// --- thumbnails -----------------------------------------------------------------------------------------

struct ThumbnailArgs {
  BytesArg png_bytes;
  uint64_t width = 200;
  std::optional<uint64_t> height;
};
const Field thumbnail_fields[] = {QF_FIELD(ThumbnailArgs, png_bytes), QF_FIELD(ThumbnailArgs, width),
                                  QF_FIELD(ThumbnailArgs, height)};
const Signature thumbnail_signature{"thumbnail", thumbnail_fields, 1};

struct ComparisonThumbnailArgs {
  uint64_t width = 200;
  std::optional<uint64_t> height;
  std::optional<uint64_t> min_width;
  std::optional<uint64_t> min_height;
};
const Field comparison_thumbnail_fields[] = {
    QF_FIELD(ComparisonThumbnailArgs, width), QF_FIELD(ComparisonThumbnailArgs, height),
    QF_FIELD(ComparisonThumbnailArgs, min_width), QF_FIELD(ComparisonThumbnailArgs, min_height)};
const Signature current_thumbnail_signature{"Comparison.current_thumbnail", comparison_thumbnail_fields, 0};
const Signature baseline_thumbnail_signature{"Comparison.baseline_thumbnail", comparison_thumbnail_fields, 0};

ThumbnailRequest request_of(const ComparisonThumbnailArgs& a) {
  return ThumbnailRequest{a.width, a.height, a.min_width, a.min_height};
}

PyObject* thumbnail_of(const ImagePair& pair, bool current, const ComparisonThumbnailArgs& a) {
  auto webp = call_unlocked([&] {
    // The current image at its own size; the baseline at canvas size, padding included.
    if (current) return make_thumbnail(pair.current_own(), pair.current_width, pair.current_height, request_of(a));
    return make_thumbnail(pair.baseline, pair.canvas_width, pair.canvas_height, request_of(a));
  });
  if (!webp) return nullptr;
  return take_bytes(*webp);
}

// --- batch arguments ------------------------------------------------------------------------------------

struct DiffBatchArgs : DiffParams {
  PairsArg pairs;
};
const Field diff_batch_fields[] = {QF_FIELD(DiffBatchArgs, pairs), QF_RENDER_FIELDS(DiffBatchArgs)};
const Signature diff_batch_signature{"diff_batch", diff_batch_fields, 1};

struct DiffCountBatchArgs : DiffParams {
  PairsArg pairs;
};
const Field diff_count_batch_fields[] = {QF_FIELD(DiffCountBatchArgs, pairs), QF_FIELD(DiffCountBatchArgs, threshold),
                                         QF_FIELD(DiffCountBatchArgs, include_aa)};
const Signature diff_count_batch_signature{"diff_count_batch", diff_count_batch_fields, 1};

struct PairsOnlyArgs {
  PairsArg pairs;
};
const Field pairs_only_fields[] = {QF_FIELD(PairsOnlyArgs, pairs)};
const Signature ssim_batch_signature{"ssim_batch", pairs_only_fields, 1};
const Signature comparison_batch_signature{"Comparison.batch", pairs_only_fields, 1};

struct CompareBatchArgs : DiffParams {
  PairsArg pairs;
  bool return_diff = false;
  std::optional<uint64_t> thumbnail_width;
  std::optional<uint64_t> thumbnail_height;
};
const Field compare_batch_fields[] = {
    QF_FIELD(CompareBatchArgs, pairs),           QF_RENDER_FIELDS(CompareBatchArgs),
    QF_FIELD(CompareBatchArgs, return_diff),     QF_FIELD(CompareBatchArgs, thumbnail_width),
    QF_FIELD(CompareBatchArgs, thumbnail_height)};
const Signature compare_batch_signature{"compare_batch", compare_batch_fields, 1};

}  // namespace

PyObject* module_thumbnail(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ThumbnailArgs a;
  if (!parse(thumbnail_signature, args, nargs, kwnames, a)) return nullptr;
  auto webp = call_unlocked([&]() -> Result<Bytes> {
    auto image = decode_png(a.png_bytes.view());
    if (!image) return image.error();
    return make_thumbnail(image->data, image->width, image->height, ThumbnailRequest{a.width, a.height, {}, {}});
  });
  if (!webp) return nullptr;
  return take_bytes(*webp);
}

PyObject* comparison_current_thumbnail(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const ImagePair& pair = pair_of(self);
  ComparisonThumbnailArgs a;
  if (!parse(current_thumbnail_signature, args, nargs, kwnames, a)) return nullptr;
  return thumbnail_of(pair, true, a);
}

PyObject* comparison_baseline_thumbnail(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const ImagePair& pair = pair_of(self);
  ComparisonThumbnailArgs a;
  if (!parse(baseline_thumbnail_signature, args, nargs, kwnames, a)) return nullptr;
  return thumbnail_of(pair, false, a);
}

PyObject* module_diff_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  DiffBatchArgs a;
  if (!parse(diff_batch_signature, args, nargs, kwnames, a)) return nullptr;
  if (!a.check_threshold_alpha()) return nullptr;
  const DiffOptions options = a.diff_options();
  auto elements = call_unlocked([&] { return diff_batch(a.pairs.pairs, options); });
  if (!elements) return nullptr;
  return build_list(*elements, [](DiffElement& e) -> PyObject* {
    PyObject* png = take_bytes(e.png);
    if (!png) return nullptr;
    return Py_BuildValue("(NKKK)", png, (unsigned long long)e.count, (unsigned long long)e.width,
                         (unsigned long long)e.height);
  });
}

PyObject* module_diff_count_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  DiffCountBatchArgs a;
  if (!parse(diff_count_batch_signature, args, nargs, kwnames, a)) return nullptr;
  if (!a.check_threshold()) return nullptr;
  const DiffOptions options = a.diff_options();
  auto elements = call_unlocked([&] { return diff_count_batch(a.pairs.pairs, options); });
  if (!elements) return nullptr;
  return build_list(*elements, [](CountElement& e) {
    return Py_BuildValue("(KKK)", (unsigned long long)e.count, (unsigned long long)e.width,
                         (unsigned long long)e.height);
  });
}

PyObject* module_ssim_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PairsOnlyArgs a;
  if (!parse(ssim_batch_signature, args, nargs, kwnames, a)) return nullptr;
  auto scores = call_unlocked([&] { return ssim_batch(a.pairs.pairs); });
  if (!scores) return nullptr;
  return build_list(*scores, [](double s) { return to_py_float(s); });
}

PyObject* module_compare_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  CompareBatchArgs a;
  if (!parse(compare_batch_signature, args, nargs, kwnames, a)) return nullptr;
  if (!a.check_threshold_alpha()) return nullptr;
  CompareOptions options;
  options.diff = a.diff_options();
  options.return_diff = a.return_diff;
  options.thumbnail_width = a.thumbnail_width;
  if (a.thumbnail_width) options.thumbnail_height = a.thumbnail_height;
  auto elements = call_unlocked([&] { return compare_batch(a.pairs.pairs, options); });
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

PyObject* comparison_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PairsOnlyArgs a;
  if (!parse(comparison_batch_signature, args, nargs, kwnames, a)) return nullptr;
  auto pairs = call_unlocked([&] { return image_pair_batch(a.pairs.pairs); });
  if (!pairs) return nullptr;
  return build_list(*pairs, [](ImagePair& p) { return new_comparison(std::move(p)); });
}

}  // namespace qf::py
