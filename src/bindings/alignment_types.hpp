// The alignment result classes: RowAlignment (holding the whole record), RowSegment and ShiftBand.
#pragma once

#include "alignment/alignment.hpp"
#include "bindings/python.hpp"

namespace qf::py {

// A new RowAlignment owning `record`, its segments and bands (lock held), or null with the exception set.
PyObject* row_alignment_from(AlignmentRecord record);
// The record inside a RowAlignment; valid while the object lives, and never changed, so readable unlocked.
const AlignmentRecord& record_of(PyObject* row_alignment);

}  // namespace qf::py
