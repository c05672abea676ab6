#include "compose/compose.hpp"

#include <utility>

#include "image_io/png.hpp"

namespace qf {

Result<DiffPng> encode_diff(Result<DiffImage> image, std::size_t width, std::size_t height) {
  if (!image) return std::move(image).error();
  auto png = encode_png(image->rgba, width, height);
  Bytes().swap(image->rgba);
  if (!png) return std::move(png).error();
  return DiffPng{std::move(png).value(), image->count};
}

Result<DiffPng> diff_png(const ImagePair& pair, const DiffOptions& options) {
  const std::size_t w = pair.canvas_width, h = pair.canvas_height;
  auto painter = diff_row_painter(pair.baseline, pair.current, w, h, options);
  if (!painter) return std::move(painter).error();
  // Drawn a segment at a time by the encoder's workers, each band painted, filtered and deflated while it is
  // in their caches.
  auto png = encode_png_rows(w, h, *painter);
  if (!png) return std::move(png).error();
  return DiffPng{std::move(png->png), png->painted};
}

Result<ClusterList> pair_clusters(const ImagePair& pair, const DiffOptions& diff, const ClusterOptions& clusters) {
  auto mask = build_diff_mask(pair.baseline, pair.current, pair.canvas_width, pair.canvas_height, diff);
  if (!mask) return std::move(mask).error();
  return cluster_mask(mask->bits, pair.canvas_width, pair.canvas_height, clusters);
}

Result<Bytes> png_thumbnail(ByteView png, const ThumbnailRequest& request) {
  auto image = decode_png(png);
  if (!image) return std::move(image).error();
  return make_thumbnail(image->data, image->width, image->height, request);
}

Result<Bytes> pair_thumbnail(const ImagePair& pair, Side side, const ThumbnailRequest& request) {
  if (side == Side::Current) return make_thumbnail(pair.current_own(), pair.current_width, pair.current_height, request);
  return make_thumbnail(pair.baseline, pair.canvas_width, pair.canvas_height, request);
}

}  // namespace qf
