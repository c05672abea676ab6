// The whole answer for one pair of screenshots: its status, whether it passes the tolerances, the differing
// pixels, SSIM, the change clusters, the shift bands and, on request, the diff image and thumbnails. The pair is
// decoded once and every step reuses what the steps before it found: the diff mask of the count feeds the
// clusters, the rows it proved equal bound the SSIM, identical files stop at the first step.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "classify/classify.hpp"
#include "core/error.hpp"
#include "core/image_pair.hpp"
#include "core/options.hpp"
#include "core/types.hpp"
#include "verdict/options.hpp"

namespace qf {

enum class VerdictStatus { Unchanged, Shifted, Changed, SizeChanged };
std::string_view status_name(VerdictStatus status);

// When the diff image is drawn: never, always, or only for a pair that is not unchanged.
enum class DiffRequest { Never, Always, Changes };

// A rectangle of ignored pixels, in canvas coordinates (it may reach past the canvas; the part inside counts).
struct IgnoreRect {
  uint64_t x = 0, y = 0, width = 0, height = 0;
};

// What the verdict is asked, with the defaults of the option table.
struct VerdictOptions {
  double threshold = std::get<double>(verdict_option("threshold").default_value);
  bool include_aa = std::get<bool>(verdict_option("include_aa").default_value);
  // The tolerances of a changed pair: it passes when it is within every one given, and not when none is given.
  std::optional<uint64_t> max_diff_pixels;
  std::optional<double> max_diff_ratio;
  bool allow_shift = std::get<bool>(verdict_option("allow_shift").default_value);  // a shifted pair passes
  // Differences a move of at most this many pixels explains are counted apart (0: none are).
  unsigned jitter = static_cast<unsigned>(std::get<int64_t>(verdict_option("jitter").default_value));
  // Per image; larger images are refused before they are decoded.
  uint64_t max_pixels = static_cast<uint64_t>(std::get<int64_t>(verdict_option("max_pixels").default_value));
  std::optional<std::size_t> thumbnails;  // width of the WebP thumbnails, when wanted
  DiffRequest diff = DiffRequest::Never;
  // Ignored regions: the baseline's pixels stand in for the current ones there (where both images have pixels).
  std::vector<IgnoreRect> ignore_rects;
  ByteView ignore_mask;  // mask_width × mask_height bytes, non-zero where ignored; empty for none
  bool has_mask = false;
  std::size_t mask_width = 0, mask_height = 0;

  bool ignoring() const { return !ignore_rects.empty() || has_mask; }
};

// Range checks of every option, in declaration order; the first that fails is the error.
Status check_verdict_options(const VerdictOptions& options);

// Rows that moved: `rows` rows inserted at current row `y`, or deleted just before it, over columns [x0, x1).
// A deleted band at the top or bottom edge of a capture whose height did not change, beside rows inserted in the
// same columns, is content pushed out of the capture rather than removed: `at_edge`.
struct VerdictBand {
  bool deleted = false;
  std::size_t y = 0, rows = 0, x0 = 0, x1 = 0;
  bool at_edge = false;
  friend bool operator==(const VerdictBand&, const VerdictBand&) = default;
};

// A cluster of changes: its box (grown by the clustering's margin), the differing pixels of its own group (so the
// clusters of a pair never add up to more than its count), what kind of change it is, and the part of it an
// element must hold to name it (the box of its own pixels; for a move, where the content went).
struct VerdictCluster {
  std::size_t x = 0, y = 0, width = 0, height = 0, pixels = 0;
  ChangeClass kind;
  PixelBox part;
  friend bool operator==(const VerdictCluster&, const VerdictCluster&) = default;
};

// The steps whose cost the verdict can report.
enum class VerdictStep { Decode, Ignore, Count, Align, Layout, Ssim, Clusters, DiffImage, Thumbnails, COUNT };
std::string_view step_name(VerdictStep step);

struct Verdict {
  VerdictStatus status = VerdictStatus::Unchanged;
  bool passed = true;
  uint64_t diff_pixels = 0;
  double diff_ratio = 0.0;
  // Different pixels a move of at most `jitter` pixels explains, apart from diff_pixels (none when diff_pixels is
  // the residual of a layout shift), and Different pixels inside the ignored regions (of the current image as
  // given).
  uint64_t jitter_pixels = 0, ignored_pixels = 0;
  double ssim = 1.0;
  std::size_t width = 0, height = 0;  // the common canvas
  std::size_t baseline_width = 0, baseline_height = 0, current_width = 0, current_height = 0;
  std::vector<VerdictCluster> clusters;  // largest first
  bool shifted_rows = false;             // a shift was found (bands below); status "shifted" or "changed"
  std::vector<VerdictBand> bands;
  std::optional<Bytes> diff_png, baseline_thumbnail, current_thumbnail;
  // Process CPU seconds of each step, when asked for (zero for steps not run).
  std::optional<std::vector<double>> step_seconds;
};

// One image as given: a PNG file, or width × height RGBA pixels.
struct VerdictImage {
  ByteView bytes;
  bool png = true;
  std::size_t width = 0, height = 0;
};

// The verdict of a pair as given. Errors name the side in `failed_side` ("baseline" or "current") when one
// image could not be used.
struct VerdictError {
  CompareError error;
  std::string_view failed_side;  // empty when the error belongs to no side (an option, say)
};
std::variant<Verdict, VerdictError> verdict_of(const VerdictImage& baseline, const VerdictImage& current,
                                               const VerdictOptions& options, bool time_steps = false);

// The verdict of a decoded pair (ignored regions already applied). `identical` says the two images are known to be
// the same bytes; `given_current` is the current image as given, for its thumbnail, when it differs from the
// pair's (ignored regions).
struct GivenImage {
  ByteView rgba;
  std::size_t width = 0, height = 0;
};
Result<Verdict> verdict_of_pair(const ImagePair& pair, const VerdictOptions& options, bool identical = false,
                                std::optional<GivenImage> given_current = std::nullopt, bool time_steps = false);

}  // namespace qf
