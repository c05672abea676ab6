#include "bindings/alignment_types.hpp"

#include <string>
#include <vector>

#include "bindings/args.hpp"
#include "bindings/entry_points.hpp"
#include "bindings/pytype.hpp"

namespace qf::py {

namespace {

// The objects a RowAlignment hands out, created once with it so that every access returns the same ones.
struct AlignmentValue {
  std::vector<Ref> segments, bands;
  AlignmentRecord record;
};

const char* kind_name(SegmentKind kind) {
  switch (kind) {
    case SegmentKind::Equal: return "equal";
    case SegmentKind::Replace: return "replace";
    case SegmentKind::Insert: return "insert";
    case SegmentKind::Delete: return "delete";
  }
  return "equal";
}

const char* band_name(const BandRecord& band) { return band.deleted ? "deleted" : "inserted"; }

std::string num(uint64_t v) { return std::to_string(v); }

// RowSegment
const SegmentRecord& segment(PyObject* self) { return unbox<SegmentRecord>(self); }
PyObject* segment_kind(PyObject* self, void*) { return PyUnicode_FromString(kind_name(segment(self).kind)); }
PyObject* segment_baseline_start(PyObject* self, void*) { return to_py(segment(self).baseline_start); }
PyObject* segment_current_start(PyObject* self, void*) { return to_py(segment(self).current_start); }
PyObject* segment_len(PyObject* self, void*) { return to_py(segment(self).len); }
PyObject* segment_repr(PyObject* self) {
  const SegmentRecord& s = segment(self);
  std::string text = std::string("RowSegment(kind=") + kind_name(s.kind) + ", baseline_start=" + num(s.baseline_start) +
                     ", current_start=" + num(s.current_start) + ", len=" + num(s.len) + ")";
  return PyUnicode_FromString(text.c_str());
}
PyGetSetDef segment_getset[] = {
    {"kind", segment_kind, nullptr, nullptr, nullptr},
    {"baseline_start", segment_baseline_start, nullptr, nullptr, nullptr},
    {"current_start", segment_current_start, nullptr, nullptr, nullptr},
    {"len", segment_len, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ShiftBand
const BandRecord& band(PyObject* self) { return unbox<BandRecord>(self); }
PyObject* band_kind(PyObject* self, void*) { return PyUnicode_FromString(band_name(band(self))); }
PyObject* band_y(PyObject* self, void*) { return to_py(band(self).y); }
PyObject* band_rows(PyObject* self, void*) { return to_py(band(self).rows); }
PyObject* band_repr(PyObject* self) {
  const BandRecord& b = band(self);
  std::string text = std::string("ShiftBand(kind=") + band_name(b) + ", y=" + num(b.y) + ", rows=" + num(b.rows) + ")";
  return PyUnicode_FromString(text.c_str());
}
PyGetSetDef band_getset[] = {
    {"kind", band_kind, nullptr, nullptr, nullptr},
    {"y", band_y, nullptr, nullptr, nullptr},
    {"rows", band_rows, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// RowAlignment
const AlignmentValue& alignment(PyObject* self) { return unbox<AlignmentValue>(self); }
PyObject* alignment_aligned(PyObject* self, void*) { return to_py_bool(alignment(self).record.aligned); }
PyObject* alignment_edit_distance(PyObject* self, void*) { return to_py(alignment(self).record.edit_distance); }
PyObject* alignment_inserted_rows(PyObject* self, void*) { return to_py(alignment(self).record.inserted_rows); }
PyObject* alignment_deleted_rows(PyObject* self, void*) { return to_py(alignment(self).record.deleted_rows); }
PyObject* alignment_changed_rows(PyObject* self, void*) { return to_py(alignment(self).record.changed_rows); }
PyObject* alignment_residual_count(PyObject* self, void*) { return to_py(alignment(self).record.residual_count); }
PyObject* alignment_segments(PyObject* self, void*) { return new_list(alignment(self).segments); }
PyObject* alignment_bands(PyObject* self, void*) { return new_list(alignment(self).bands); }
PyObject* alignment_repr(PyObject* self) {
  const AlignmentRecord& r = alignment(self).record;
  if (!r.aligned) return PyUnicode_FromString("RowAlignment(aligned=False)");
  std::string text = "RowAlignment(edit_distance=" + num(r.edit_distance) + ", inserted_rows=" + num(r.inserted_rows) +
                     ", deleted_rows=" + num(r.deleted_rows) + ", changed_rows=" + num(r.changed_rows) +
                     ", residual_count=" + num(r.residual_count) + ")";
  return PyUnicode_FromString(text.c_str());
}
PyGetSetDef alignment_getset[] = {
    {"aligned", alignment_aligned, nullptr, nullptr, nullptr},
    {"edit_distance", alignment_edit_distance, nullptr, nullptr, nullptr},
    {"inserted_rows", alignment_inserted_rows, nullptr, nullptr, nullptr},
    {"deleted_rows", alignment_deleted_rows, nullptr, nullptr, nullptr},
    {"changed_rows", alignment_changed_rows, nullptr, nullptr, nullptr},
    {"residual_count", alignment_residual_count, nullptr, nullptr, nullptr},
    {"segments", alignment_segments, nullptr, nullptr, nullptr},
    {"bands", alignment_bands, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* create_row_alignment_type() {
  return result_type<AlignmentValue>("builtins.RowAlignment", alignment_getset, alignment_repr);
}
PyTypeObject* create_row_segment_type() {
  return result_type<SegmentRecord>("builtins.RowSegment", segment_getset, segment_repr);
}
PyTypeObject* create_shift_band_type() {
  return result_type<BandRecord>("builtins.ShiftBand", band_getset, band_repr);
}

PyObject* row_alignment_from(AlignmentRecord record) {
  AlignmentValue value;  // releases whatever was made so far if a step fails
  try {
    value.segments.reserve(record.segments.size());
    value.bands.reserve(record.bands.size());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  for (const SegmentRecord& s : record.segments) {
    Ref o(box(RowSegmentType, s));
    if (!o.get()) return nullptr;
    value.segments.push_back(std::move(o));
  }
  for (const BandRecord& b : record.bands) {
    Ref o(box(ShiftBandType, b));
    if (!o.get()) return nullptr;
    value.bands.push_back(std::move(o));
  }
  value.record = std::move(record);
  return box(RowAlignmentType, std::move(value));
}

const AlignmentRecord& record_of(PyObject* row_alignment) { return alignment(row_alignment).record; }

int convert(PyObject* o, AlignmentArg& out) {
  if (!RowAlignmentType || !Py_IS_TYPE(o, RowAlignmentType)) {
    PyObject* name = PyType_GetName(Py_TYPE(o));
    if (!name) return -1;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'RowAlignment'", name);
    Py_DECREF(name);
    return -1;
  }
  out.object = o;
  return 0;
}

}  // namespace qf::py
