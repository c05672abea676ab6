// The alignment result classes: RowAlignment (holding the whole record), RowSegment and ShiftBand.
#include <string>
#include <vector>

#include "bindings/classes.hpp"
#include "bindings/pytype.hpp"

namespace qf::py {

namespace {

// The objects a RowAlignment hands out, created once with it so that every access returns the same ones.
struct AlignmentValue : AlignmentRecord {
  std::vector<Ref> segment_objects, band_objects;
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
PyObject* segment_repr(PyObject* self) {
  const SegmentRecord& s = segment(self);
  std::string text = std::string("RowSegment(kind=") + kind_name(s.kind) + ", baseline_start=" + num(s.baseline_start) +
                     ", current_start=" + num(s.current_start) + ", len=" + num(s.len) + ")";
  return PyUnicode_FromString(text.c_str());
}
PyGetSetDef segment_getset[] = {QF_CUSTOM_GETTER("kind", segment_kind), QF_GETTER(SegmentRecord, baseline_start),
                                QF_GETTER(SegmentRecord, current_start), QF_GETTER(SegmentRecord, len), QF_GETSET_END};

// ShiftBand
const BandRecord& band(PyObject* self) { return unbox<BandRecord>(self); }
PyObject* band_kind(PyObject* self, void*) { return PyUnicode_FromString(band_name(band(self))); }
PyObject* band_repr(PyObject* self) {
  const BandRecord& b = band(self);
  std::string text = std::string("ShiftBand(kind=") + band_name(b) + ", y=" + num(b.y) + ", rows=" + num(b.rows) + ")";
  return PyUnicode_FromString(text.c_str());
}
PyGetSetDef band_getset[] = {QF_CUSTOM_GETTER("kind", band_kind), QF_GETTER(BandRecord, y), QF_GETTER(BandRecord, rows), QF_GETSET_END};

// RowAlignment
const AlignmentValue& alignment(PyObject* self) { return unbox<AlignmentValue>(self); }
PyObject* alignment_segments(PyObject* self, void*) { return new_list(alignment(self).segment_objects); }
PyObject* alignment_bands(PyObject* self, void*) { return new_list(alignment(self).band_objects); }
PyObject* alignment_repr(PyObject* self) {
  const AlignmentRecord& r = alignment(self);
  if (!r.aligned) return PyUnicode_FromString("RowAlignment(aligned=False)");
  std::string text = "RowAlignment(edit_distance=" + num(r.edit_distance) + ", inserted_rows=" + num(r.inserted_rows) +
                     ", deleted_rows=" + num(r.deleted_rows) + ", changed_rows=" + num(r.changed_rows) +
                     ", residual_count=" + num(r.residual_count) + ")";
  return PyUnicode_FromString(text.c_str());
}
PyGetSetDef alignment_getset[] = {
    QF_GETTER(AlignmentValue, aligned),        QF_GETTER(AlignmentValue, edit_distance),
    QF_GETTER(AlignmentValue, inserted_rows),  QF_GETTER(AlignmentValue, deleted_rows),
    QF_GETTER(AlignmentValue, changed_rows),   QF_GETTER(AlignmentValue, residual_count),
    QF_CUSTOM_GETTER("segments", alignment_segments), QF_CUSTOM_GETTER("bands", alignment_bands), QF_GETSET_END};

}  // namespace

PyTypeObject* create_row_alignment_type() {
  return result_type<AlignmentValue, alignment_repr>("builtins.RowAlignment", alignment_getset);
}
PyTypeObject* create_row_segment_type() {
  return result_type<SegmentRecord, segment_repr>("builtins.RowSegment", segment_getset);
}
PyTypeObject* create_shift_band_type() {
  return result_type<BandRecord, band_repr>("builtins.ShiftBand", band_getset);
}

PyObject* row_alignment_from(AlignmentRecord record) {
  AlignmentValue value;  // releases whatever was made so far if a step fails
  value.segment_objects.reserve(record.segments.size());
  value.band_objects.reserve(record.bands.size());
  for (const SegmentRecord& s : record.segments) {
    Ref o(box(RowSegmentType, s));
    if (!o.get()) return nullptr;
    value.segment_objects.push_back(std::move(o));
  }
  for (const BandRecord& b : record.bands) {
    Ref o(box(ShiftBandType, b));
    if (!o.get()) return nullptr;
    value.band_objects.push_back(std::move(o));
  }
  static_cast<AlignmentRecord&>(value) = std::move(record);
  return box(RowAlignmentType, std::move(value));
}

const AlignmentRecord& record_of(PyObject* row_alignment) { return alignment(row_alignment); }

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
