// The verdict of one pair, step by step: count (marking the mask), whole-row alignment, layout analysis when
// whole rows do not explain the change, status and tolerances, SSIM, clusters, images.
#include "verdict/verdict.hpp"

#include <cmath>

#include "alignment/alignment.hpp"
#include "classify/shifted.hpp"
#include "clusters/clusters.hpp"
#include "compose/compose.hpp"
#include "core/size.hpp"
#include "image_io/png.hpp"
#include "image_io/thumbnail.hpp"
#include "layout/layout.hpp"
#include "pixeldiff/jitter.hpp"
#include "pixeldiff/pixeldiff.hpp"
#include "ssim/ssim.hpp"
#include "verdict/steps.hpp"

namespace qf {

namespace {

using verdict::CountedPair;

// The largest side a WebP image may have: taller thumbnails are cropped at the top.
constexpr std::size_t WEBP_MAX_SIDE = 16383;

}  // namespace


std::string_view status_name(VerdictStatus status) {
  switch (status) {
    case VerdictStatus::Unchanged: return "unchanged";
    case VerdictStatus::Shifted: return "shifted";
    case VerdictStatus::Changed: return "changed";
    case VerdictStatus::SizeChanged: return "size-changed";
  }
  return "changed";
}

std::string_view step_name(VerdictStep step) {
  switch (step) {
    case VerdictStep::Decode: return "decode";
    case VerdictStep::Ignore: return "ignore";
    case VerdictStep::Count: return "count";
    case VerdictStep::Align: return "align";
    case VerdictStep::Layout: return "layout";
    case VerdictStep::Ssim: return "ssim";
    case VerdictStep::Clusters: return "clusters";
    case VerdictStep::DiffImage: return "diff_image";
    case VerdictStep::Thumbnails: return "thumbnails";
    case VerdictStep::COUNT: break;
  }
  return "?";
}

namespace verdict {

namespace {

// Within every tolerance given; with none given, a difference is never within tolerance.
bool within_tolerance(const VerdictOptions& o, uint64_t diff_pixels, double ratio) {
  if (!o.max_diff_pixels && !o.max_diff_ratio) return false;
  return (!o.max_diff_pixels || diff_pixels <= *o.max_diff_pixels) && (!o.max_diff_ratio || ratio <= *o.max_diff_ratio);
}

// Whether the alignment explains every difference as rows inserted or deleted.
bool whole_row_shift(const AlignmentRecord& a) {
  if (!a.aligned || a.residual_count != 0 || a.bands.empty()) return false;
  uint64_t rows = 0;
  for (const BandRecord& b : a.bands) rows += b.rows;
  // Insertions and deletions that share no content were merged into changed blocks: fewer rows are then left in
  // bands than were inserted and deleted.
  return rows == a.inserted_rows + a.deleted_rows;
}

Result<Bytes> encoded(Result<Bytes> rgba, std::size_t width, std::size_t height) {
  if (!rgba) return std::move(rgba).error();
  return encode_png(*rgba, width, height);
}

// The plain diff image with the jitter pixels of `mask` drawn in the anti-aliasing colour.
Result<Bytes> jitter_diff(const ImagePair& pair, const DiffOptions& options, const Bytes& mask) {
  auto image = render_diff(pair.baseline, pair.current, pair.canvas_width, pair.canvas_height, options);
  if (!image) return std::move(image).error();
  uint8_t* px = image->rgba.data();
  for (std::size_t i = 0; i < mask.size(); ++i)
    if (mask[i] == MASK_JITTER) {
      px[4 * i] = options.aa_color.r;
      px[4 * i + 1] = options.aa_color.g;
      px[4 * i + 2] = options.aa_color.b;
    }
  return std::move(image->rgba);
}

}  // namespace

Result<Verdict> run(const ImagePair& pair, const VerdictOptions& options, bool identical,
                    std::optional<GivenImage> given_current, StepClock& clock) {
  if (auto e = check_verdict_options(options)) return *e;
  DiffOptions diff;
  diff.threshold = options.threshold;
  diff.include_aa = options.include_aa;

  Verdict v;
  const std::size_t w = pair.canvas_width, h = pair.canvas_height;
  v.width = w;
  v.height = h;
  v.baseline_width = pair.baseline_width;
  v.baseline_height = pair.baseline_height;
  v.current_width = pair.current_width;
  v.current_height = pair.current_height;
  const uint64_t pixels = static_cast<uint64_t>(w) * h;
  const bool same_size = !pair.size_mismatch();
  const bool empty_side = pair.baseline_width * pair.baseline_height == 0 ||
                          pair.current_width * pair.current_height == 0;

  // Images of the same pixels: nothing differs and SSIM is exactly 1.0, so neither is computed.
  if (!identical && same_size) identical = same_bytes(pair.baseline, pair.current);
  CountedPair counted;
  if (!identical) {
    auto c = count_and_mask(pair, diff);
    if (!c) return std::move(c).error();
    counted = std::move(*c);
  }
  // Under a jitter radius the Different pixels a small move explains are marked apart in the mask (MASK_JITTER)
  // and leave the count.
  if (options.jitter > 0 && counted.count > 0) {
    v.jitter_pixels = mark_jitter(pair.baseline, pair.current, w, h, counted.mask, options.jitter);
    counted.count -= v.jitter_pixels;
  }
  clock.done(VerdictStep::Count);
  auto ratio_of = [&](uint64_t n) { return pixels ? static_cast<double>(n) / static_cast<double>(pixels) : 0.0; };
  v.diff_pixels = counted.count;
  v.diff_ratio = ratio_of(v.diff_pixels);

  std::optional<AlignmentRecord> alignment;
  std::optional<LayoutRecord> layout;
  bool whole = false;
  if (counted.count == 0 && same_size) {
    v.status = VerdictStatus::Unchanged;
  } else {
    if (pair.baseline_width == pair.current_width) {
      auto a = align_rows(pair, diff, AlignOptions{});
      if (!a) return std::move(a).error();
      alignment = std::move(*a);
      whole = whole_row_shift(*alignment);
      clock.done(VerdictStep::Align);
      if (!whole && !empty_side) {
        // Whole rows did not explain it: a pane may have moved beside a fixed sidebar, header or table of
        // contents. A shift with real changes beside it counts as changed, by the residual alone, when that is
        // less than the plain count. When no column moved, the residual need only be known to be non-zero.
        LayoutOptions lo;
        lo.static_residual_cap = 0;
        auto l = analyze_layout(pair, diff, AlignOptions{}, lo);
        if (!l) return std::move(l).error();
        const bool moved = (l->verdict == LayoutVerdict::Shifted || l->verdict == LayoutVerdict::Changed) &&
                           !column_bands(*l).empty();
        if (moved && !(l->verdict == LayoutVerdict::Changed && (!same_size || l->residual_count >= counted.count)))
          layout = std::move(*l);
        clock.done(VerdictStep::Layout);
      }
    }
    if (layout) {
      v.status = layout->verdict == LayoutVerdict::Shifted ? VerdictStatus::Shifted : VerdictStatus::Changed;
      if (v.status == VerdictStatus::Changed) {
        v.jitter_pixels = 0;  // the residual of the shift is counted as it is, with no jitter beside it
        v.diff_pixels = layout->residual_count;
        v.diff_ratio = ratio_of(v.diff_pixels);
      }
    } else if (whole) {
      v.status = VerdictStatus::Shifted;
    } else {
      v.status = same_size ? VerdictStatus::Changed : VerdictStatus::SizeChanged;
    }
  }
  const bool within = within_tolerance(options, v.diff_pixels, v.diff_ratio);
  switch (v.status) {
    case VerdictStatus::Unchanged: v.passed = true; break;
    case VerdictStatus::Shifted: v.passed = options.allow_shift || within; break;
    case VerdictStatus::Changed: v.passed = within; break;
    case VerdictStatus::SizeChanged: v.passed = false; break;
  }

  // The bands, as the product layer reads them: blocks split by rows that only happen to match are one block
  // (the diff image paints them as such too).
  if (layout) {
    v.shifted_rows = true;
    for (ColumnRegion& r : layout->regions) {
      if (r.moved) {
        r.segments = merge_split_blocks(std::move(r.segments), pair, r.x0, r.x1);
        r.bands = extract_bands(r.segments);
      }
      append_bands(r.segments, r.x0, r.x1, pair, v.bands);
    }
  } else if (whole) {
    v.shifted_rows = true;
    alignment->resolved_segments = merge_split_blocks(std::move(alignment->resolved_segments), pair, 0, w);
    append_bands(alignment->resolved_segments, 0, w, pair, v.bands);
  }

  // SSIM, with the shift taken out when one was.
  if (identical) {
    v.ssim = 1.0;
  } else {
    Result<double> s = layout  ? undone_ssim(pair, *layout)
                       : whole ? matched_rows_ssim(pair, *alignment)
                               : ssim_rgba_streamed(pair.baseline, pair.current, w, h, counted.start);
    if (!s) return std::move(s).error();
    v.ssim = *s;
  }
  clock.done(VerdictStep::Ssim);

  // Clusters: of the residual when a layout shift was taken out (classified against the baseline read through
  // the shift, in the current image's rows), else of the mask the count marked.
  const auto add_clusters = [&](const ClusterList& found, const RgbaView& b, const RgbaView& c) {
    for (const ClusterRecord& k : found.clusters) {
      const ChangeClass kind = classify_change(b, c, {k.x, k.y, k.width, k.height});
      v.clusters.push_back({k.x, k.y, k.width, k.height, k.own_pixels, kind,
                            named_part({k.own_x, k.own_y, k.own_width, k.own_height}, kind)});
    }
  };
  if (layout) {
    if (layout->residual_count > 0 && layout->any_moved()) {
      auto mask = layout_residual_mask(pair, *layout, diff);
      if (!mask) return std::move(mask).error();
      const std::size_t hc = pair.current_height;
      const Bytes through = baseline_in_current_rows(pair, *layout);
      add_clusters(clusters_of(*mask, w, hc), RgbaView{through, w, hc},
                   RgbaView{ByteView(pair.current).first(w * hc * 4), w, hc});
    }
  } else if ((v.status == VerdictStatus::Changed || v.status == VerdictStatus::SizeChanged) && counted.count > 0) {
    const RgbaView b{pair.baseline, w, h}, c{pair.current, w, h};
    if (v.jitter_pixels == 0) {
      add_clusters(clusters_of(counted.mask, w, h), b, c);
    } else {
      Bytes changes(counted.mask.size());
      for (std::size_t i = 0; i < changes.size(); ++i) changes[i] = counted.mask[i] == MASK_DIFFERENT;
      add_clusters(clusters_of(changes, w, h), b, c);
    }
  }
  if (v.jitter_pixels == 0) counted.mask = Bytes();  // else the diff image draws its jitter pixels
  clock.done(VerdictStep::Clusters);

  // An empty canvas has no picture: no diff image and no thumbnails.
  const bool draw = pixels > 0 && (options.diff == DiffRequest::Always ||
                                   (options.diff == DiffRequest::Changes && v.status != VerdictStatus::Unchanged));
  if (draw) {
    Result<Bytes> png = Bytes();
    if (layout) {
      png = encoded(render_layout_diff(pair, *layout, diff), w, pair.current_height);
    } else if (whole) {
      png = encoded(render_aligned_diff(pair, *alignment, diff), w, pair.current_height);
    } else if (v.jitter_pixels > 0) {
      png = encoded(jitter_diff(pair, diff, counted.mask), w, h);
    } else {
      auto d = diff_png(pair, diff);
      if (!d) return std::move(d).error();
      png = std::move(d->png);
    }
    if (!png) return std::move(png).error();
    if (!png->empty()) v.diff_png = std::move(*png);
    clock.done(VerdictStep::DiffImage);
  }

  if (options.thumbnails && pixels > 0) {
    ThumbnailRequest request;
    request.width = *options.thumbnails;
    request.height = WEBP_MAX_SIDE;
    auto b = make_thumbnail(pair.baseline, w, h, request);
    if (!b) return std::move(b).error();
    v.baseline_thumbnail = std::move(*b);
    if (pair.current_width * pair.current_height > 0) {
      auto c = given_current ? make_thumbnail(given_current->rgba, given_current->width, given_current->height, request)
                             : pair_thumbnail(pair, Side::Current, request);
      if (!c) return std::move(c).error();
      v.current_thumbnail = std::move(*c);
    }
    clock.done(VerdictStep::Thumbnails);
  }
  v.step_seconds = clock.take();
  return v;
}

}  // namespace verdict

Result<Verdict> verdict_of_pair(const ImagePair& pair, const VerdictOptions& options, bool identical,
                                std::optional<GivenImage> given_current, bool time_steps) {
  verdict::StepClock clock(time_steps);
  return verdict::run(pair, options, identical, given_current, clock);
}

}  // namespace qf
