// The baseline and current images on their common canvas: the value every Comparison owns.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "core/error.hpp"
#include "core/types.hpp"

namespace qf {

// A write-once cell: the first caller computes the value, concurrent callers wait for it and read the same one.
class OnceCell {
 public:
  OnceCell() = default;
  OnceCell(OnceCell&& other) noexcept;  // only before the cell is shared between threads
  OnceCell& operator=(OnceCell&&) = delete;

  // The stored value; computed by `compute` first when the cell is empty.
  template <class F>
  uint64_t get_or_init(F&& compute) {
    if (state_.load(std::memory_order_acquire) == READY) return value_;
    int expected = EMPTY;
    if (state_.compare_exchange_strong(expected, BUSY, std::memory_order_acq_rel)) {
      uint64_t v;
      try {
        v = compute();
      } catch (...) {
        state_.store(EMPTY, std::memory_order_release);
        state_.notify_all();
        throw;
      }
      publish(v);
      return v;
    }
    wait_ready();
    if (state_.load(std::memory_order_acquire) != READY) return get_or_init(std::forward<F>(compute));
    return value_;
  }

  // Stores `value` if the cell is still empty; otherwise does nothing.
  void seed(uint64_t value);
  std::optional<uint64_t> peek() const;

 private:
  static constexpr int EMPTY = 0, BUSY = 1, READY = 2;
  void publish(uint64_t v);
  void wait_ready();
  std::atomic<int> state_{EMPTY};
  uint64_t value_ = 0;
};

struct ImagePair {
  Bytes baseline;  // canvas_width × canvas_height × 4
  Bytes current;   // same size
  // The current image at its own size, kept when it had to be padded. (When only the baseline was padded, the
  // current canvas already is the current image at its own size, so no copy is kept.)
  std::optional<Bytes> current_unpadded;
  std::size_t canvas_width = 0, canvas_height = 0;
  std::size_t baseline_width = 0, baseline_height = 0;
  std::size_t current_width = 0, current_height = 0;
  mutable OnceCell fingerprint;

  bool size_mismatch() const { return baseline_width != current_width || baseline_height != current_height; }
  // The current image at its own size (current_width × current_height).
  ByteView current_own() const { return current_unpadded ? ByteView(*current_unpadded) : ByteView(current); }
};

// Checks both buffers against their sizes (baseline first), then places both images top-left on a zero-filled
// canvas of the larger width and height. `keep_unpadded` keeps the current image's own bytes when sizes differ.
Result<ImagePair> make_image_pair(Bytes baseline, std::size_t baseline_width, std::size_t baseline_height,
                                  Bytes current, std::size_t current_width, std::size_t current_height,
                                  bool keep_unpadded = true);

// A new target_width × target_height RGBA buffer, zero-filled, with the source copied to its top-left corner.
Result<Bytes> pad_to_canvas(ByteView source, std::size_t source_width, std::size_t source_height,
                            std::size_t target_width, std::size_t target_height);

}  // namespace qf
