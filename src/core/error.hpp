// Error values of the computation. The core never throws for bad input: every user-visible failure is a
// CompareError returned up to the module surface. C++ exceptions mean internal faults only.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace qf {

enum class ErrorKind {
  DecodePng,
  EncodePng,
  InvalidBufferLength,
  DimensionsOverflow,
  InvalidArgument,
  SourceTooLarge,
  ImageTooLarge,
  ResizeFailed,
  AlignmentFailed,
  AlignmentMismatch,
  EncodeWebp,
};

struct CompareError {
  ErrorKind kind;
  std::string message;  // the complete text the Python ValueError carries
};

namespace err {
CompareError decode_png(std::string_view library_message);
CompareError encode_png(std::string_view library_message);
CompareError invalid_buffer_length(uint64_t expected, uint64_t actual, uint64_t width, uint64_t height);
CompareError dimensions_overflow();
CompareError invalid_argument(std::string_view message);
CompareError source_too_large();
CompareError image_too_large(std::string_view side);  // "width" or "height"
CompareError resize_failed(std::string_view message);
CompareError alignment_failed();
CompareError alignment_mismatch();
CompareError encode_webp(std::string_view encoder_message);
}  // namespace err

// A violated internal invariant. Raised as the module's internal-fault exception at the boundary.
struct InternalFault : std::logic_error {
  using std::logic_error::logic_error;
};

// Either a value or a CompareError.
template <class T>
class [[nodiscard]] Result {
 public:
  using value_type = T;
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(CompareError error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &std::get<0>(v_); }
  const T* operator->() const { return &std::get<0>(v_); }
  T& operator*() & { return std::get<0>(v_); }
  const T& operator*() const& { return std::get<0>(v_); }

  const CompareError& error() const& { return std::get<1>(v_); }
  CompareError&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, CompareError> v_;
};

// The outcome of a check: nullopt when it passed.
using Status = std::optional<CompareError>;

}  // namespace qf
