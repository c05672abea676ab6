// verdict(): the whole answer for one pair, and option_table(): the declarations of its options. Options are
// read by their declarations (kind, default, range), so a new option needs a line in verdict/options.hpp and a
// field of VerdictOptions, nothing here but its assignment.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "bindings/boundary.hpp"
#include "core/size.hpp"
#include "tools_native/functions.hpp"
#include "verdict/verdict.hpp"

namespace qf::tools {
namespace {

// A Py_buffer released on scope exit.
struct Held {
  Py_buffer view{};
  bool held = false;
  Held() = default;
  Held(const Held&) = delete;
  ~Held() {
    if (held) PyBuffer_Release(&view);
  }
  bool get(PyObject* object, const char* name) {
    if (PyObject_GetBuffer(object, &view, PyBUF_C_CONTIGUOUS) < 0) {
      PyErr_Format(PyExc_TypeError, "argument '%s': expected a C-contiguous buffer", name);
      return false;
    }
    held = true;
    return true;
  }
  ByteView bytes() const { return {static_cast<const uint8_t*>(view.buf), static_cast<std::size_t>(view.len)}; }
};

// A (width, height) tuple of non-negative ints.
bool parse_size(PyObject* size, const char* name, std::size_t& w, std::size_t& h) {
  PyObject *wo = nullptr, *ho = nullptr;
  if (PyTuple_Check(size) && PyTuple_Size(size) == 2) {
    wo = PyTuple_GetItem(size, 0);
    ho = PyTuple_GetItem(size, 1);
  }
  if (!wo || !ho || !PyLong_Check(wo) || !PyLong_Check(ho) || PyBool_Check(wo) || PyBool_Check(ho)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a (width, height) tuple of ints", name);
    return false;
  }
  const unsigned long long wv = PyLong_AsUnsignedLongLong(wo);
  if (PyErr_Occurred()) return false;
  const unsigned long long hv = PyLong_AsUnsignedLongLong(ho);
  if (PyErr_Occurred()) return false;
  w = static_cast<std::size_t>(wv);
  h = static_cast<std::size_t>(hv);
  return true;
}

// TypeError "<option> must be <what>, got <type name>".
bool raise_type(const std::string& name, const char* what, PyObject* value) {
  PyObject* type_name = PyType_GetName(Py_TYPE(value));
  if (!type_name) return false;
  PyErr_Format(PyExc_TypeError, "%s must be %s, got %U", name.c_str(), what, type_name);
  Py_DECREF(type_name);
  return false;
}

bool raise_range(const OptionSpec& spec) {
  py::raise(option_out_of_range(spec));
  return false;
}

// One option value into the record, by its declaration.
bool set_option(VerdictOptions& o, const OptionSpec& spec, PyObject* value) {
  const std::string_view name = spec.name;
  const std::string text(name);
  const bool nullable = std::holds_alternative<std::monostate>(spec.default_value);
  if (value == Py_None && nullable) {
    if (name == "max_diff_pixels") o.max_diff_pixels.reset();
    else if (name == "max_diff_ratio") o.max_diff_ratio.reset();
    else if (name == "thumbnails") o.thumbnails.reset();
    return true;
  }
  switch (spec.kind) {
    case OptionKind::Bool: {
      if (!PyBool_Check(value)) return raise_type(text, "True or False", value);
      const bool v = value == Py_True;
      if (name == "include_aa") o.include_aa = v;
      else if (name == "allow_shift") o.allow_shift = v;
      return true;
    }
    case OptionKind::Float: {
      if (PyBool_Check(value) || !(PyFloat_Check(value) || PyLong_Check(value)))
        return raise_type(text, "a number", value);
      const double v = PyFloat_AsDouble(value);
      if (v == -1.0 && PyErr_Occurred()) return false;
      if (!((!spec.min || v >= *spec.min) && (!spec.max || v <= *spec.max))) return raise_range(spec);
      if (name == "threshold") o.threshold = v;
      else if (name == "max_diff_ratio") o.max_diff_ratio = v;
      return true;
    }
    case OptionKind::Int: {
      if (PyBool_Check(value) || !PyLong_Check(value)) return raise_type(text, "an int", value);
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
      if (v == -1 && PyErr_Occurred()) return false;
      if (overflow < 0 || (overflow == 0 && spec.min && static_cast<double>(v) < *spec.min)) return raise_range(spec);
      if (spec.max && (overflow > 0 || static_cast<double>(v) > *spec.max)) return raise_range(spec);
      const uint64_t u = overflow > 0 ? UINT64_MAX : static_cast<uint64_t>(v);
      if (name == "max_diff_pixels") o.max_diff_pixels = u;
      else if (name == "max_pixels") o.max_pixels = u;
      else if (name == "thumbnails") o.thumbnails = static_cast<std::size_t>(u);
      else if (name == "jitter") o.jitter = static_cast<unsigned>(u);
      return true;
    }
    case OptionKind::Diff: {
      if (PyBool_Check(value)) {
        o.diff = value == Py_True ? DiffRequest::Always : DiffRequest::Never;
        return true;
      }
      if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, "changes") == 0) {
        o.diff = DiffRequest::Changes;
        return true;
      }
      PyErr_Format(PyExc_ValueError, "%s must be True, False or \"changes\"", text.c_str());
      return false;
    }
  }
  return false;
}

