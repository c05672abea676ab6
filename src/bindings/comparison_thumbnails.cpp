// Comparison.current_thumbnail and Comparison.baseline_thumbnail.
#include "bindings/classes.hpp"
#include "bindings/params.hpp"
#include "bindings/pytype.hpp"
#include "compose/compose.hpp"

namespace qf::py {

namespace {

using namespace params;

struct ThumbnailArgs : ThumbnailRequest {};

PyObject* thumbnail(PyObject* self, Side side, const ThumbnailRequest& request) {
  const ImagePair& pair = pair_of(self);
  return result_or_null(call_unlocked([&] { return pair_thumbnail(pair, side, request); }), take_bytes);
}
PyObject* current_thumbnail(PyObject* self, ThumbnailArgs& a) { return thumbnail(self, Side::Current, a); }
PyObject* baseline_thumbnail(PyObject* self, ThumbnailArgs& a) { return thumbnail(self, Side::Baseline, a); }

const Entry entries[] = {
    method<"Comparison.current_thumbnail", current_thumbnail, width, height, min_width, min_height>(
        "Generate a lossless WebP thumbnail of the current image.\n\n"
        "When scaling would make either dimension smaller than `min_width` /\n"
        "`min_height`, the original is top-left cropped instead (no upscaling)."),
    method<"Comparison.baseline_thumbnail", baseline_thumbnail, width, height, min_width, min_height>(
        "Generate a lossless WebP thumbnail of the baseline image."),
};

}  // namespace

std::span<const Entry> thumbnail_methods() { return entries; }

}  // namespace qf::py
