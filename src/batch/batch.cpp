#include "batch/batch.hpp"

#include "compose/compose.hpp"
#include "core/parallel.hpp"
#include "image_io/png.hpp"
#include "image_io/thumbnail.hpp"
#include "pixeldiff/pixeldiff.hpp"
#include "ssim/ssim.hpp"

namespace qf {

namespace {

// Hands pair i to `op` by value, so its input is released when the pair finishes, not when the batch does.
template <class T, class Op>
Result<std::vector<T>> map_pairs(std::vector<PngPair>& pairs, Op op) {
  return par::ordered_map<T>(pairs.size(), [&](std::size_t i) -> Result<T> { return op(std::move(pairs[i])); });
}

Result<std::pair<RgbaImage, RgbaImage>> decode_and_free(PngPair input) {
  return decode_png_pair(input.first, input.second);
}

// The canvases are no longer needed once the pixel work is done; free them before the encoder allocates.
void release_canvases(ImagePair& pair) {
  Bytes().swap(pair.baseline);
  Bytes().swap(pair.current);
}

}  // namespace

Result<ImagePair> open_png_pair(PngPair input, bool keep_unpadded) {
  auto decoded = decode_and_free(std::move(input));
  if (!decoded) return decoded.error();
  auto& [baseline, current] = *decoded;
  return make_image_pair(std::move(baseline.data), baseline.width, baseline.height, std::move(current.data),
                         current.width, current.height, keep_unpadded);
}

Result<CompareElement> compare_pair(PngPair input, const CompareOptions& options) {
  auto decoded = decode_and_free(std::move(input));
  if (!decoded) return decoded.error();
  auto& [baseline, current] = *decoded;

  CompareElement element;
  // The thumbnail shows the current image at its own size, so it is made before the padding.
  if (options.thumbnail_width) {
    ThumbnailRequest request{*options.thumbnail_width, options.thumbnail_height, std::nullopt, std::nullopt};
    auto thumbnail = make_thumbnail(current.data, current.width, current.height, request);
    if (!thumbnail) return thumbnail.error();
    element.thumbnail = std::move(thumbnail).value();
  }

  auto pair = make_image_pair(std::move(baseline.data), baseline.width, baseline.height, std::move(current.data),
                              current.width, current.height, /*keep_unpadded=*/false);
  if (!pair) return pair.error();
  const std::size_t w = pair->canvas_width, h = pair->canvas_height;
  element.width = w;
  element.height = h;

  std::optional<Result<DiffImage>> rendered;
  std::optional<Result<uint64_t>> counted;
  std::optional<Result<double>> ssim;
  par::join(
      [&] {
        if (options.return_diff)
          rendered.emplace(render_diff(pair->baseline, pair->current, w, h, options));
        else
          counted.emplace(count_diffs(pair->baseline, pair->current, w, h, options));
      },
      [&] { ssim.emplace(ssim_rgba(pair->baseline, pair->current, w, h)); });

  // The count or render half's error wins over the SSIM's.
  if (rendered && !*rendered) return rendered->error();
  if (counted && !*counted) return counted->error();
  if (!*ssim) return ssim->error();
  element.ssim = ssim->value();
  release_canvases(*pair);

  if (options.return_diff) {
    auto diff = encode_diff(std::move(*rendered), w, h);
    if (!diff) return diff.error();
    element.count = diff->count;
    element.diff_png = std::move(diff->png);
  } else {
    element.count = counted->value();
  }
  return element;
}

Result<std::vector<DiffElement>> diff_batch(std::vector<PngPair>& pairs, const DiffOptions& options) {
  return map_pairs<DiffElement>(pairs, [&](PngPair input) -> Result<DiffElement> {
    auto pair = open_png_pair(std::move(input), false);
    if (!pair) return pair.error();
    const std::size_t w = pair->canvas_width, h = pair->canvas_height;
    auto diff = diff_png(std::move(*pair), options);
    if (!diff) return diff.error();
    return DiffElement{std::move(diff->png), diff->count, w, h};
  });
}

Result<std::vector<CountElement>> diff_count_batch(std::vector<PngPair>& pairs, const DiffOptions& options) {
  return map_pairs<CountElement>(pairs, [&](PngPair input) -> Result<CountElement> {
    auto pair = open_png_pair(std::move(input), false);
    if (!pair) return pair.error();
    auto count = count_diffs(pair->baseline, pair->current, pair->canvas_width, pair->canvas_height, options);
    if (!count) return count.error();
    return CountElement{*count, pair->canvas_width, pair->canvas_height};
  });
}

Result<std::vector<double>> ssim_batch(std::vector<PngPair>& pairs) {
  return map_pairs<double>(pairs, [&](PngPair input) -> Result<double> {
    auto pair = open_png_pair(std::move(input), false);
    if (!pair) return pair.error();
    return ssim_rgba(pair->baseline, pair->current, pair->canvas_width, pair->canvas_height);
  });
}

Result<std::vector<CompareElement>> compare_batch(std::vector<PngPair>& pairs, const CompareOptions& options) {
  return map_pairs<CompareElement>(pairs, [&](PngPair input) { return compare_pair(std::move(input), options); });
}

Result<std::vector<ImagePair>> image_pair_batch(std::vector<PngPair>& pairs) {
  return map_pairs<ImagePair>(pairs, [](PngPair input) { return open_png_pair(std::move(input), true); });
}

}  // namespace qf
