// Joining raw deflate streams compressed separately into one stream, so that pieces of an image can be
// compressed at the same time by a compressor that cannot flush (libdeflate): each piece's final block is made
// non-final and followed by an empty stored block, which ends on a byte boundary where the next piece begins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace qf::deflate {

// Where the last block of a raw deflate stream lies, in bits from the start of the stream (bit 0 is the lowest
// bit of the first byte): its header (whose first bit is BFINAL) and the bit just after its end.
struct FinalBlock {
  std::size_t header_bit;
  std::size_t end_bit;
};

// Walks the blocks of a raw deflate stream (stored, fixed and dynamic Huffman) without inflating them, up to the
// first block marked final. Returns nothing when the data is not a well-formed deflate stream or ends before
// that block does.
std::optional<FinalBlock> find_final_block(const uint8_t* data, std::size_t size);

// Bytes that make_non_final may add after a stream.
constexpr std::size_t JOIN_SLACK = 5;

// Turns the raw deflate stream in data[0, size) whose last block is `last` into one that continues: clears the
// final block's BFINAL bit, writes an empty non-final stored block after it (three zero bits, zero bits up to
// the byte boundary, then 00 00 FF FF) and returns the new size. data must have room for JOIN_SLACK more bytes.
// Another raw deflate stream may then be appended as is.
std::size_t make_non_final(uint8_t* data, std::size_t size, FinalBlock last);

// The Adler-32 of a + b, from the Adler-32 of a, that of b and the length of b.
uint32_t adler32_combine(uint32_t adler_a, uint32_t adler_b, std::size_t length_b);

}  // namespace qf::deflate