struct IgnoreArgs {
  std::vector<IgnoreRect> rects;
  Held mask;
  bool has_mask = false;
  std::size_t mask_width = 0, mask_height = 0;
};

bool parse_rects(PyObject* seq, std::vector<IgnoreRect>& out) {
  PyObject* iter = PyObject_GetIter(seq);
  if (!iter) return false;
  while (PyObject* item = PyIter_Next(iter)) {
    uint64_t v[4] = {0, 0, 0, 0};
    bool ok = PyTuple_Check(item) && PyTuple_Size(item) == 4;
    for (Py_ssize_t i = 0; ok && i < 4; ++i) {
      PyObject* f = PyTuple_GetItem(item, i);
      ok = PyLong_Check(f) && !PyBool_Check(f);
      if (ok) v[i] = PyLong_AsUnsignedLongLong(f);
      ok = ok && !PyErr_Occurred();
    }
    Py_DECREF(item);
    if (!ok) {
      Py_DECREF(iter);
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError, "ignore_rects: expected (x, y, width, height) tuples of ints >= 0");
      return false;
    }
    out.push_back({v[0], v[1], v[2], v[3]});
  }
  Py_DECREF(iter);
  return !PyErr_Occurred();
}

// Keyword arguments: the declared options, the ignored regions and `timing`.
bool parse_keywords(PyObject* kwargs, VerdictOptions& o, IgnoreArgs& ignore, bool& timing) {
  if (!kwargs) return true;
  PyObject *key = nullptr, *value = nullptr;
  Py_ssize_t pos = 0;
  PyObject* mask_size = nullptr;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    Py_ssize_t length = 0;
    const char* k = PyUnicode_AsUTF8AndSize(key, &length);
    if (!k) return false;
    const std::string_view name(k, static_cast<std::size_t>(length));
    const OptionSpec* spec = nullptr;
    for (const OptionSpec& s : verdict_options())
      if (s.name == name) spec = &s;
    if (spec) {
      if (!set_option(o, *spec, value)) return false;
    } else if (name == "ignore_rects") {
      if (value != Py_None && !parse_rects(value, ignore.rects)) return false;
    } else if (name == "ignore_mask") {
      if (value != Py_None) {
        if (!ignore.mask.get(value, "ignore_mask")) return false;
        ignore.has_mask = true;
      }
    } else if (name == "ignore_mask_size") {
      mask_size = value;
    } else if (name == "timing") {
      timing = PyObject_IsTrue(value) > 0;
    } else {
      PyErr_Format(PyExc_TypeError, "verdict() got an unexpected keyword argument '%s'", k);
      return false;
    }
  }
  if (ignore.has_mask) {
    if (!mask_size) {
      PyErr_SetString(PyExc_TypeError, "ignore_mask needs ignore_mask_size=(width, height)");
      return false;
    }
    if (!parse_size(mask_size, "ignore_mask_size", ignore.mask_width, ignore.mask_height)) return false;
  }
  return true;
}

bool parse_image(PyObject* object, PyObject* size, const char* name, Held& held, VerdictImage& out) {
  if (!held.get(object, name)) return false;
  out.bytes = held.bytes();
  if (size == Py_None) return true;
  out.png = false;
  const std::string size_name = std::string(name) + "_size";
  return parse_size(size, size_name.c_str(), out.width, out.height);
}

PyObject* bytes_or_none(const std::optional<Bytes>& b) {
  if (!b) Py_RETURN_NONE;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b->data()), static_cast<Py_ssize_t>(b->size()));
}

