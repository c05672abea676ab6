// Argument types of the helper module beyond the engine's (bindings/args.hpp): buffers read in place, image
// sizes and rectangles. Each has its converter and, where a parameter may be left out, the text its default shows
// in the signature; the engine's parser finds them by argument-dependent lookup.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bindings/python.hpp"
#include "core/types.hpp"

namespace qf::tools {

// A C-contiguous buffer (bytes, bytearray, memoryview, array...) held until the call returns.
struct BufferArg {
  Py_buffer view{};
  bool held = false;

  BufferArg() = default;
  BufferArg(const BufferArg&) = delete;
  BufferArg& operator=(const BufferArg&) = delete;
  ~BufferArg() {
    if (held) PyBuffer_Release(&view);
  }
  ByteView bytes() const { return {static_cast<const uint8_t*>(view.buf), static_cast<std::size_t>(view.len)}; }
  std::size_t size() const { return static_cast<std::size_t>(view.len); }
};
int convert(PyObject* o, BufferArg& out);

// The same, or None (then not held).
struct OptionalBufferArg : BufferArg {};
int convert(PyObject* o, OptionalBufferArg& out);
void append_default(std::string& out, const OptionalBufferArg& v);

// (width, height), two ints.
struct Size {
  uint64_t width = 0, height = 0;
};
int convert(PyObject* o, Size& out);
void append_default(std::string& out, const Size& v);

// (x, y, width, height) rectangles of non-negative ints, from any iterable of 4-tuples.
struct Rect {
  uint64_t x = 0, y = 0, w = 0, h = 0;
};
struct RectsArg {
  std::vector<Rect> rects;
};
int convert(PyObject* o, RectsArg& out);
void append_default(std::string& out, const RectsArg& v);

// ValueError unless `buffer` holds width * height * channels bytes, naming the argument. False with it set.
bool check_pixels(const BufferArg& buffer, const char* name, uint64_t width, uint64_t height, uint64_t channels);

// A new bytes object of `size` bytes whose contents the caller fills before handing it out.
PyObject* new_bytes(std::size_t size, char** data);

}  // namespace qf::tools
