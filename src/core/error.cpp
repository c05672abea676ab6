#include "core/error.hpp"

#include <string>

namespace qf::err {

namespace {
CompareError make(ErrorKind kind, std::string message) { return CompareError{kind, std::move(message)}; }
}  // namespace

CompareError decode_png(std::string_view m) {
  return make(ErrorKind::DecodePng, "failed to decode PNG: " + std::string(m));
}
CompareError encode_png(std::string_view m) {
  return make(ErrorKind::EncodePng, "failed to encode PNG: " + std::string(m));
}
CompareError invalid_buffer_length(uint64_t expected, uint64_t actual, uint64_t width, uint64_t height) {
  return make(ErrorKind::InvalidBufferLength, "invalid RGBA buffer length: expected " + std::to_string(expected) +
                                                  " bytes for " + std::to_string(width) + "x" +
                                                  std::to_string(height) + ", got " + std::to_string(actual));
}
CompareError dimensions_overflow() { return make(ErrorKind::DimensionsOverflow, "image dimensions overflowed"); }
CompareError invalid_argument(std::string_view m) { return make(ErrorKind::InvalidArgument, std::string(m)); }
CompareError source_too_large() {
  return make(ErrorKind::SourceTooLarge, "source image is larger than target size");
}
CompareError image_too_large(std::string_view side) {
  return make(ErrorKind::ImageTooLarge, "image " + std::string(side) + " is too large");
}
CompareError resize_failed(std::string_view m) {
  return make(ErrorKind::ResizeFailed, "failed to resize image: " + std::string(m));
}
CompareError alignment_failed() { return make(ErrorKind::AlignmentFailed, "images could not be row-aligned"); }
CompareError alignment_mismatch() {
  return make(ErrorKind::AlignmentMismatch, "alignment does not belong to this image pair");
}
CompareError encode_webp(std::string_view m) {
  return make(ErrorKind::EncodeWebp, "failed to encode WebP: " + std::string(m));
}

}  // namespace qf::err
