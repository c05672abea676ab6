// Batch comparison: the per-pair operations of the batch functions, mapped over a list of PNG pairs on the
// worker pool. Results come back in input order; the first error recorded fails the whole batch and stops
// further pairs from starting.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/image_pair.hpp"
#include "core/options.hpp"
#include "core/types.hpp"

namespace qf {

// (baseline PNG, current PNG) file bytes, owned by the batch.
using PngPair = std::pair<Bytes, Bytes>;

struct CountElement {
  uint64_t count = 0;
  std::size_t width = 0, height = 0;  // the common canvas
};

struct DiffElement {
  Bytes png;  // the diff image at canvas size
  uint64_t count = 0;
  std::size_t width = 0, height = 0;
};

struct CompareElement {
  uint64_t count = 0;
  double ssim = 0.0;
  std::size_t width = 0, height = 0;
  std::optional<Bytes> diff_png;   // with return_diff
  std::optional<Bytes> thumbnail;  // with thumbnail_width
};

// The pixel options, then what compare_batch adds to each element.
struct CompareOptions : DiffOptions {
  bool return_diff = false;
  std::optional<std::size_t> thumbnail_width;
  std::optional<std::size_t> thumbnail_height;  // ignored without thumbnail_width
};

// Every batch consumes its pairs: each pair's input bytes and decoded images are freed as soon as that pair is
// done, so a long batch holds its inputs and results but never all the decoded canvases at once.
Result<std::vector<DiffElement>> diff_batch(std::vector<PngPair>& pairs, const DiffOptions& options);
Result<std::vector<CountElement>> diff_count_batch(std::vector<PngPair>& pairs, const DiffOptions& options);
Result<std::vector<double>> ssim_batch(std::vector<PngPair>& pairs);
Result<std::vector<CompareElement>> compare_batch(std::vector<PngPair>& pairs, const CompareOptions& options);
// The pairs exactly as the PNG constructor of a Comparison builds them (current image's own bytes kept).
Result<std::vector<ImagePair>> image_pair_batch(std::vector<PngPair>& pairs);

// One pair: both decodes as one fork–join (baseline error first), then the common canvas. Frees `input`.
Result<ImagePair> open_png_pair(PngPair input, bool keep_unpadded);

// compare_batch's work for one pair. Frees `input`.
Result<CompareElement> compare_pair(PngPair input, const CompareOptions& options);

}  // namespace qf
