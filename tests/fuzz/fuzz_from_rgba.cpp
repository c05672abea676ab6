// Comparison.from_rgba with fuzzed sizes and buffer lengths, then one or two of the methods on the pair.
//
// Sizes are drawn mostly small, sometimes at the edges of the machine word (0, powers of two, 2^64 − 1,
// anything), so that every size check and every loop bounded by a size is reached with hostile values.
// Buffers come from the input and are mostly of the right length, sometimes a few bytes off.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <limits>

#include "alignment/alignment.hpp"
#include "clusters/clusters.hpp"
#include "core/image_pair.hpp"
#include "core/size.hpp"
#include "image_io/png.hpp"
#include "image_io/thumbnail.hpp"
#include "pixeldiff/pixeldiff.hpp"
#include "ssim/ssim.hpp"

namespace {

constexpr std::size_t MAX_BUFFER = 1 << 16;
// Two empty images can ask for any canvas (0 x H and W x 0 make W x H), which the engine then allocates as asked;
// larger canvases are left out so that a run measures the checks, not the machine's memory.
constexpr uint64_t MAX_CANVAS_BYTES = 1 << 18;

void check(bool condition) {
  if (!condition) std::abort();
}

std::size_t pick_side(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 9)) {
    case 0: return 0;
    case 1: return in.ConsumeIntegral<uint64_t>();
    case 2: return uint64_t{1} << in.ConsumeIntegralInRange(0, 63);
    case 3: return std::numeric_limits<uint64_t>::max() - in.ConsumeIntegralInRange<uint64_t>(0, 2);
    default: return in.ConsumeIntegralInRange<std::size_t>(1, 40);
  }
}

// An option that takes any unsigned value: mostly small, sometimes at the far end.
std::size_t pick_count(FuzzedDataProvider& in, std::size_t small) {
  switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0: return std::numeric_limits<uint64_t>::max() - in.ConsumeIntegralInRange<uint64_t>(0, 2);
    case 1: return in.ConsumeIntegral<uint64_t>();
    default: return in.ConsumeIntegralInRange<std::size_t>(0, small);
  }
}

// merge_overlap accepts any float, NaN and infinities included.
double pick_overlap(FuzzedDataProvider& in) {
  constexpr double values[] = {0.5, 0.0, 1.0, 0.25, -1.0, 2.0, std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::denorm_min()};
  return values[in.ConsumeIntegralInRange<std::size_t>(0, std::size(values) - 1)];
}

qf::ClusterOptions pick_cluster_options(FuzzedDataProvider& in) {
  qf::ClusterOptions c;
  c.min_pixels = pick_count(in, 20);
  c.min_side = pick_count(in, 4);
  c.dilation = pick_count(in, 5);
  c.merge_gap = pick_count(in, 5);
  c.merge_overlap = pick_overlap(in);
  if (in.ConsumeBool()) c.max_clusters = pick_count(in, 5);
  return c;
}

qf::Bytes pick_buffer(FuzzedDataProvider& in, std::size_t width, std::size_t height) {
  std::size_t length = in.ConsumeIntegralInRange<std::size_t>(0, 64);
  auto n = qf::pixel_count(width, height);
  if (n && *n <= MAX_BUFFER / 4) {
    const std::size_t exact = *n * 4;
    switch (in.ConsumeIntegralInRange(0, 7)) {
      case 0: break;  // any short length
      case 1: length = exact + in.ConsumeIntegralInRange(1, 4); break;
      case 2: length = exact - std::min<std::size_t>(exact, in.ConsumeIntegralInRange(1, 4)); break;
      default: length = exact;
    }
  }
  const std::vector<uint8_t> consumed = in.ConsumeBytes<uint8_t>(length);
  qf::Bytes bytes(consumed.begin(), consumed.end());
  bytes.resize(length, 0x80);
  return bytes;
}

qf::DiffOptions pick_options(FuzzedDataProvider& in) {
  qf::DiffOptions o;
  o.threshold = in.ConsumeIntegralInRange(0, 100) / 100.0;
  o.alpha = in.ConsumeIntegralInRange(0, 10) / 10.0;
  o.include_aa = in.ConsumeBool();
  if (in.ConsumeBool()) o.diff_color_alt = qf::Rgb{0, 128, 255};
  return o;
}

