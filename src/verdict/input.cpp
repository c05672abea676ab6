// The pair as given to the verdict: size limits checked before anything is decoded, the two PNG files decoded
// once (a file given twice, once), RGBA pixels taken as they are, ignored regions applied.
#include <algorithm>
#include <cstring>
#include <string>

#include "core/parallel.hpp"
#include "core/size.hpp"
#include "image_io/png.hpp"
#include "verdict/steps.hpp"

namespace qf {

namespace {

constexpr uint8_t PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

// The size a PNG file declares in its header, when it has one; decoding checks everything else.
std::optional<std::pair<uint64_t, uint64_t>> declared_size(ByteView png) {
  if (png.size() < 24 || std::memcmp(png.data(), PNG_SIGNATURE, 8) != 0 || std::memcmp(png.data() + 12, "IHDR", 4) != 0)
    return std::nullopt;
  auto be32 = [&](std::size_t at) {
    return uint64_t{png[at]} << 24 | uint64_t{png[at + 1]} << 16 | uint64_t{png[at + 2]} << 8 | uint64_t{png[at + 3]};
  };
  return std::pair{be32(16), be32(20)};
}

Status check_limit(uint64_t width, uint64_t height, uint64_t max_pixels) {
  auto n = checked_mul(width, height);
  if (n && *n <= max_pixels) return std::nullopt;
  return err::invalid_argument("image is " + std::to_string(width) + "x" + std::to_string(height) +
                               " pixels, more than max_pixels (" + std::to_string(max_pixels) + ")");
}

VerdictError side_error(CompareError e, std::string_view side) { return {std::move(e), side}; }

// Copies the baseline's pixels over the current image's inside the ignored regions, where both have pixels.
void apply_ignore(const RgbaImage& baseline, RgbaImage& current, const VerdictOptions& o) {
  const std::size_t w = std::min(baseline.width, current.width), h = std::min(baseline.height, current.height);
  const std::size_t cw = current.width, bw = baseline.width;
  uint8_t* out = current.data.data();
  const uint8_t* base = baseline.data.data();
  for (const IgnoreRect& r : o.ignore_rects) {
    if (r.x >= w || r.y >= h) continue;
    const std::size_t x1 = r.x + std::min<uint64_t>(r.width, w - r.x), y1 = r.y + std::min<uint64_t>(r.height, h - r.y);
    for (std::size_t y = r.y; y < y1; ++y)
      std::memcpy(out + 4 * (y * cw + r.x), base + 4 * (y * bw + r.x), 4 * (x1 - r.x));
  }
  if (o.has_mask) {
    const std::size_t mw = std::min(w, o.mask_width), mh = std::min(h, o.mask_height);
    for (std::size_t y = 0; y < mh; ++y) {
      const uint8_t* row = o.ignore_mask.data() + y * o.mask_width;
      for (std::size_t x = 0; x < mw; ++x)
        if (row[x]) std::memcpy(out + 4 * (y * cw + x), base + 4 * (y * bw + x), 4);
    }
  }
}

// The Different pixels of the pair as given that lie inside the ignored regions (where both images have pixels).
Result<uint64_t> ignored_differences(const RgbaImage& baseline, const RgbaImage& current, const VerdictOptions& o) {
  auto pair = make_image_pair(baseline.data, baseline.width, baseline.height, current.data, current.width,
                              current.height, false);
  if (!pair) return std::move(pair).error();
  DiffOptions diff;
  diff.threshold = o.threshold;
  diff.include_aa = o.include_aa;
  auto counted = verdict::count_and_mask(*pair, diff);
  if (!counted) return std::move(counted).error();
  if (counted->count == 0) return uint64_t{0};
  const std::size_t cw = pair->canvas_width;
  const std::size_t w = std::min(baseline.width, current.width), h = std::min(baseline.height, current.height);
  Bytes inside(counted->mask.size(), 0);
  for (const IgnoreRect& r : o.ignore_rects) {
    if (r.x >= w || r.y >= h) continue;
    const std::size_t x1 = r.x + std::min<uint64_t>(r.width, w - r.x), y1 = r.y + std::min<uint64_t>(r.height, h - r.y);
    for (std::size_t y = r.y; y < y1; ++y) std::memset(inside.data() + y * cw + r.x, 1, x1 - r.x);
  }
  if (o.has_mask) {
    const std::size_t mw = std::min(w, o.mask_width), mh = std::min(h, o.mask_height);
    for (std::size_t y = 0; y < mh; ++y)
      for (std::size_t x = 0; x < mw; ++x) inside[y * cw + x] |= o.ignore_mask[y * o.mask_width + x] != 0;
  }
  uint64_t n = 0;
  for (std::size_t i = 0; i < inside.size(); ++i) n += inside[i] && counted->mask[i];
  return n;
}

}  // namespace

std::variant<Verdict, VerdictError> verdict_of(const VerdictImage& baseline, const VerdictImage& current,
                                               const VerdictOptions& options, bool time_steps) {
  if (auto e = check_verdict_options(options)) return VerdictError{std::move(*e), {}};
  // Sizes first: nothing is decoded or copied for an image over the limit.
  const VerdictImage* sides[2] = {&baseline, &current};
  const std::string_view names[2] = {"baseline", "current"};
  for (int i = 0; i < 2; ++i) {
    const VerdictImage& s = *sides[i];
    if (s.png) {
      if (auto size = declared_size(s.bytes))
        if (auto e = check_limit(size->first, size->second, options.max_pixels)) return side_error(*e, names[i]);
    } else {
      if (auto e = check_rgba(s.bytes.size(), s.width, s.height)) return side_error(*e, names[i]);
      if (auto e = check_limit(s.width, s.height, options.max_pixels)) return side_error(*e, names[i]);
    }
  }

  verdict::StepClock clock(time_steps);
  const bool same_file = baseline.png && current.png && same_bytes(baseline.bytes, current.bytes);
  RgbaImage images[2];
  std::optional<Result<RgbaImage>> decoded[2];
  auto take = [&](int i) {
    const VerdictImage& s = *sides[i];
    if (s.png) decoded[i].emplace(decode_png(s.bytes));
    else decoded[i].emplace(RgbaImage{s.width, s.height, Bytes(s.bytes.begin(), s.bytes.end())});
  };
  if (same_file) take(0);
  else par::join([&] { take(0); }, [&] { take(1); });
  for (int i = 0; i < (same_file ? 1 : 2); ++i) {
    if (!*decoded[i]) return side_error(std::move(*decoded[i]).error(), names[i]);
    images[i] = std::move(*decoded[i]).value();
  }
  if (same_file) images[1] = RgbaImage{images[0].width, images[0].height, images[0].data};
  clock.done(VerdictStep::Decode);

  // Ignored regions: the baseline's pixels stand in for the current ones there.
  std::optional<RgbaImage> given;
  uint64_t ignored = 0;
  if (options.ignoring()) {
    const std::size_t cw = std::max(images[0].width, images[1].width), ch = std::max(images[0].height, images[1].height);
    if (options.has_mask && (options.mask_width != cw || options.mask_height != ch))
      return VerdictError{err::invalid_argument("ignore mask is " + std::to_string(options.mask_width) + "x" +
                                                std::to_string(options.mask_height) +
                                                " (width x height), but the images' canvas is " + std::to_string(cw) +
                                                "x" + std::to_string(ch)),
                          {}};
    if (options.thumbnails) given = RgbaImage{images[1].width, images[1].height, images[1].data};
    auto n = ignored_differences(images[0], images[1], options);
    if (!n) return VerdictError{std::move(n).error(), {}};
    ignored = *n;
    apply_ignore(images[0], images[1], options);
  }
  clock.done(VerdictStep::Ignore);

  auto pair = make_image_pair(std::move(images[0].data), images[0].width, images[0].height,
                              std::move(images[1].data), images[1].width, images[1].height,
                              options.thumbnails.has_value());
  if (!pair) return VerdictError{std::move(pair).error(), {}};
  std::optional<GivenImage> given_current;
  if (given) given_current = GivenImage{given->data, given->width, given->height};
  auto v = verdict::run(*pair, options, same_file && !options.ignoring(), given_current, clock);
  if (!v) return VerdictError{std::move(v).error(), {}};
  v->ignored_pixels = ignored;
  return std::move(*v);
}

}  // namespace qf
