#include "core/image_pair.hpp"

#include <algorithm>
#include <cstring>

#include "core/size.hpp"

namespace qf {

OnceCell::OnceCell(OnceCell&& other) noexcept {
  if (other.state_.load(std::memory_order_acquire) == READY) {
    value_ = other.value_;
    state_.store(READY, std::memory_order_release);
  }
}

void OnceCell::publish(uint64_t v) {
  value_ = v;
  state_.store(READY, std::memory_order_release);
  state_.notify_all();
}

void OnceCell::wait_ready() {
  int s = state_.load(std::memory_order_acquire);
  while (s == BUSY) {
    state_.wait(BUSY, std::memory_order_acquire);
    s = state_.load(std::memory_order_acquire);
  }
}

void OnceCell::seed(uint64_t value) {
  int expected = EMPTY;
  if (state_.compare_exchange_strong(expected, BUSY, std::memory_order_acq_rel)) publish(value);
}

std::optional<uint64_t> OnceCell::peek() const {
  if (state_.load(std::memory_order_acquire) == READY) return value_;
  return std::nullopt;
}

Result<Bytes> pad_to_canvas(ByteView source, std::size_t source_width, std::size_t source_height,
                            std::size_t target_width, std::size_t target_height) {
  if (target_width < source_width || target_height < source_height) return err::source_too_large();
  auto n = pixel_count(target_width, target_height);
  if (!n) return n.error();
  if (auto e = check_rgba(source.size(), source_width, source_height)) return *e;
  Bytes out(*n * 4, 0);
  const std::size_t src_row = source_width * 4, dst_row = target_width * 4;
  if (src_row == 0) return out;
  for (std::size_t y = 0; y < source_height; ++y)
    std::memcpy(out.data() + y * dst_row, source.data() + y * src_row, src_row);
  return out;
}

Result<ImagePair> make_image_pair(Bytes baseline, std::size_t baseline_width, std::size_t baseline_height,
                                  Bytes current, std::size_t current_width, std::size_t current_height,
                                  bool keep_unpadded) {
  if (auto e = check_rgba(baseline.size(), baseline_width, baseline_height)) return *e;
  if (auto e = check_rgba(current.size(), current_width, current_height)) return *e;

  ImagePair pair;
  pair.canvas_width = std::max(baseline_width, current_width);
  pair.canvas_height = std::max(baseline_height, current_height);
  pair.baseline_width = baseline_width;
  pair.baseline_height = baseline_height;
  pair.current_width = current_width;
  pair.current_height = current_height;
  // Each image is at most canvas-sized, but the canvas itself may still overflow (e.g. 2^40 × 1 beside 1 × 2^40).
  if (auto n = pixel_count(pair.canvas_width, pair.canvas_height); !n) return n.error();

  // An image that already has the canvas size is used as it is; `own` receives the unpadded bytes if wanted.
  auto place = [&](Bytes& image, std::size_t w, std::size_t h, std::optional<Bytes>* own) -> Status {
    if (w == pair.canvas_width && h == pair.canvas_height) return std::nullopt;
    auto padded = pad_to_canvas(image, w, h, pair.canvas_width, pair.canvas_height);
    if (!padded) return padded.error();
    if (own) *own = std::move(image);
    image = std::move(padded).value();
    return std::nullopt;
  };
  if (auto e = place(baseline, baseline_width, baseline_height, nullptr)) return *e;
  if (auto e = place(current, current_width, current_height, keep_unpadded ? &pair.current_unpadded : nullptr))
    return *e;
  pair.baseline = std::move(baseline);
  pair.current = std::move(current);
  return pair;
}

}  // namespace qf