// The record as a dict of named fields.
PyObject* to_python(const Verdict& v) {
  PyObject* clusters = PyTuple_New(static_cast<Py_ssize_t>(v.clusters.size()));
  for (std::size_t i = 0; clusters && i < v.clusters.size(); ++i) {
    const VerdictCluster& k = v.clusters[i];
    const std::string_view kind = change_kind_name(k.kind.kind);
    PyTuple_SetItem(clusters, static_cast<Py_ssize_t>(i),
                    Py_BuildValue("(nnnnns#ii(nnnn))", (Py_ssize_t)k.x, (Py_ssize_t)k.y, (Py_ssize_t)k.width,
                                  (Py_ssize_t)k.height, (Py_ssize_t)k.pixels, kind.data(),
                                  (Py_ssize_t)kind.size(), k.kind.dx, k.kind.dy, (Py_ssize_t)k.part.x,
                                  (Py_ssize_t)k.part.y, (Py_ssize_t)k.part.width, (Py_ssize_t)k.part.height));
  }
  PyObject* shift = Py_None;
  if (v.shifted_rows) {
    shift = PyTuple_New(static_cast<Py_ssize_t>(v.bands.size()));
    for (std::size_t i = 0; shift && i < v.bands.size(); ++i) {
      const VerdictBand& b = v.bands[i];
      PyTuple_SetItem(shift, static_cast<Py_ssize_t>(i),
                      Py_BuildValue("(snnnnO)", b.deleted ? "deleted" : "inserted", (Py_ssize_t)b.y,
                                    (Py_ssize_t)b.rows, (Py_ssize_t)b.x0, (Py_ssize_t)b.x1,
                                    b.at_edge ? Py_True : Py_False));
    }
  } else {
    Py_INCREF(shift);
  }
  PyObject* steps = Py_None;
  if (v.step_seconds) {
    steps = PyDict_New();
    for (std::size_t i = 0; steps && i < v.step_seconds->size(); ++i) {
      PyObject* s = PyFloat_FromDouble((*v.step_seconds)[i]);
      const std::string name(step_name(static_cast<VerdictStep>(i)));
      if (!s || PyDict_SetItemString(steps, name.c_str(), s) < 0) Py_CLEAR(steps);
      Py_XDECREF(s);
    }
  } else {
    Py_INCREF(steps);
  }
  const std::string status(status_name(v.status));
  return Py_BuildValue(
      "{s:s,s:O,s:K,s:d,s:K,s:K,s:d,s:n,s:n,s:(nn),s:(nn),s:N,s:N,s:N,s:N,s:N,s:N}", "status", status.c_str(), "passed",
      v.passed ? Py_True : Py_False, "diff_pixels", (unsigned long long)v.diff_pixels, "diff_ratio", v.diff_ratio,
      "jitter_pixels", (unsigned long long)v.jitter_pixels, "ignored_pixels", (unsigned long long)v.ignored_pixels,
      "ssim", v.ssim, "width", (Py_ssize_t)v.width, "height", (Py_ssize_t)v.height, "baseline_size",
      (Py_ssize_t)v.baseline_width, (Py_ssize_t)v.baseline_height, "current_size", (Py_ssize_t)v.current_width,
      (Py_ssize_t)v.current_height, "clusters", clusters, "shift", shift, "diff_png", bytes_or_none(v.diff_png),
      "baseline_thumbnail", bytes_or_none(v.baseline_thumbnail), "current_thumbnail",
      bytes_or_none(v.current_thumbnail), "steps", steps);
}

// ValueError with the message, and the side it belongs to as its `side` attribute (None when it has none).
void raise_verdict_error(const VerdictError& e) {
  PyObject* message = PyUnicode_FromStringAndSize(e.error.message.data(), static_cast<Py_ssize_t>(e.error.message.size()));
  if (!message) return;
  PyObject* exc = PyObject_CallFunctionObjArgs(PyExc_ValueError, message, nullptr);
  Py_DECREF(message);
  if (!exc) return;
  PyObject* side = e.failed_side.empty()
                       ? (Py_INCREF(Py_None), Py_None)
                       : PyUnicode_FromStringAndSize(e.failed_side.data(), static_cast<Py_ssize_t>(e.failed_side.size()));
  if (side && PyObject_SetAttrString(exc, "side", side) == 0) PyErr_SetObject(PyExc_ValueError, exc);
  Py_XDECREF(side);
  Py_DECREF(exc);
}

PyObject* option_value(const OptionDefault& d, OptionKind kind) {
  if (std::holds_alternative<bool>(d)) return PyBool_FromLong(std::get<bool>(d));
  if (std::holds_alternative<int64_t>(d)) return PyLong_FromLongLong(std::get<int64_t>(d));
  if (std::holds_alternative<double>(d)) return PyFloat_FromDouble(std::get<double>(d));
  (void)kind;
  Py_RETURN_NONE;
}

PyObject* bound(const std::optional<double>& b, OptionKind kind) {
  if (!b) Py_RETURN_NONE;
  if (kind == OptionKind::Int) return PyLong_FromLongLong(static_cast<long long>(*b));
  return PyFloat_FromDouble(*b);
}

}  // namespace

