// The PNG constructor of Comparison and the pixel-comparison methods: diff_count, diff_count_capped, diff_image.
#include <vector>

#include "bindings/args.hpp"
#include "bindings/boundary.hpp"
#include "bindings/entry_points.hpp"
#include "bindings/pytype.hpp"
#include "image_io/png.hpp"
#include "pixeldiff/pixeldiff.hpp"

namespace qf::py {

namespace {

struct NewArgs {
  BytesArg baseline_png;
  BytesArg current_png;
};
const Field new_fields[] = {QF_FIELD(NewArgs, baseline_png), QF_FIELD(NewArgs, current_png)};
const Signature new_signature{"Comparison", new_fields, 2};

// tp_new receives a tuple and a dict; the shared parser takes a fast-call vector (positional arguments, then
// the keyword values, named by a tuple of keys).
bool parse_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs, void* out) {
  std::vector<PyObject*> vector;
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) vector.push_back(PyTuple_GetItem(args, i));
  PyObject* kwnames = nullptr;
  if (kwargs && PyDict_Size(kwargs) > 0) {
    kwnames = PyTuple_New(PyDict_Size(kwargs));
    if (!kwnames) return false;
    PyObject *key, *value;
    Py_ssize_t pos = 0, k = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_INCREF(key);
      PyTuple_SetItem(kwnames, k++, key);  // steals the new reference
      vector.push_back(value);
    }
  }
  const bool ok = parse_args(signature, vector.data(), nargs, kwnames, out);
  Py_XDECREF(kwnames);
  return ok;
}

struct CountArgs {
  double threshold = 0.1;
  bool include_aa = false;
};
const Field count_fields[] = {QF_FIELD(CountArgs, threshold), QF_FIELD(CountArgs, include_aa)};
const Signature count_signature{"Comparison.diff_count", count_fields, 0};

struct CappedArgs {
  uint64_t max_diffs = 0;
  double threshold = 0.1;
  bool include_aa = false;
};
const Field capped_fields[] = {QF_FIELD(CappedArgs, max_diffs), QF_FIELD(CappedArgs, threshold),
                               QF_FIELD(CappedArgs, include_aa)};
const Signature capped_signature{"Comparison.diff_count_capped", capped_fields, 1};

struct ImageArgs {
  double threshold = 0.1;
  double alpha = 0.1;
  bool include_aa = false;
  Rgb diff_color{255, 0, 0};
  Rgb aa_color{255, 255, 0};
  std::optional<Rgb> diff_color_alt;
};
const Field image_fields[] = {QF_FIELD(ImageArgs, threshold),  QF_FIELD(ImageArgs, alpha),
                              QF_FIELD(ImageArgs, include_aa), QF_FIELD(ImageArgs, diff_color),
                              QF_FIELD(ImageArgs, aa_color),   QF_FIELD(ImageArgs, diff_color_alt)};
const Signature image_signature{"Comparison.diff_image", image_fields, 0};

Result<uint64_t> count_pair(const ImagePair& p, double threshold, bool include_aa, std::optional<uint64_t> cap) {
  DiffOptions options;
  options.threshold = threshold;
  options.include_aa = include_aa;
  return count_diffs(p.baseline, p.current, p.canvas_width, p.canvas_height, options, cap);
}

}  // namespace

PyObject* comparison_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  NewArgs a;
  if (!parse_tuple_dict(new_signature, args, kwargs, &a)) return nullptr;
  auto pair = call_unlocked([&]() -> Result<ImagePair> {
    auto images = decode_png_pair(a.baseline_png.view(), a.current_png.view());
    if (!images) return std::move(images).error();
    auto& [b, c] = *images;
    return make_image_pair(std::move(b.data), b.width, b.height, std::move(c.data), c.width, c.height);
  });
  if (!pair) return nullptr;
  return new_comparison(std::move(*pair));
}

PyObject* comparison_diff_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  CountArgs a;
  if (!parse(count_signature, args, nargs, kwnames, a)) return nullptr;
  if (!check_unit(a.threshold, THRESHOLD_RANGE_MESSAGE)) return nullptr;
  const ImagePair& p = pair_of(self);
  auto count = call_unlocked([&] { return count_pair(p, a.threshold, a.include_aa, std::nullopt); });
  if (!count) return nullptr;
  return to_py(*count);
}

PyObject* comparison_diff_count_capped(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  CappedArgs a;
  if (!parse(capped_signature, args, nargs, kwnames, a)) return nullptr;
  if (!check_unit(a.threshold, THRESHOLD_RANGE_MESSAGE)) return nullptr;
  if (a.max_diffs == 0) return to_py(0);
  const ImagePair& p = pair_of(self);
  auto count = call_unlocked([&] { return count_pair(p, a.threshold, a.include_aa, a.max_diffs); });
  if (!count) return nullptr;
  return to_py(*count);
}

PyObject* comparison_diff_image(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ImageArgs a;
  if (!parse(image_signature, args, nargs, kwnames, a)) return nullptr;
  if (!check_unit(a.threshold, THRESHOLD_RANGE_MESSAGE) || !check_unit(a.alpha, ALPHA_RANGE_MESSAGE)) return nullptr;
  const DiffOptions options{a.threshold, a.alpha, a.diff_color, a.aa_color, a.diff_color_alt, a.include_aa};
  const ImagePair& p = pair_of(self);
  auto png = call_unlocked([&]() -> Result<Bytes> {
    auto image = render_diff(p.baseline, p.current, p.canvas_width, p.canvas_height, options);
    if (!image) return std::move(image).error();
    return encode_png(image->rgba, p.canvas_width, p.canvas_height);
  });
  if (!png) return nullptr;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(png->data()), static_cast<Py_ssize_t>(png->size()));
}

}  // namespace qf::py
