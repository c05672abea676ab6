// x86 twins of the PNG reader's row kernels (png_rows.hpp has the scalar ones and says which runs).
#include "image_io/png_rows.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

namespace qf::png_rows {

namespace {

// Sub, Average and Paeth depend on the pixel to the left, so they run one pixel at a time; for 3- and 4-byte
// pixels the channels of a pixel go through SSE2 together (16-bit lanes), which is all x86-64 guarantees.
// Pixels are moved through general registers: a 3-byte memcpy through memory would stall store forwarding.
template <unsigned BPP>
inline __m128i load_pixel(const uint8_t* p) {
  uint32_t v;
  if constexpr (BPP == 4) std::memcpy(&v, p, 4);
  else v = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
  return _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(v)), _mm_setzero_si128());
}

template <unsigned BPP>
inline void store_pixel(uint8_t* p, __m128i v) {
  const auto w = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(v, v)));
  if constexpr (BPP == 4) {
    std::memcpy(p, &w, 4);
  } else {
    p[0] = static_cast<uint8_t>(w), p[1] = static_cast<uint8_t>(w >> 8), p[2] = static_cast<uint8_t>(w >> 16);
  }
}

inline __m128i abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }
inline __m128i bytes_of(__m128i v) { return _mm_and_si128(v, _mm_set1_epi16(0xFF)); }

// A pixel's bytes repeated over 16 bytes (for 3-byte pixels the 16th byte starts a sixth copy).
template <unsigned BPP>
inline __m128i repeated(__m128i pixel16) {
  const auto w = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(pixel16, pixel16)));
  if constexpr (BPP == 4) {
    return _mm_set1_epi32(static_cast<int>(w));
  } else {
    const uint64_t p = w & 0xFFFFFF;
    const uint64_t lo = p | p << 24 | p << 48, hi = p >> 16 | p << 8 | p << 32 | p << 56;
    return _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
  }
}

template <unsigned BPP>
void unfilter_row_sse2(uint8_t filter, const uint8_t* __restrict raw, const uint8_t* __restrict prev,
                       uint8_t* __restrict out, std::size_t n) {
  if (filter == NONE || filter == UP) return unfilter_row<BPP>(filter, raw, prev, out, n);
  // Flat stretches, the bulk of a screenshot, have a zero residual: under Sub every pixel there repeats the one to
  // its left, and so it does under Paeth where the row above is flat too (b = c, so a is predicted). Such a
  // stretch is written a window of whole pixels at a time; everything else goes one pixel at a time.
  constexpr unsigned WINDOW = 16 / BPP * BPP;
  constexpr int WINDOW_MASK = (1 << WINDOW) - 1;
  const bool runs = filter == SUB || filter == PAETH;
  const auto load16 = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  __m128i a = _mm_setzero_si128(), c = _mm_setzero_si128();
  for (std::size_t i = 0; i < n; i += BPP) {
    if (runs && i >= BPP && i + 16 <= n) {
      const __m128i zero = _mm_setzero_si128();
      int flat = _mm_movemask_epi8(_mm_cmpeq_epi8(load16(raw + i), zero));
      if (filter == PAETH) flat &= _mm_movemask_epi8(_mm_cmpeq_epi8(load16(prev + i), load16(prev + i - BPP)));
      if ((flat & WINDOW_MASK) == WINDOW_MASK) {
        const __m128i fill = repeated<BPP>(a);
        do {
          _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), fill);
          i += WINDOW;
          if (i + 16 > n) break;
          flat = _mm_movemask_epi8(_mm_cmpeq_epi8(load16(raw + i), zero));
          if (filter == PAETH) flat &= _mm_movemask_epi8(_mm_cmpeq_epi8(load16(prev + i), load16(prev + i - BPP)));
        } while ((flat & WINDOW_MASK) == WINDOW_MASK);
        if (filter == PAETH) c = load_pixel<BPP>(prev + i - BPP);
        if (i >= n) break;
      }
    }
    const __m128i x = load_pixel<BPP>(raw + i);
    __m128i predicted;
    if (filter == SUB) {
      predicted = a;
    } else {
      const __m128i b = load_pixel<BPP>(prev + i);
      if (filter == AVERAGE) {
        predicted = _mm_srli_epi16(_mm_add_epi16(a, b), 1);
      } else {
        // |p - a| = |b - c|, |p - b| = |a - c|, |p - c| = |(b - c) + (a - c)|; ties go to a, then b.
        const __m128i pa = _mm_sub_epi16(b, c), pb = _mm_sub_epi16(a, c);
        const __m128i da = abs16(pa), db = abs16(pb), dc = abs16(_mm_add_epi16(pa, pb));
        const __m128i smallest = _mm_min_epi16(dc, _mm_min_epi16(da, db));
        const __m128i use_a = _mm_cmpeq_epi16(da, smallest), use_b = _mm_cmpeq_epi16(db, smallest);
        const __m128i b_or_c = _mm_or_si128(_mm_and_si128(use_b, b), _mm_andnot_si128(use_b, c));
        predicted = _mm_or_si128(_mm_and_si128(use_a, a), _mm_andnot_si128(use_a, b_or_c));
        c = b;
      }
    }
    a = bytes_of(_mm_add_epi16(x, predicted));
    store_pixel<BPP>(out + i, a);
  }
}

}  // namespace

void unfilter_row_sse2_3(uint8_t filter, const uint8_t* raw, const uint8_t* prev, uint8_t* out, std::size_t n) {
  unfilter_row_sse2<3>(filter, raw, prev, out, n);
}
void unfilter_row_sse2_4(uint8_t filter, const uint8_t* raw, const uint8_t* prev, uint8_t* out, std::size_t n) {
  unfilter_row_sse2<4>(filter, raw, prev, out, n);
}

// Four pixels per shuffle.
__attribute__((target("ssse3"))) void rgb_to_rgba_ssse3(const uint8_t* in, std::size_t width, uint8_t* out) {
  const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  std::size_t x = 0;
  for (; x + 6 <= width; x += 4) {  // the 16-byte load stays inside the row
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * x));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * x), _mm_or_si128(_mm_shuffle_epi8(v, spread), opaque));
  }
  rgb_to_rgba_scalar(in + 3 * x, width - x, out + 4 * x);
}

}  // namespace qf::png_rows

#endif