// One of the Comparison methods on the pair, with the checks its result must pass.
void run_method(FuzzedDataProvider& in, const qf::ImagePair& p) {
  const std::size_t w = p.canvas_width, h = p.canvas_height;
  const qf::DiffOptions o = pick_options(in);
  switch (in.ConsumeIntegralInRange(0, 6)) {
    case 0: {
      auto all = qf::count_diffs(p.baseline, p.current, w, h, o);
      auto capped = qf::count_diffs(p.baseline, p.current, w, h, o, in.ConsumeIntegralInRange<uint64_t>(1, 50));
      check(all.ok() && capped.ok() && *capped <= *all && *all <= w * h);
      break;
    }
    case 1: {
      auto image = qf::render_diff(p.baseline, p.current, w, h, o);
      check(image.ok());
      auto png = qf::encode_png(image->rgba, w, h);
      if (png) {
        auto back = qf::decode_png(*png);
        check(back.ok() && back->width == w && back->height == h && back->data == image->rgba);
      }
      break;
    }
    case 2: {
      auto mask = qf::build_diff_mask(p.baseline, p.current, w, h, o);
      check(mask.ok());
      auto list = qf::cluster_mask(mask->bits, w, h, pick_cluster_options(in));
      check(list.clusters.size() <= list.total_clusters);
      break;
    }
    case 3: {
      auto score = qf::ssim_rgba(p.baseline, p.current, w, h);
      if (score) check(*score >= 0.0 && *score <= 1.0);
      break;
    }
    case 4: {
      qf::AlignOptions a;
      a.max_edit_ratio = in.ConsumeIntegralInRange(0, 4) / 4.0;
      a.max_edit_rows = pick_count(in, 64);
      auto record = qf::align_rows(p, o, a);
      check(record.ok());
      if (record->aligned) {
        auto diff = qf::aligned_diff_png(p, *record, o);
        auto score = qf::aligned_ssim_score(p, *record);
        auto list = qf::aligned_cluster_list(p, *record, o, pick_cluster_options(in));
        if (score) check(*score >= 0.0 && *score <= 1.0);
        if (list) check(list->clusters.size() <= list->total_clusters);
        (void)diff;
      }
      break;
    }
    default: {
      qf::ThumbnailRequest r;
      r.width = pick_count(in, 48);
      if (in.ConsumeBool()) r.height = pick_count(in, 48);
      if (in.ConsumeBool()) r.min_width = pick_count(in, 48);
      if (in.ConsumeBool()) r.min_height = pick_count(in, 48);
      auto current = qf::make_thumbnail(p.current_own(), p.current_width, p.current_height, r);
      auto baseline = qf::make_thumbnail(p.baseline, w, h, r);
      (void)current;
      (void)baseline;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::size_t bw = pick_side(in), bh = pick_side(in), cw = pick_side(in), ch = pick_side(in);
  qf::Bytes b = pick_buffer(in, bw, bh);
  qf::Bytes c = pick_buffer(in, cw, ch);
  const std::size_t b_length = b.size(), c_length = c.size();
  auto canvas = qf::pixel_count(std::max(bw, cw), std::max(bh, ch));
  if (canvas && *canvas * 4 > MAX_CANVAS_BYTES && !qf::check_rgba(b_length, bw, bh) &&
      !qf::check_rgba(c_length, cw, ch))
    return 0;
  auto pair = qf::make_image_pair(std::move(b), bw, bh, std::move(c), cw, ch);
  if (!pair) {
    // Refused only for a size that overflows or a length that does not match it.
    check(qf::check_rgba(b_length, bw, bh) || qf::check_rgba(c_length, cw, ch) ||
          pair.error().kind == qf::ErrorKind::DimensionsOverflow);
    return 0;
  }
  check(!qf::check_rgba(b_length, bw, bh) && !qf::check_rgba(c_length, cw, ch));
  const int methods = in.ConsumeIntegralInRange(1, 2);
  for (int i = 0; i < methods; ++i) run_method(in, *pair);
  return 0;
}
