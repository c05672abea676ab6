// Operations made of several subsystems' steps, written once for the Comparison methods, the module functions
// and the batch functions: the diff image as a PNG file, the clusters of a pair, thumbnails.
#pragma once

#include <cstdint>

#include "clusters/clusters.hpp"
#include "core/error.hpp"
#include "core/image_pair.hpp"
#include "core/options.hpp"
#include "core/types.hpp"
#include "image_io/thumbnail.hpp"
#include "pixeldiff/pixeldiff.hpp"

namespace qf {

struct DiffPng {
  Bytes png;           // 8-bit RGB PNG file of the diff image
  uint64_t count = 0;  // pixels painted as Different
};

// The diff image of the pair's canvases (render_diff) encoded as PNG at canvas size.
Result<DiffPng> diff_png(const ImagePair& pair, const DiffOptions& options);
// Encodes a drawn diff image of width × height, freeing its pixels as soon as they are encoded.
Result<DiffPng> encode_diff(Result<DiffImage> image, std::size_t width, std::size_t height);

// The clusters of the pixels that differ between the pair's canvases (build_diff_mask, then cluster_mask).
Result<ClusterList> pair_clusters(const ImagePair& pair, const DiffOptions& diff, const ClusterOptions& clusters);

// The thumbnail of a PNG file.
Result<Bytes> png_thumbnail(ByteView png, const ThumbnailRequest& request);

// The thumbnail of the current image at its own size, or of the baseline at canvas size (padding included).
enum class Side { Baseline, Current };
Result<Bytes> pair_thumbnail(const ImagePair& pair, Side side, const ThumbnailRequest& request);

}  // namespace qf
