// Internal to layout: static regions and the blocks of rows the residual compares.
#pragma once

#include "layout/layout.hpp"

namespace qf::detail {

// Rows of columns [x0, x1): baseline rows b … b + len − 1 against current rows c … c + len − 1.
struct CompareBlock {
  std::size_t b = 0, c = 0, len = 0, x0 = 0, x1 = 0;
};

}  // namespace qf::detail

namespace qf {

// Keys of rows [0, rows) of a canvas `width` pixels wide over the columns of [x0, x1) marked in `keep` (all of them
// when keep is null). Comparable with each other only.
std::vector<RowKey> layout_row_keys(ByteView canvas, std::size_t width, std::size_t rows, std::size_t x0,
                                    std::size_t x1, const std::vector<uint8_t>* keep = nullptr);

// Columns [x0, x1) left in place: row y against row y over the common height, the rest of the taller image
// inserted (or deleted) at the bottom.
ColumnRegion static_region(std::size_t x0, std::size_t x1, std::size_t baseline_height, std::size_t current_height);

// A pairing of the rows from the rows whose keys occur once in each image, in order on both sides: the rows
// between two of them are paired one to one, the surplus inserted or deleted where the most pairs are equal.
// nullopt when there is no such row, when more than `max_moved_rows` rows would be inserted and deleted, or when
// fewer than half the paired rows are equal.
std::optional<EditScript> anchored_script(KeyView baseline_keys, KeyView current_keys, std::size_t max_moved_rows);

}  // namespace qf
