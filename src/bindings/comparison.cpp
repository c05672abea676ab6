// The Comparison type: construction from RGBA buffers, the size getters, the repr and the method table.
#include <string>

#include "bindings/args.hpp"
#include "bindings/boundary.hpp"
#include "bindings/entry_points.hpp"
#include "bindings/pytype.hpp"

namespace qf::py {

const ImagePair& pair_of(PyObject* self) { return unbox<ImagePair>(self); }

PyObject* new_comparison(ImagePair pair) { return box(ComparisonType, std::move(pair)); }

namespace {

struct FromRgbaArgs {
  BytesArg baseline_rgba;
  uint64_t baseline_width = 0;
  uint64_t baseline_height = 0;
  BytesArg current_rgba;
  uint64_t current_width = 0;
  uint64_t current_height = 0;
};
const Field from_rgba_fields[] = {
    QF_FIELD(FromRgbaArgs, baseline_rgba), QF_FIELD(FromRgbaArgs, baseline_width),
    QF_FIELD(FromRgbaArgs, baseline_height), QF_FIELD(FromRgbaArgs, current_rgba),
    QF_FIELD(FromRgbaArgs, current_width), QF_FIELD(FromRgbaArgs, current_height),
};
const Signature from_rgba_signature{"Comparison.from_rgba", from_rgba_fields, 6};

PyObject* comparison_from_rgba(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  FromRgbaArgs a;
  if (!parse(from_rgba_signature, args, nargs, kwnames, a)) return nullptr;
  auto pair = call_unlocked([&] {
    ByteView b = a.baseline_rgba.view(), c = a.current_rgba.view();
    return make_image_pair(Bytes(b.begin(), b.end()), a.baseline_width, a.baseline_height,
                           Bytes(c.begin(), c.end()), a.current_width, a.current_height);
  });
  if (!pair) return nullptr;
  return new_comparison(std::move(*pair));
}

PyObject* get_width(PyObject* self, void*) { return to_py(pair_of(self).canvas_width); }
PyObject* get_height(PyObject* self, void*) { return to_py(pair_of(self).canvas_height); }
PyObject* get_size_mismatch(PyObject* self, void*) { return to_py_bool(pair_of(self).size_mismatch()); }
PyObject* get_baseline_size(PyObject* self, void*) {
  const ImagePair& p = pair_of(self);
  return Py_BuildValue("(KK)", (unsigned long long)p.baseline_width, (unsigned long long)p.baseline_height);
}
PyObject* get_current_size(PyObject* self, void*) {
  const ImagePair& p = pair_of(self);
  return Py_BuildValue("(KK)", (unsigned long long)p.current_width, (unsigned long long)p.current_height);
}

PyObject* comparison_repr(PyObject* self) {
  const ImagePair& p = pair_of(self);
  std::string text = "Comparison(" + std::to_string(p.canvas_width) + "x" + std::to_string(p.canvas_height) + ", " +
                     std::to_string(p.canvas_width * p.canvas_height) + " pixels)";
  return PyUnicode_FromString(text.c_str());
}

#define QF_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef comparison_methods[] = {
    {"from_rgba", QF_METHOD(comparison_from_rgba), FASTCALL | METH_STATIC,
     "from_rgba(baseline_rgba, baseline_width, baseline_height, current_rgba, current_width, current_height)\n--\n\n"
     "Create a Comparison from pre-decoded RGBA buffers."},
    {"batch", QF_METHOD(comparison_batch), FASTCALL | METH_STATIC,
     "batch(pairs)\n--\n\nDecode multiple PNG pairs in parallel."},
    {"diff_count", QF_METHOD(comparison_diff_count), FASTCALL,
     "diff_count($self, threshold=0.1, include_aa=False)\n--\n\nCount differing pixels."},
    {"diff_count_capped", QF_METHOD(comparison_diff_count_capped), FASTCALL,
     "diff_count_capped($self, max_diffs, threshold=0.1, include_aa=False)\n--\n\n"
     "Count differing pixels with early exit."},
    {"ssim", QF_METHOD(comparison_ssim), METH_NOARGS,
     "ssim($self)\n--\n\nCompute SSIM (structural similarity) score."},
    {"clusters", QF_METHOD(comparison_clusters), FASTCALL,
     "clusters($self, threshold=0.1, include_aa=False, min_pixels=16, min_side=0, dilation=4, "
     "max_clusters=None, merge_gap=0, merge_overlap=0.5)\n--\n\n"
     "Compute connected-component clusters of differing pixels."},
    {"diff_image", QF_METHOD(comparison_diff_image), FASTCALL,
     "diff_image($self, threshold=0.1, alpha=0.1, include_aa=False, diff_color=..., aa_color=..., "
     "diff_color_alt=None)\n--\n\nGenerate the diff image as PNG bytes."},
    {"row_alignment", QF_METHOD(comparison_row_alignment), FASTCALL,
     "row_alignment($self, threshold=0.1, include_aa=False, max_edit_ratio=0.25, max_edit_rows=2048)\n--\n\n"
     "Align the rows of the two images to tell a vertical shift from real changes.\n\n"
     "`aligned` is False when the pair could not be aligned \xe2\x80\x94 the edit budget\n"
     "was exceeded, or the widths differ, since alignment is vertical only.\n"
     "Every other field is then zero or empty."},
    {"aligned_clusters", QF_METHOD(comparison_aligned_clusters), FASTCALL,
     "aligned_clusters($self, alignment, threshold=0.1, include_aa=False, min_pixels=16, min_side=0, "
     "dilation=4, max_clusters=None, merge_gap=0, merge_overlap=0.5)\n--\n\n"
     "Cluster the changed content, ignoring the shifted rows.\n\n"
     "The mask holds the changed content only, drawn like `aligned_diff_image`.\n"
     "The shift bands are the other half of the answer: read `alignment.bands`\n"
     "to decide whether to absorb a shift or flag it. Raises if the alignment\n"
     "failed or came from another image pair."},
    {"aligned_diff_image", QF_METHOD(comparison_aligned_diff_image), FASTCALL,
     "aligned_diff_image($self, alignment, threshold=0.1, alpha=0.1, include_aa=False, diff_color=..., "
     "aa_color=..., diff_color_alt=None)\n--\n\n"
     "Generate the shift-aware diff image as PNG bytes, in current-image coordinates."},
    {"aligned_ssim", QF_METHOD(comparison_aligned_ssim), FASTCALL,
     "aligned_ssim($self, alignment)\n--\n\n"
     "Compute SSIM over the matched rows only, so a shift does not lower the score."},
    {"current_thumbnail", QF_METHOD(comparison_current_thumbnail), FASTCALL,
     "current_thumbnail($self, width=200, height=None, min_width=None, min_height=None)\n--\n\n"
     "Generate a lossless WebP thumbnail of the current image.\n\n"
     "When scaling would make either dimension smaller than `min_width` /\n"
     "`min_height`, the original is top-left cropped instead (no upscaling)."},
    {"baseline_thumbnail", QF_METHOD(comparison_baseline_thumbnail), FASTCALL,
     "baseline_thumbnail($self, width=200, height=None, min_width=None, min_height=None)\n--\n\n"
     "Generate a lossless WebP thumbnail of the baseline image."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef comparison_getset[] = {
    {"width", get_width, nullptr, nullptr, nullptr},
    {"height", get_height, nullptr, nullptr, nullptr},
    {"size_mismatch", get_size_mismatch, nullptr, nullptr, nullptr},
    {"baseline_size", get_baseline_size, nullptr, nullptr, nullptr},
    {"current_size", get_current_size, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* create_comparison_type() {
  static char doc[] = "Comparison(baseline_png, current_png)\n--\n\n";
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(comparison_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<ImagePair>)},
      {Py_tp_repr, reinterpret_cast<void*>(comparison_repr)},
      {Py_tp_methods, comparison_methods},
      {Py_tp_getset, comparison_getset},
      {Py_tp_doc, doc},
      {0, nullptr},
  };
  return make_type("builtins.Comparison", sizeof(Boxed<ImagePair>), slots);
}

}  // namespace qf::py
