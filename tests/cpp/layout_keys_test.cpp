#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "layout/regions.hpp"

using namespace qf;

namespace {

TEST(LayoutRowKeys, EqualExactlyWhenTheKeptPixelsAre) {
  // Widths around the hash's 32-byte blocks, and runs of kept columns of every parity.
  for (std::size_t w : {1u, 7u, 8u, 9u, 33u, 100u}) {
    const std::size_t h = 6;
    std::mt19937 rng(static_cast<uint32_t>(w));
    Bytes img(w * h * 4);
    for (auto& v : img) v = static_cast<uint8_t>(rng() | 1);  // no transparent pixel yet
    std::memcpy(img.data() + 3 * w * 4, img.data() + 1 * w * 4, w * 4);  // row 3 repeats row 1
    const auto keys = layout_row_keys(img, w, h, 0, w);
    EXPECT_EQ(keys[1], keys[3]) << w;
    EXPECT_NE(keys[0], keys[1]) << w;
    // A change in the last pixel (inside the zero-padded last block) is seen.
    Bytes changed = img;
    changed[(1 * w + w - 1) * 4] ^= 1;
    EXPECT_NE(layout_row_keys(changed, w, h, 0, w)[1], keys[1]) << w;
    // Fully transparent pixels are equal whatever their colour, as in the row alignment.
    Bytes a = img, b = img;
    a[(2 * w) * 4 + 3] = b[(2 * w) * 4 + 3] = 0;
    b[(2 * w) * 4] ^= 0x55;
    EXPECT_EQ(layout_row_keys(a, w, h, 0, w)[2], layout_row_keys(b, w, h, 0, w)[2]) << w;
    if (w < 9) continue;
    // Kept columns only: a change in a column left out does not change the key; one kept does.
    std::vector<uint8_t> keep(w, 1);
    keep[4] = 0;
    Bytes c = img;
    c[(5 * w + 4) * 4] ^= 0x20;
    EXPECT_EQ(layout_row_keys(c, w, h, 2, w - 1, &keep)[5], layout_row_keys(img, w, h, 2, w - 1, &keep)[5]);
    c[(5 * w + 5) * 4] ^= 0x20;
    EXPECT_NE(layout_row_keys(c, w, h, 2, w - 1, &keep)[5], layout_row_keys(img, w, h, 2, w - 1, &keep)[5]);
    // The same pixels kept as one run or gathered from two give the same keys.
    std::vector<uint8_t> all(w, 1);
    EXPECT_EQ(layout_row_keys(img, w, h, 2, 6, &all), layout_row_keys(img, w, h, 2, 6));
  }
  Bytes one(16, 9);
  EXPECT_THROW(layout_row_keys(one, 4, 1, 3, 3), InternalFault);
  EXPECT_THROW(layout_row_keys(one, 4, 2, 0, 4), InternalFault);
}

}  // namespace
