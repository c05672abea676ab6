// Layout-aware shift analysis for the product layer: column bands that moved beside static columns, and the
// residual changes once the shifts are taken out.
#include "bindings/boundary.hpp"
#include "bindings/params.hpp"
#include "bindings/pytype.hpp"
#include "core/size.hpp"
#include "image_io/png.hpp"
#include "layout/layout.hpp"
#include "tools_native/args.hpp"
#include "tools_native/functions.hpp"
#include "tools_native/records.hpp"

namespace qf::tools {
namespace {

const RecordType ANALYSIS{
    "LayoutAnalysis", "The shift analysis of a pair of page layouts.",
    {"verdict", "bands", "residual_count", "clusters", "diff_png", "searches"}};
const RecordType COLUMN_BAND{"ColumnBand", "Rows inserted or deleted over the columns [x0, x1).",
                             {"kind", "y", "rows", "x0", "x1"}};
const RecordType BOX{"Box", "A cluster of differing pixels: its bounding box and its own differing pixels.",
                     {"x", "y", "width", "height", "pixels"}};

// The images and what the analysis adds to the engine's option records.
struct LayoutArgs : DiffOptions, AlignOptions, LayoutOptions {
  BufferArg baseline, current;
  std::optional<Size> baseline_size, current_size;
  bool diff = false;
};
constexpr auto baseline = QF_REQUIRED(LayoutArgs, baseline);
constexpr auto current = QF_REQUIRED(LayoutArgs, current);
constexpr auto baseline_size = QF_PARAM(LayoutArgs, baseline_size);
constexpr auto current_size = QF_PARAM(LayoutArgs, current_size);
constexpr auto diff = QF_PARAM(LayoutArgs, diff);
constexpr auto max_residual = py::Param{"max_residual", &LayoutOptions::static_residual_cap, false};

// An image argument: PNG bytes without a size, else width * height * 4 RGBA bytes of that size.
bool check_image(const BufferArg& image, const std::optional<Size>& size, const char* name) {
  return !size || check_pixels(image, name, size->width, size->height, 4);
}

Result<RgbaImage> image_of(const BufferArg& image, const std::optional<Size>& size) {
  if (!size) return decode_png(image.bytes());
  ByteView v = image.bytes();
  return RgbaImage{size->width, size->height, Bytes(v.begin(), v.end())};
}

struct Outcome {
  LayoutRecord record;
  ClusterList clusters;
  std::optional<Bytes> diff_png;
};

const char* verdict_name(LayoutVerdict v) {
  switch (v) {
    case LayoutVerdict::Unaligned: return "unaligned";
    case LayoutVerdict::Unchanged: return "unchanged";
    case LayoutVerdict::Shifted: return "shifted";
    case LayoutVerdict::Changed: return "changed";
  }
  return "unaligned";
}

PyObject* analyze_layout(PyObject*, LayoutArgs& a) {
  if (!check_image(a.baseline, a.baseline_size, "baseline") || !check_image(a.current, a.current_size, "current"))
    return nullptr;
  const DiffOptions& options = a;
  const AlignOptions& align = a;
  const LayoutOptions& layout = a;
  auto outcome = py::call_unlocked(
      [&]() -> Result<Outcome> {
        if (auto e = check_diff_options(options)) return *e;
        auto bi = image_of(a.baseline, a.baseline_size);
        if (!bi) return std::move(bi).error();
        auto ci = image_of(a.current, a.current_size);
        if (!ci) return std::move(ci).error();
        auto pair = make_image_pair(std::move(bi->data), bi->width, bi->height, std::move(ci->data), ci->width,
                                    ci->height, false);
        if (!pair) return std::move(pair).error();
        auto record = qf::analyze_layout(*pair, options, align, layout);
        if (!record) return std::move(record).error();
        Outcome out{std::move(*record), {}, std::nullopt};
        // Without a moved column the analysis adds nothing to the plain comparison: no clusters or image for it.
        if (out.record.verdict == LayoutVerdict::Unaligned || !out.record.any_moved()) return out;
        if (out.record.residual_count > 0) {
          auto clusters = layout_clusters(*pair, out.record, options, ClusterOptions{});
          if (!clusters) return std::move(clusters).error();
          out.clusters = std::move(*clusters);
        }
        if (a.diff) {
          auto rgba = render_layout_diff(*pair, out.record, options);
          if (!rgba) return std::move(rgba).error();
          auto png = encode_png(*rgba, pair->canvas_width, pair->current_height);
          if (!png) return std::move(png).error();
          out.diff_png = std::move(*png);
        }
        return out;
      },
      py::WATCHED);
  if (!outcome) return nullptr;

  PyObject* bands = tuple_of(column_bands(outcome->record), [](const ColumnBand& k) {
    return COLUMN_BAND.make({PyUnicode_FromString(k.deleted ? "deleted" : "inserted"), py::to_py(k.y),
                             py::to_py(k.rows), py::to_py(k.x0), py::to_py(k.x1)});
  });
  PyObject* clusters = tuple_of(outcome->clusters.clusters, [](const ClusterRecord& k) {
    return BOX.make({py::to_py(k.x), py::to_py(k.y), py::to_py(k.width), py::to_py(k.height),
                     py::to_py(k.own_pixels)});
  });
  return ANALYSIS.make({PyUnicode_FromString(verdict_name(outcome->record.verdict)), bands,
                        py::to_py(outcome->record.residual_count), clusters,
                        py::take_optional_bytes(outcome->diff_png), py::to_py(outcome->record.searches)});
}

const py::Entry entries[] = {
    py::function<"analyze_layout", analyze_layout, baseline, current, baseline_size, current_size,
                 py::params::threshold, py::params::include_aa, py::params::max_edit_ratio,
                 py::params::max_edit_rows, diff, max_residual>(
        "Shift analysis of page layouts: the column bands whose rows moved beside columns that stayed in place,\n"
        "each aligned on its own columns with the row alignment's search and budget. Images are PNG bytes when\n"
        "their size is None, else RGBA buffers of that (width, height). Returns a LayoutAnalysis: verdict\n"
        "\"unaligned\" (widths differ), \"unchanged\", \"shifted\" (rows moved, nothing else changed) or\n"
        "\"changed\"; bands, ColumnBand records (kind \"inserted\" or \"deleted\", y a current-image row, rows,\n"
        "and [x0, x1) the columns); residual_count the pixels that differ once the shifts are taken out;\n"
        "clusters, Box records of them (the engine's default cluster options); diff_png the shift-aware diff\n"
        "image (when diff is true, else None); searches the edit searches made. When no column moved, clusters\n"
        "is empty and diff_png None (the plain comparison holds all), and the count of the residual may stop\n"
        "early once it exceeds max_residual, when given."),
};

}  // namespace

std::span<const py::Entry> layout_functions() { return entries; }

}  // namespace qf::tools
