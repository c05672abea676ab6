// The Comparison type: its constructors (from PNG files, from RGBA buffers, a batch of PNG pairs), the size
// getters, the repr, and the method table gathered from the method groups.
#include <string>

#include "batch/batch.hpp"
#include "bindings/classes.hpp"
#include "bindings/params.hpp"
#include "bindings/pytype.hpp"
#include "image_io/png.hpp"

namespace qf::py {

const ImagePair& pair_of(PyObject* self) { return unbox<ImagePair>(self); }

PyObject* new_comparison(ImagePair pair) { return box(ComparisonType, std::move(pair)); }

namespace {

struct NewArgs {
  BytesArg baseline_png, current_png;
};
constexpr auto baseline_png = QF_REQUIRED(NewArgs, baseline_png);
constexpr auto current_png = QF_REQUIRED(NewArgs, current_png);
using NewFields = Fields<NewArgs, baseline_png, current_png>;

PyObject* comparison_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    NewArgs a;
    if (!NewFields::parse_tuple("Comparison", args, kwargs, a)) return nullptr;
    return result_or_null(call_unlocked([&]() -> Result<ImagePair> {
      auto images = decode_png_pair(a.baseline_png.view(), a.current_png.view());
      if (!images) return std::move(images).error();
      auto& [b, c] = *images;
      return make_image_pair(std::move(b.data), b.width, b.height, std::move(c.data), c.width, c.height);
    }, WATCHED), [](ImagePair& p) { return new_comparison(std::move(p)); });
  });
}

struct FromRgbaArgs {
  BytesArg baseline_rgba;
  uint64_t baseline_width = 0, baseline_height = 0;
  BytesArg current_rgba;
  uint64_t current_width = 0, current_height = 0;
};
constexpr auto baseline_rgba = QF_REQUIRED(FromRgbaArgs, baseline_rgba);
constexpr auto baseline_width = QF_REQUIRED(FromRgbaArgs, baseline_width);
constexpr auto baseline_height = QF_REQUIRED(FromRgbaArgs, baseline_height);
constexpr auto current_rgba = QF_REQUIRED(FromRgbaArgs, current_rgba);
constexpr auto current_width = QF_REQUIRED(FromRgbaArgs, current_width);
constexpr auto current_height = QF_REQUIRED(FromRgbaArgs, current_height);

PyObject* from_rgba(PyObject*, FromRgbaArgs& a) {
  return result_or_null(call_unlocked([&] {
    ByteView b = a.baseline_rgba.view(), c = a.current_rgba.view();
    return make_image_pair(Bytes(b.begin(), b.end()), a.baseline_width, a.baseline_height,
                           Bytes(c.begin(), c.end()), a.current_width, a.current_height);
  }), [](ImagePair& p) { return new_comparison(std::move(p)); });
}

PyObject* batch(PyObject*, params::PairsParam& a) {
  auto pairs = call_unlocked([&] { return image_pair_batch(a.pairs.pairs); }, WATCHED);
  if (!pairs) return nullptr;
  return build_list(*pairs, [](ImagePair& p) { return new_comparison(std::move(p)); });
}

const Entry constructors[] = {
    function<"Comparison.from_rgba", from_rgba, baseline_rgba, baseline_width, baseline_height, current_rgba,
             current_width, current_height>("Create a Comparison from pre-decoded RGBA buffers."),
    function<"Comparison.batch", batch, params::pairs>("Decode multiple PNG pairs in parallel."),
};

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

PyGetSetDef comparison_getset[] = {
    QF_GETTER_AS("width", ImagePair, &ImagePair::canvas_width),
    QF_GETTER_AS("height", ImagePair, &ImagePair::canvas_height),
    QF_CUSTOM_GETTER("size_mismatch", get_size_mismatch),
    QF_CUSTOM_GETTER("baseline_size", get_baseline_size),
    QF_CUSTOM_GETTER("current_size", get_current_size),
    QF_GETSET_END};

}  // namespace

PyTypeObject* create_comparison_type() {
  static std::string doc;
  doc = "Comparison(";
  NewFields::append_text(doc);
  doc += ")\n--\n\n";
  PyMethodDef* methods = method_table(
      {constructors, pixel_methods(), ssim_cluster_methods(), alignment_methods(), thumbnail_methods()});
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(comparison_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<ImagePair>)},
      {Py_tp_repr, reinterpret_cast<void*>(safe_repr<comparison_repr>)},
      {Py_tp_methods, methods},
      {Py_tp_getset, comparison_getset},
      {Py_tp_doc, doc.data()},
      {0, nullptr},
  };
  return make_type("builtins.Comparison", sizeof(Boxed<ImagePair>), slots);
}

}  // namespace qf::py
