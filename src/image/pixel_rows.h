// pixel_rows.h - turning rows of 8-bit samples into pixel words (0xAARRGGBB,
// blue first in memory on this little-endian host), shared by the codecs.
// Where the processor has SSSE3 (found out when the program runs, not when it
// is built) four pixels go through one byte shuffle; elsewhere one pixel at a
// time. The results are the same: each conversion takes the way as a last
// parameter, which only the tests give, so that they can run both ways on one
// processor and compare.
#ifndef PIXEL_ROWS_H
#define PIXEL_ROWS_H

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define PIXEL_ROWS_SSSE3 1
#endif

namespace pixel_rows {

inline uint32_t word(uint32_t alpha, unsigned red, unsigned green, unsigned blue)
{
    return alpha << 24 | red << 16 | green << 8 | blue;
}

// One pixel at a time, from pixel `from` on: the fallback, and the last
// pixels of a row for the shuffles (whose loads would run past its end).
inline void rgb_from(const uint8_t *__restrict rgb, uint32_t *__restrict out, size_t from, size_t n)
{
    for (size_t x = from; x < n; ++x)
        out[x] = word(0xFF, rgb[3 * x], rgb[3 * x + 1], rgb[3 * x + 2]);
}

inline void bgr_from(const uint8_t *__restrict bgr, uint32_t *__restrict out, size_t from, size_t n)
{
    for (size_t x = from; x < n; ++x)
        out[x] = word(0xFF, bgr[3 * x + 2], bgr[3 * x + 1], bgr[3 * x]);
}

inline void rgba_from(uint32_t *row, size_t from, size_t n)
{
    for (size_t x = from; x < n; ++x) {
        const uint8_t *p = reinterpret_cast<const uint8_t *>(row + x);
        row[x] = word(p[3], p[0], p[1], p[2]);
    }
}

#ifdef PIXEL_ROWS_SSSE3
// Three-byte pixels: each 16-byte load is used for 12 bytes, so the shuffle
// stops while 16 bytes remain.
__attribute__((target("ssse3"))) inline void three_bytes_ssse3(const uint8_t *__restrict src,
                                                                uint32_t *__restrict out, size_t n, __m128i order,
                                                                void (*rest)(const uint8_t *__restrict,
                                                                             uint32_t *__restrict, size_t, size_t))
{
    const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    size_t x = 0;
    for (; n >= 6 && x <= n - 6; x += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 3 * x));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + x), _mm_or_si128(_mm_shuffle_epi8(v, order), opaque));
    }
    rest(src, out, x, n);
}

__attribute__((target("ssse3"))) inline void rgb_ssse3(const uint8_t *__restrict rgb, uint32_t *__restrict out,
                                                       size_t n)
{
    three_bytes_ssse3(rgb, out, n, _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1), rgb_from);
}

__attribute__((target("ssse3"))) inline void bgr_ssse3(const uint8_t *__restrict bgr, uint32_t *__restrict out,
                                                       size_t n)
{
    three_bytes_ssse3(bgr, out, n, _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1), bgr_from);
}

__attribute__((target("ssse3"))) inline void rgba_ssse3(uint32_t *row, size_t n)
{
    const __m128i order = _mm_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
    size_t x = 0;
    for (; x + 4 <= n; x += 4) {
        __m128i *p = reinterpret_cast<__m128i *>(row + x);
        _mm_storeu_si128(p, _mm_shuffle_epi8(_mm_loadu_si128(p), order));
    }
    rgba_from(row, x, n);
}

#endif

inline bool have_ssse3()
{
#ifdef PIXEL_ROWS_SSSE3
    static const bool have = __builtin_cpu_supports("ssse3");
    return have;
#else
    return false;
#endif
}

// n red, green, blue triples into opaque words.
inline void from_rgb(const uint8_t *__restrict rgb, uint32_t *__restrict out, size_t n,
                     [[maybe_unused]] bool ssse3 = have_ssse3())
{
#ifdef PIXEL_ROWS_SSSE3
    if (ssse3)
        return rgb_ssse3(rgb, out, n);
#endif
    rgb_from(rgb, out, 0, n);
}

// n blue, green, red triples into opaque words.
inline void from_bgr(const uint8_t *__restrict bgr, uint32_t *__restrict out, size_t n,
                     [[maybe_unused]] bool ssse3 = have_ssse3())
{
#ifdef PIXEL_ROWS_SSSE3
    if (ssse3)
        return bgr_ssse3(bgr, out, n);
#endif
    bgr_from(bgr, out, 0, n);
}

// n red, green, blue, alpha quadruples into words, where they lie.
inline void from_rgba(uint32_t *row, size_t n, [[maybe_unused]] bool ssse3 = have_ssse3())
{
#ifdef PIXEL_ROWS_SSSE3
    if (ssse3)
        return rgba_ssse3(row, n);
#endif
    rgba_from(row, 0, n);
}

} // namespace pixel_rows

#endif