PyObject* verdict(PyObject*, PyObject* args, PyObject* kwargs) {
  return py::guarded([&]() -> PyObject* {
    const Py_ssize_t n = PyTuple_Size(args);
    if (n < 2 || n > 4) {
      PyErr_Format(PyExc_TypeError, "verdict() takes from 2 to 4 positional arguments but %zd were given", n);
      return nullptr;
    }
    PyObject* baseline = PyTuple_GetItem(args, 0);
    PyObject* current = PyTuple_GetItem(args, 1);
    PyObject* baseline_size = n > 2 ? PyTuple_GetItem(args, 2) : Py_None;
    PyObject* current_size = n > 3 ? PyTuple_GetItem(args, 3) : Py_None;
    // The sizes may come by keyword too; they are not options.
    if (kwargs) {
      for (auto [name, slot] : {std::pair{"baseline_size", &baseline_size}, std::pair{"current_size", &current_size}}) {
        PyObject* v = PyDict_GetItemString(kwargs, name);
        if (!v) continue;
        *slot = v;
      }
    }
    PyObject* options_kw = nullptr;
    if (kwargs && (PyDict_GetItemString(kwargs, "baseline_size") || PyDict_GetItemString(kwargs, "current_size"))) {
      options_kw = PyDict_Copy(kwargs);
      if (!options_kw) return nullptr;
      PyDict_DelItemString(options_kw, "baseline_size");
      PyErr_Clear();
      PyDict_DelItemString(options_kw, "current_size");
      PyErr_Clear();
    }
    VerdictOptions options;
    IgnoreArgs ignore;
    bool timing = false;
    const bool parsed = parse_keywords(options_kw ? options_kw : kwargs, options, ignore, timing);
    Py_XDECREF(options_kw);
    if (!parsed) return nullptr;
    options.ignore_rects = std::move(ignore.rects);
    if (ignore.has_mask) {
      options.has_mask = true;
      options.ignore_mask = ignore.mask.bytes();
      options.mask_width = ignore.mask_width;
      options.mask_height = ignore.mask_height;
    }
    Held b_held, c_held;
    VerdictImage b, c;
    if (!parse_image(baseline, baseline_size, "baseline", b_held, b) ||
        !parse_image(current, current_size, "current", c_held, c))
      return nullptr;
    using Outcome = std::variant<Verdict, VerdictError>;
    auto outcome = py::call_unlocked([&]() -> Result<Outcome> { return verdict_of(b, c, options, timing); },
                                     py::WATCHED);
    if (!outcome) return nullptr;
    if (auto* e = std::get_if<VerdictError>(&*outcome)) {
      raise_verdict_error(*e);
      return nullptr;
    }
    return to_python(std::get<Verdict>(*outcome));
  });
}

PyObject* option_table(PyObject*, PyObject*) {
  const auto specs = verdict_options();
  PyObject* out = PyTuple_New(static_cast<Py_ssize_t>(specs.size()));
  for (std::size_t i = 0; out && i < specs.size(); ++i) {
    const OptionSpec& s = specs[i];
    const std::string name(s.name), kind(option_kind_name(s.kind)), help(s.help);
    PyObject* entry = Py_BuildValue("{s:s,s:s,s:N,s:N,s:N,s:s}", "name", name.c_str(), "kind", kind.c_str(),
                                    "default", option_value(s.default_value, s.kind), "min", bound(s.min, s.kind),
                                    "max", bound(s.max, s.kind), "help", help.c_str());
    if (!entry) {
      Py_CLEAR(out);
      break;
    }
    PyTuple_SetItem(out, static_cast<Py_ssize_t>(i), entry);
  }
  return out;
}

namespace {

// verdict() takes its options by their declarations (any keyword option_table() names), so it parses its own
// arguments; its row in the module's table says so in its signature.
void verdict_parameters(std::string& s) { s += "baseline, current, baseline_size=None, current_size=None, **options"; }
void no_parameters(std::string&) {}

const py::Entry entries[] = {
    {"verdict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(verdict)), METH_VARARGS | METH_KEYWORDS,
     false, verdict_parameters,
     "The whole verdict of one pair (PNG bytes when a size is None, else RGBA buffers of that (width, height)) as\n"
     "a dict; options as option_table() declares them, and ignore_rects, ignore_mask, ignore_mask_size."},
    {"option_table", option_table, METH_NOARGS, false, no_parameters,
     "The declarations of the verdict's options: a tuple of dicts {name, kind, default, min, max, help}."},
};

}  // namespace

std::span<const py::Entry> verdict_functions() { return entries; }

}  // namespace qf::tools
