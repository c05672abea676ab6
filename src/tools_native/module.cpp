// quillfen_tools._native: what the product layer needs from the C++ core beyond the engine module's surface.
// To add a function: declare it in functions.hpp, define it in a file of its own, list it below.
#include "bindings/boundary.hpp"
#include "tools_native/functions.hpp"

namespace qf::tools {
namespace {

#define QF_KWFUNC(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef functions[] = {
    {"decode_rgba", QF_KWFUNC(decode_rgba), METH_VARARGS | METH_KEYWORDS,
     "decode_rgba(png, writable=False)\n--\n\n"
     "Decode a PNG file (bytes) into 8-bit RGBA. Returns (pixels, width, height); pixels is bytes, or a\n"
     "bytearray when `writable`."},
    {"rgb_to_rgba", QF_KWFUNC(rgb_to_rgba), METH_VARARGS | METH_KEYWORDS,
     "rgb_to_rgba(rgb, width, height)\n--\n\n"
     "Expand a buffer of width * height RGB pixels into opaque RGBA bytes."},
    {"apply_ignore", QF_KWFUNC(apply_ignore), METH_VARARGS | METH_KEYWORDS,
     "apply_ignore(current, current_width, current_height, baseline, baseline_width, baseline_height, rects=(),\n"
     "             mask=None, mask_width=0, mask_height=0)\n--\n\n"
     "A copy of the current RGBA image with the baseline's pixels inside the ignored regions: the rectangles\n"
     "(x, y, width, height) and the non-zero bytes of the mask (mask_width * mask_height bytes, one per pixel),\n"
     "where both images have pixels. Returns bytes."},
    {"thumbnail_rgba", QF_KWFUNC(thumbnail_rgba), METH_VARARGS | METH_KEYWORDS,
     "thumbnail_rgba(rgba, width, height, thumbnail_width, thumbnail_height=0)\n--\n\n"
     "A lossless WebP thumbnail of an RGBA image, scaled down to thumbnail_width and, when thumbnail_height\n"
     "is not 0, cropped at the top to that height. Returns bytes."},
    {"encode_png", QF_KWFUNC(encode_png), METH_VARARGS | METH_KEYWORDS, "encode_png(rgba, width, height)\n--\n\nAn RGBA image (width * height * 4 bytes) as a PNG file (bytes), by the engine's writer."},
    {"analyze_layout", QF_KWFUNC(analyze_layout), METH_VARARGS | METH_KEYWORDS,
     "analyze_layout(baseline, current, baseline_size=None, current_size=None, *, threshold=0.1,\n"
     "               include_aa=False, max_edit_ratio=0.25, max_edit_rows=2048, diff=False,\n"
     "               max_residual=None)\n--\n\n"
     "Shift analysis of page layouts: the column bands whose rows moved beside columns that stayed in place,\n"
     "each aligned on its own columns with the row alignment's search and budget. Images are PNG bytes when\n"
     "their size is None, else RGBA buffers of that (width, height). Returns (verdict, bands, residual_count,\n"
     "clusters, diff_png, searches): verdict \"unaligned\" (widths differ), \"unchanged\", \"shifted\" (rows\n"
     "moved, nothing else changed) or \"changed\"; bands ((kind, y, rows, x0, x1), ...) with kind \"inserted\"\n"
     "or \"deleted\", y a current-image row and [x0, x1) the columns; residual_count the pixels that differ once\n"
     "the shifts are taken out, clusters ((x, y, width, height, pixels), ...) of them (the engine's default\n"
     "cluster options); diff_png the shift-aware diff image (when diff is true, else None); searches the edit\n"
     "searches made. When no column moved, clusters is empty and diff_png None (the plain comparison holds\n"
     "all), and the count of the residual may stop early once it exceeds max_residual, when given."},
    {"jitter_compare", QF_KWFUNC(jitter_compare), METH_VARARGS | METH_KEYWORDS,
     "jitter_compare(baseline, baseline_width, baseline_height, current, current_width, current_height, *,\n"
     "               threshold=0.1, include_aa=False, jitter=1, ignore=None, clusters=True, diff=False,\n"
     "               alpha=0.1)\n--\n\n"
     "The pixel comparison of two RGBA images on their common canvas with differences that a move of at most\n"
     "`jitter` pixels explains set apart. `ignore`: one byte per canvas pixel, non-zero where nothing counts.\n"
     "Returns (diff_pixels, jitter_pixels, ignored_pixels, clusters, diff_png): clusters ((x, y, width,\n"
     "height, pixels), ...) of the counted pixels (the engine's default cluster options) and, when diff is\n"
     "true, the diff image with jitter pixels in the anti-aliasing colour and ignored regions hatched."},
    {"set_threads", QF_KWFUNC(set_threads), METH_VARARGS | METH_KEYWORDS,
     "set_threads(n)\n--\n\n"
     "Cap the process-wide worker pool (shared with the quillfen module) at n threads; None or 0 restores\n"
     "the default."},
    {"max_threads", max_threads, METH_NOARGS,
     "max_threads()\n--\n\nThe number of threads the worker pool may use now."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillfen_tools._native",
                          "Native helpers of quillfen_tools, built from quillfen's C++ core.", -1, functions,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyObject* new_bytes(std::size_t size, char** data) {
  PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (out) *data = PyBytes_AsString(out);
  return out;
}

}  // namespace qf::tools

PyMODINIT_FUNC PyInit__native(void) {
  PyObject* module = PyModule_Create2(&qf::tools::module_def, PYTHON_ABI_VERSION);
  if (!module) return nullptr;
  if (!qf::py::InternalFaultError) {
    qf::py::InternalFaultError = PyErr_NewExceptionWithDoc(
        "quillfen_tools._native.InternalFault",
        "An internal fault of quillfen_tools (a bug, never caused by the input).", PyExc_BaseException, nullptr);
  }
  if (!qf::py::InternalFaultError ||
      PyModule_AddObjectRef(module, "InternalFault", qf::py::InternalFaultError) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
