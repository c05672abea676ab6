// The PNG constructor of Comparison and the pixel-comparison methods: diff_count, diff_count_capped, diff_image.
#include <vector>

#include "bindings/args.hpp"
#include "bindings/boundary.hpp"
#include "bindings/entry_points.hpp"
#include "bindings/params.hpp"
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

struct CountArgs : DiffParams {};
const Field count_fields[] = {QF_FIELD(CountArgs, threshold), QF_FIELD(CountArgs, include_aa)};
const Signature count_signature{"Comparison.diff_count", count_fields, 0};

struct CappedArgs : DiffParams {
  uint64_t max_diffs = 0;
};
const Field capped_fields[] = {QF_FIELD(CappedArgs, max_diffs), QF_FIELD(CappedArgs, threshold),
                               QF_FIELD(CappedArgs, include_aa)};
const Signature capped_signature{"Comparison.diff_count_capped", capped_fields, 1};

struct ImageArgs : DiffParams {};
const Field image_fields[] = {QF_RENDER_FIELDS(ImageArgs)};
const Signature image_signature{"Comparison.diff_image", image_fields, 0};

Result<uint64_t> count_pair(const ImagePair& p, const DiffParams& params, std::optional<uint64_t> cap) {
  return count_diffs(p.baseline, p.current, p.canvas_width, p.canvas_height, params.diff_options(), cap);
}

}  // namespace

PyObject* comparison_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  NewArgs a;
  if (!parse_tuple_args(new_signature, args, kwargs, &a)) return nullptr;
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
  if (!a.check_threshold()) return nullptr;
  const ImagePair& p = pair_of(self);
  auto count = call_unlocked([&] { return count_pair(p, a, std::nullopt); });
  if (!count) return nullptr;
  return to_py(*count);
}

PyObject* comparison_diff_count_capped(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  CappedArgs a;
  if (!parse(capped_signature, args, nargs, kwnames, a)) return nullptr;
  if (!a.check_threshold()) return nullptr;
  if (a.max_diffs == 0) return to_py(0);
  const ImagePair& p = pair_of(self);
  auto count = call_unlocked([&] { return count_pair(p, a, a.max_diffs); });
  if (!count) return nullptr;
  return to_py(*count);
}

PyObject* comparison_diff_image(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ImageArgs a;
  if (!parse(image_signature, args, nargs, kwnames, a)) return nullptr;
  if (!a.check_threshold_alpha()) return nullptr;
  const DiffOptions options = a.diff_options();
  const ImagePair& p = pair_of(self);
  auto png = call_unlocked([&]() -> Result<Bytes> {
    auto image = render_diff(p.baseline, p.current, p.canvas_width, p.canvas_height, options);
    if (!image) return std::move(image).error();
    return encode_png(image->rgba, p.canvas_width, p.canvas_height);
  });
  if (!png) return nullptr;
  return to_py_bytes(*png);
}

}  // namespace qf::py
