// _render.cpp -- pictures to look at: Bayer mosaics to RGB (bilinear, and the
// gradient-corrected linear kernels of Malvar, He and Cutler) and affine colour
// conversions (YCbCr to RGB), run over numpy arrays without the interpreter lock.
#include "binding.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

#if defined(__x86_64__)
#define KORVELL_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KORVELL_CLONES
#endif
#define KORVELL_INLINE inline __attribute__((always_inline))

namespace {

[[noreturn]] void fail(const std::string &message) { throw std::invalid_argument(message); }

// ---------------------------------------------------------------------------
// Plain C++: how a value of `bits` becomes an output sample.  Values above the
// largest one of `bits` (high bits a malformed frame left set) show as that
// largest one, so the table below is never read past its end.

/// Outputs keep the value (Keep), look it up (Table: fewer than 7 bits to 8),
/// or compute round(v * 255 / max) (Divide: 7 to 16 bits to 8, max = 2^n - 1,
/// where x / max == (x + 1 + ((x + 1) >> n)) >> n for every x that occurs).
enum Mode { Keep, Table, Divide };

struct Scale {
    uint32_t max;               // 2^bits - 1
    uint32_t bits;
    const uint8_t *table;
};

std::vector<uint8_t> eight_bit_table(uint32_t max) {
    std::vector<uint8_t> table(size_t(max) + 1);
    for (uint64_t v = 0; v <= max; ++v)
        table[v] = uint8_t((v * 255 + max / 2) / max);
    return table;
}

template <typename TO, int M, typename Acc>
KORVELL_INLINE TO emit(Acc v, const Scale &s) {
    using U = std::make_unsigned_t<Acc>;
    if constexpr (std::is_signed_v<Acc>)
        v = std::max(v, Acc(0));
    const U u = std::min(U(v), U(s.max));
    if constexpr (M == Table) {
        return s.table[u];
    } else if constexpr (M == Divide) {
        const uint32_t x = uint32_t(u) * 255u + (s.max >> 1) + 1u;
        return TO((x + (x >> s.bits)) >> s.bits);
    } else {
        return TO(u);
    }
}

// ---------------------------------------------------------------------------
// Plain C++: Bayer sites.  A site's kind says which colour it samples and,
// for green, which colour its row shares: 0 red, 1 green in a red row,
// 2 green in a blue row, 3 blue.

int site_kind(const int colours[2][2], int y, int x) {
    int c = colours[y & 1][x & 1];
    if (c == 0)
        return 0;
    if (c == 2)
        return 3;
    int other = colours[y & 1][(x & 1) ^ 1];
    return other == 0 ? 1 : 2;
}

/// 5x5 weights (row-major, centre at 12) of each output colour at each kind of
/// site, and the power of two they sum to.  Bilinear averages the nearest
/// samples of a colour; the gradient-corrected kernels add the second
/// difference of the site's own colour.
struct Kernels {
    int weights[4][3][25];
    int shift;
};

Kernels make_kernels(bool malvar) {
    Kernels k{};
    auto put = [&](int kind, int colour, std::initializer_list<std::pair<int, int>> taps, int w) {
        for (auto [dy, dx] : taps)
            k.weights[kind][colour][(dy + 2) * 5 + (dx + 2)] += w;
    };
    const std::initializer_list<std::pair<int, int>> centre = {{0, 0}}, cross = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}},
                                                      diag = {{-1, -1}, {-1, 1}, {1, -1}, {1, 1}},
                                                      horiz = {{0, -1}, {0, 1}}, vert = {{-1, 0}, {1, 0}},
                                                      far = {{-2, 0}, {2, 0}, {0, -2}, {0, 2}},
                                                      far_h = {{0, -2}, {0, 2}}, far_v = {{-2, 0}, {2, 0}};
    // Colours: 0 R, 1 G, 2 B.  Kinds 0 and 3 (red and blue sites) mirror each
    // other, as do kinds 1 and 2.
    for (int kind = 0; kind < 4; ++kind) {
        const bool colour_site = kind == 0 || kind == 3;
        const int own = kind == 0 ? 0 : kind == 3 ? 2 : 1;
        const int across = kind == 0 ? 2 : 0;                        // the colour on the diagonals of a colour site
        const int row_colour = kind == 1 ? 0 : 2, col_colour = kind == 1 ? 2 : 0;  // at green sites
        if (!malvar) {
            k.shift = 2;
            put(kind, own, centre, 4);
            if (colour_site) {
                put(kind, 1, cross, 1);
                put(kind, across, diag, 1);
            } else {
                put(kind, row_colour, horiz, 2);
                put(kind, col_colour, vert, 2);
            }
            continue;
        }
        k.shift = 4;
        put(kind, own, centre, 16);
        if (colour_site) {
            put(kind, 1, centre, 8);
            put(kind, 1, cross, 4);
            put(kind, 1, far, -2);
            put(kind, across, centre, 12);
            put(kind, across, diag, 4);
            put(kind, across, far, -3);
        } else {
            // The colour of the row: its horizontal neighbours.
            put(kind, row_colour, centre, 10);
            put(kind, row_colour, horiz, 8);
            put(kind, row_colour, far_h, -2);
            put(kind, row_colour, diag, -2);
            put(kind, row_colour, far_v, 1);
            // The colour of the column: the transpose.
            put(kind, col_colour, centre, 10);
            put(kind, col_colour, vert, 8);
            put(kind, col_colour, far_v, -2);
            put(kind, col_colour, diag, -2);
            put(kind, col_colour, far_h, 1);
        }
    }
    return k;
}

/// Index `i` mirrored into 0..n-1 about the first and last sample, which are
/// not repeated (-1 -> 1): a mirrored mosaic keeps its pattern.
inline int64_t mirror(int64_t i, int64_t n) {
    if (n == 1)
        return 0;
    const int64_t period = 2 * (n - 1);
    i %= period;
    if (i < 0)
        i += period;
    return i < n ? i : period - i;
}

struct Mosaic {
    int64_t height, width;
    int colours[2][2];
    Scale scale;
};

/// One pixel through the weights, any position: the borders, and frames too
/// small for the row loops.
template <typename TI, typename TO, int Table>
void any_pixel(const TI *src, TO *dst, const Mosaic &m, const Kernels &k, int64_t y, int64_t x) {
    const int kind = site_kind(m.colours, int(y & 1), int(x & 1));
    int64_t rows[5], cols[5];
    for (int d = 0; d < 5; ++d) {
        rows[d] = mirror(y + d - 2, m.height) * m.width;
        cols[d] = mirror(x + d - 2, m.width);
    }
    // Mirroring keeps a tap's parity, hence its colour, in frames of two or
    // more lines and columns (the caller refuses smaller ones).
    for (int c = 0; c < 3; ++c) {
        const int *w = k.weights[kind][c];
        int64_t sum = 0;
        for (int dy = 0; dy < 5; ++dy)
            for (int dx = 0; dx < 5; ++dx)
                if (w[dy * 5 + dx])
                    sum += int64_t(w[dy * 5 + dx]) * src[rows[dy] + cols[dx]];
        int64_t v = (sum + (int64_t(1) << (k.shift - 1))) >> k.shift;
        v = std::clamp<int64_t>(v, 0, int64_t(m.scale.max));
        dst[(y * m.width + x) * 3 + c] = emit<TO, Table>(int32_t(v), m.scale);
    }
}

// Planes to interleaved pixels.  The compiler does not vectorise three-way
// byte stores, so bytes go through SSSE3 shuffles: 16 pixels, 48 bytes, per step.

template <typename T>
KORVELL_CLONES void interleave(const T *r, const T *g, const T *b, T *out, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        out[3 * i] = r[i];
        out[3 * i + 1] = g[i];
        out[3 * i + 2] = b[i];
    }
}

#if defined(__x86_64__)
struct ByteShuffles {
    alignas(16) uint8_t mask[3][3][16];  // [output block][plane][byte]
    ByteShuffles() {
        for (int j = 0; j < 3; ++j)
            for (int c = 0; c < 3; ++c)
                for (int k = 0; k < 16; ++k) {
                    const int at = 16 * j + k;
                    mask[j][c][k] = at % 3 == c ? uint8_t(at / 3) : 0x80;
                }
    }
};
const ByteShuffles g_shuffles;

__attribute__((target("ssse3"))) void interleave_bytes_ssse3(const uint8_t *r, const uint8_t *g, const uint8_t *b,
                                                             uint8_t *out, size_t n) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i vr = _mm_loadu_si128(reinterpret_cast<const __m128i *>(r + i));
        const __m128i vg = _mm_loadu_si128(reinterpret_cast<const __m128i *>(g + i));
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i));
        for (int j = 0; j < 3; ++j) {
            auto m = [&](int c) { return _mm_load_si128(reinterpret_cast<const __m128i *>(g_shuffles.mask[j][c])); };
            const __m128i v = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(vr, m(0)), _mm_shuffle_epi8(vg, m(1))),
                                           _mm_shuffle_epi8(vb, m(2)));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 3 * i + 16 * j), v);
        }
    }
    interleave(r + i, g + i, b + i, out + 3 * i, n - i);
}
#endif

void interleave_planes(const uint8_t *r, const uint8_t *g, const uint8_t *b, uint8_t *out, size_t n) {
#if defined(__x86_64__)
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3)
        return interleave_bytes_ssse3(r, g, b, out, n);
#endif
    interleave(r, g, b, out, n);
}

void interleave_planes(const uint16_t *r, const uint16_t *g, const uint16_t *b, uint16_t *out, size_t n) {
    interleave(r, g, b, out, n);
}

// The row loops.  Every pixel of a row computes what both kinds of site of
// the row would, and keeps one by a mask of odd columns: branch-free code the
// compiler turns into vector instructions.  `Acc` holds a sum of weighted
// samples (16 bits suffice for 8-bit samples).

template <typename Acc>
struct Rgb {
    Acc r, g, b;
};

template <int Kind, typename Acc, typename TI>
KORVELL_INLINE Rgb<Acc> bilinear_site(const TI *const r[5], int64_t x) {
    const TI *up = r[1], *row = r[2], *dn = r[3];
    const Acc c = row[x];
    const Acc h = Acc(Acc(row[x - 1]) + Acc(row[x + 1]));
    const Acc v = Acc(Acc(up[x]) + Acc(dn[x]));
    if constexpr (Kind == 0 || Kind == 3) {
        const Acc cross = Acc((h + v + 2) >> 2);
        const Acc diag = Acc((Acc(up[x - 1]) + Acc(up[x + 1]) + Acc(dn[x - 1]) + Acc(dn[x + 1]) + 2) >> 2);
        return Kind == 0 ? Rgb<Acc>{c, cross, diag} : Rgb<Acc>{diag, cross, c};
    } else {
        const Acc along = Acc((h + 1) >> 1), upright = Acc((v + 1) >> 1);
        return Kind == 1 ? Rgb<Acc>{along, c, upright} : Rgb<Acc>{upright, c, along};
    }
}

template <int Kind, typename Acc, typename TI>
KORVELL_INLINE Rgb<Acc> malvar_site(const TI *const r[5], int64_t x) {
    auto at = [&](int dy, int dx) { return Acc(r[dy + 2][x + dx]); };
    const Acc c = at(0, 0);
    const Acc diag = Acc(at(-1, -1) + at(-1, 1) + at(1, -1) + at(1, 1));
    const Acc h = Acc(at(0, -1) + at(0, 1)), v = Acc(at(-1, 0) + at(1, 0));
    const Acc far_h = Acc(at(0, -2) + at(0, 2)), far_v = Acc(at(-2, 0) + at(2, 0));
    if constexpr (Kind == 0 || Kind == 3) {
        const Acc far = Acc(far_h + far_v);
        const Acc g = Acc((8 * c + 4 * (h + v) - 2 * far + 8) >> 4);
        const Acc o = Acc((12 * c + 4 * diag - 3 * far + 8) >> 4);
        return Kind == 0 ? Rgb<Acc>{c, g, o} : Rgb<Acc>{o, g, c};
    } else {
        const Acc base = Acc(10 * c - 2 * diag + 8);
        const Acc along = Acc((base + 8 * h - 2 * far_h + far_v) >> 4);    // the row's colour
        const Acc upright = Acc((base + 8 * v - 2 * far_v + far_h) >> 4);  // the column's colour
        return Kind == 1 ? Rgb<Acc>{along, c, upright} : Rgb<Acc>{upright, c, along};
    }
}

template <int KindA, int KindB, bool Malvar, typename Acc, typename TI, typename TO, int M>
KORVELL_CLONES void row_sites(const TI *__restrict r0, const TI *__restrict r1, const TI *__restrict r2,
                              const TI *__restrict r3, const TI *__restrict r4, TO *__restrict pr,
                              TO *__restrict pg, TO *__restrict pb, const uint8_t *__restrict odd, int64_t first,
                              int64_t end, Scale s) {
    // The planes are scratch rows of their own: no store can change a sample.
    const TI *const rows[5] = {r0, r1, r2, r3, r4};
    for (int64_t x = first; x < end; ++x) {
        Rgb<Acc> a, b;
        if constexpr (Malvar) {
            a = malvar_site<KindA, Acc, TI>(rows, x);
            b = malvar_site<KindB, Acc, TI>(rows, x);
        } else {
            a = bilinear_site<KindA, Acc, TI>(rows, x);
            b = bilinear_site<KindB, Acc, TI>(rows, x);
        }
        const Acc m = Acc(Acc(0) - Acc(odd[x]));
        auto pick = [&](Acc at_odd, Acc at_even) { return Acc((at_odd & m) | (at_even & Acc(~m))); };
        pr[x] = emit<TO, M>(pick(b.r, a.r), s);
        pg[x] = emit<TO, M>(pick(b.g, a.g), s);
        pb[x] = emit<TO, M>(pick(b.b, a.b), s);
    }
}

template <bool Malvar, typename Acc, typename TI, typename TO, int M>
void row_of_kind(int a, const TI *const r[5], TO *const out[3], const uint8_t *odd, int64_t first, int64_t end,
                 const Scale &s) {
    // The kind at even columns decides the row: red rows 0 1 or 1 0, blue rows 2 3 or 3 2.
    switch (a) {
    case 0: return row_sites<0, 1, Malvar, Acc, TI, TO, M>(r[0], r[1], r[2], r[3], r[4], out[0], out[1], out[2], odd, first, end, s);
    case 1: return row_sites<1, 0, Malvar, Acc, TI, TO, M>(r[0], r[1], r[2], r[3], r[4], out[0], out[1], out[2], odd, first, end, s);
    case 2: return row_sites<2, 3, Malvar, Acc, TI, TO, M>(r[0], r[1], r[2], r[3], r[4], out[0], out[1], out[2], odd, first, end, s);
    default: return row_sites<3, 2, Malvar, Acc, TI, TO, M>(r[0], r[1], r[2], r[3], r[4], out[0], out[1], out[2], odd, first, end, s);
    }
}

// Bytes to bytes, bilinear: 32 pixels of a row a step, straight into
// interleaved pixels.  Two-sample means are byte averages, (a + b + 1) >> 1
// as the plain code rounds; four-sample ones go through 16-bit lanes.  Both
// kinds of site of the row are computed and blended by column parity.
constexpr int k_bilinear_source[4][3] = {{0, 3, 4}, {1, 0, 2}, {2, 0, 1}, {4, 3, 0}};  // c, along, upright, cross, diag

#if defined(__x86_64__)
__attribute__((target("avx2"))) inline __m256i mean4_bytes(__m256i a, __m256i b, __m256i c, __m256i d) {
    const __m256i zero = _mm256_setzero_si256(), two = _mm256_set1_epi16(2);
    auto half = [](__m256i lo_a, __m256i lo_b, __m256i lo_c, __m256i lo_d, __m256i t) __attribute__((target("avx2"))) {
        return _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(lo_a, lo_b), _mm256_add_epi16(_mm256_add_epi16(lo_c, lo_d), t)), 2);
    };
    const __m256i lo = half(_mm256_unpacklo_epi8(a, zero), _mm256_unpacklo_epi8(b, zero), _mm256_unpacklo_epi8(c, zero),
                            _mm256_unpacklo_epi8(d, zero), two);
    const __m256i hi = half(_mm256_unpackhi_epi8(a, zero), _mm256_unpackhi_epi8(b, zero), _mm256_unpackhi_epi8(c, zero),
                            _mm256_unpackhi_epi8(d, zero), two);
    return _mm256_packus_epi16(lo, hi);
}

template <int KindA, int KindB>
__attribute__((target("avx2"))) int64_t bilinear_bytes_avx2(const uint8_t *up, const uint8_t *row, const uint8_t *dn,
                                                            uint8_t *out, int64_t first, int64_t end) {
    // Lanes at odd columns take kind B; `first` fixes the parity of lane 0.
    alignas(32) uint8_t odd[32];
    for (int i = 0; i < 32; ++i)
        odd[i] = ((first + i) & 1) ? 0xFF : 0;
    const __m256i odd_mask = _mm256_load_si256(reinterpret_cast<const __m256i *>(odd));
    __m256i join[3][3];
    for (int j = 0; j < 3; ++j)
        for (int c = 0; c < 3; ++c)
            join[j][c] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(g_shuffles.mask[j][c])));
    auto at = [](const uint8_t *p) __attribute__((target("avx2"))) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    };
    int64_t x = first;
    for (; x + 32 <= end; x += 32) {
        const __m256i l = at(row + x - 1), r = at(row + x + 1), u = at(up + x), d = at(dn + x);
        const __m256i v[5] = {at(row + x), _mm256_avg_epu8(l, r), _mm256_avg_epu8(u, d), mean4_bytes(l, r, u, d),
                              mean4_bytes(at(up + x - 1), at(up + x + 1), at(dn + x - 1), at(dn + x + 1))};
        __m256i rgb[3];
        for (int c = 0; c < 3; ++c)
            rgb[c] = _mm256_blendv_epi8(v[k_bilinear_source[KindA][c]], v[k_bilinear_source[KindB][c]], odd_mask);
        uint8_t *o = out + 3 * x;
        for (int j = 0; j < 3; ++j) {
            const __m256i b = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(rgb[0], join[j][0]),
                                                              _mm256_shuffle_epi8(rgb[1], join[j][1])),
                                              _mm256_shuffle_epi8(rgb[2], join[j][2]));
            _mm256_storeu2_m128i(reinterpret_cast<__m128i *>(o + 48 + 16 * j), reinterpret_cast<__m128i *>(o + 16 * j), b);
        }
    }
    return x;
}
#endif

/// The columns first.. of a row of 8-bit samples it filled in `out` (the
/// whole pixels of the row), up to `end`; the caller does the rest.
int64_t bilinear_bytes(int kind, const uint8_t *up, const uint8_t *row, const uint8_t *dn, uint8_t *out,
                       int64_t first, int64_t end) {
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) {
        switch (kind) {
        case 0: return bilinear_bytes_avx2<0, 1>(up, row, dn, out, first, end);
        case 1: return bilinear_bytes_avx2<1, 0>(up, row, dn, out, first, end);
        case 2: return bilinear_bytes_avx2<2, 3>(up, row, dn, out, first, end);
        default: return bilinear_bytes_avx2<3, 2>(up, row, dn, out, first, end);
        }
    }
#endif
    (void)kind, (void)up, (void)row, (void)dn, (void)out, (void)end;
    return first;
}

template <typename TI, typename TO, int Table>
void demosaic_frame(const TI *src, TO *dst, const Mosaic &m, bool malvar) {
    const Kernels k = make_kernels(malvar);
    const int64_t reach = malvar ? 2 : 1, H = m.height, W = m.width;
    std::vector<uint8_t> odd_columns(static_cast<size_t>(W));
    for (int64_t x = 0; x < W; ++x)
        odd_columns[size_t(x)] = uint8_t(x & 1);
    const bool inner = W > 2 * reach;
    std::vector<TO> rows(inner ? size_t(3 * W) : 0);
    TO *const planes[3] = {rows.data(), rows.data() + W, rows.data() + 2 * W};
    for (int64_t y = 0; y < H; ++y) {
        if (y < reach || y >= H - reach || !inner) {
            for (int64_t x = 0; x < W; ++x)
                any_pixel<TI, TO, Table>(src, dst, m, k, y, x);
            continue;
        }
        const TI *r[5];
        for (int d = 0; d < 5; ++d)
            r[d] = src + std::clamp<int64_t>(y + d - 2, 0, H - 1) * W;
        const int kind = site_kind(m.colours, int(y & 1), 0);
        TO *out = dst + y * W * 3;
        int64_t done = reach;  // the first column of the row still to fill
        if constexpr (sizeof(TI) == 1 && sizeof(TO) == 1 && Table == Keep) {
            if (!malvar)
                done = bilinear_bytes(kind, r[1], r[2], r[3], out, reach, W - reach);
        }
        if (malvar) {
            using A = std::conditional_t<sizeof(TI) == 1, int16_t, int32_t>;
            row_of_kind<true, A, TI, TO, Table>(kind, r, planes, odd_columns.data(), done, W - reach, m.scale);
        } else {
            using A = std::conditional_t<sizeof(TI) == 1, uint16_t, uint32_t>;
            row_of_kind<false, A, TI, TO, Table>(kind, r, planes, odd_columns.data(), done, W - reach, m.scale);
        }
        interleave_planes(planes[0] + done, planes[1] + done, planes[2] + done, out + 3 * done,
                          size_t(W - reach - done));
        for (int64_t x = 0; x < reach; ++x) {
            any_pixel<TI, TO, Table>(src, dst, m, k, y, x);
            any_pixel<TI, TO, Table>(src, dst, m, k, y, W - 1 - x);
        }
    }
}

// ---------------------------------------------------------------------------
// Plain C++: out = clamp(round(matrix . (in - offset)), 0, out_max) per pixel
// of three samples.  Integers where they are exact enough: the matrix scaled
// by 2^shift and rounded, the offsets and the rounding folded into one bias,
// so a pixel is three multiply-adds and a shift per colour in int32 lanes.
// Pixels go through in chunks split into planes, because the compiler
// vectorises plane loops but not three-way interleaved loads and stores.

struct Fixed {
    int32_t m[9];
    int32_t bias[3];  // round((0.5 - matrix . offset) * 2^shift)
    int32_t shift;
    int32_t in_max;   // larger samples (high bits a malformed frame left set) count as this
    int32_t out_max;
};

/// Single precision, for the few conversions int32 cannot carry to within a
/// small part of an output step (deep samples to deep outputs).
struct Affine {
    float m[9];
    float bias[3];  // -matrix . offset + 0.5, the rounding folded in
    float in_max;
    float out_max;
};

template <typename TI, typename TO>
KORVELL_CLONES void affine_pixels(const TI *src, TO *dst, size_t pixels, Affine a) {
    for (size_t i = 0; i < pixels; ++i) {
        const float p = std::min(float(src[3 * i]), a.in_max), q = std::min(float(src[3 * i + 1]), a.in_max),
                    r = std::min(float(src[3 * i + 2]), a.in_max);
        for (int c = 0; c < 3; ++c) {
            float v = a.m[3 * c] * p + a.m[3 * c + 1] * q + a.m[3 * c + 2] * r + a.bias[c];
            v = std::min(std::max(v, 0.0f), a.out_max);
            dst[3 * i + c] = TO(int32_t(v));
        }
    }
}

template <typename TI, typename TO>
KORVELL_INLINE void fixed_colour(const TI *__restrict p, const TI *__restrict q, const TI *__restrict r,
                                 TO *__restrict o, size_t n, const Fixed &f, int c) {
    const int32_t a = f.m[3 * c], b = f.m[3 * c + 1], d = f.m[3 * c + 2], bias = f.bias[c];
    const int32_t shift = f.shift, in_max = f.in_max, out_max = f.out_max;
    for (size_t i = 0; i < n; ++i) {
        const int32_t x = std::min(int32_t(p[i]), in_max), y = std::min(int32_t(q[i]), in_max),
                      z = std::min(int32_t(r[i]), in_max);
        const int32_t v = (a * x + b * y + d * z + bias) >> shift;
        o[i] = TO(std::min(std::max(v, 0), out_max));
    }
}

template <typename TI, typename TO>
KORVELL_CLONES void fixed_planes(const TI *__restrict p, const TI *__restrict q, const TI *__restrict r,
                                 TO *__restrict o0, TO *__restrict o1, TO *__restrict o2, size_t n, Fixed f) {
    fixed_colour(p, q, r, o0, n, f, 0);
    fixed_colour(p, q, r, o1, n, f, 1);
    fixed_colour(p, q, r, o2, n, f, 2);
}

template <typename T>
KORVELL_CLONES void split(const T *in, T *p, T *q, T *r, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        p[i] = in[3 * i];
        q[i] = in[3 * i + 1];
        r[i] = in[3 * i + 2];
    }
}

#if defined(__x86_64__)
struct SplitShuffles {
    alignas(16) uint8_t mask[3][3][16];  // [plane][input block][byte]
    SplitShuffles() {
        for (int c = 0; c < 3; ++c)
            for (int j = 0; j < 3; ++j)
                for (int k = 0; k < 16; ++k) {
                    const int at = 3 * k + c;
                    mask[c][j][k] = at / 16 == j ? uint8_t(at % 16) : 0x80;
                }
    }
};
const SplitShuffles g_split;

__attribute__((target("ssse3"))) void split_bytes_ssse3(const uint8_t *in, uint8_t *p, uint8_t *q, uint8_t *r,
                                                        size_t n) {
    uint8_t *const planes[3] = {p, q, r};
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m128i v[3];
        for (int j = 0; j < 3; ++j)
            v[j] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 3 * i + 16 * j));
        for (int c = 0; c < 3; ++c) {
            auto m = [&](int j) { return _mm_load_si128(reinterpret_cast<const __m128i *>(g_split.mask[c][j])); };
            const __m128i out = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(v[0], m(0)), _mm_shuffle_epi8(v[1], m(1))),
                                             _mm_shuffle_epi8(v[2], m(2)));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(planes[c] + i), out);
        }
    }
    split(in + 3 * i, p + i, q + i, r + i, n - i);
}
#endif

void split_planes(const uint8_t *in, uint8_t *p, uint8_t *q, uint8_t *r, size_t n) {
#if defined(__x86_64__)
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3)
        return split_bytes_ssse3(in, p, q, r, n);
#endif
    split(in, p, q, r, n);
}

void split_planes(const uint16_t *in, uint16_t *p, uint16_t *q, uint16_t *r, size_t n) { split(in, p, q, r, n); }

template <typename TI, typename TO>
void affine_fixed(const TI *src, TO *dst, size_t pixels, const Fixed &f) {
    constexpr size_t chunk = 1024;  // six planes of it stay in the first-level cache
    alignas(32) TI in[3][chunk];
    alignas(32) TO out[3][chunk];
    for (size_t at = 0; at < pixels; at += chunk) {
        const size_t n = std::min(chunk, pixels - at);
        split_planes(src + 3 * at, in[0], in[1], in[2], n);
        fixed_planes(in[0], in[1], in[2], out[0], out[1], out[2], n, f);
        interleave_planes(out[0], out[1], out[2], dst + 3 * at, n);
    }
}

#if defined(__x86_64__)
/// Bytes to bytes in one pass, 32 pixels a step: the pixels split into planes
/// by shuffles within 128-bit halves (pixels 0-15 in the low half, 16-31 in
/// the high one), 16-bit coefficients so that one multiply-add instruction
/// takes two samples of eight pixels, saturating packs for the clamp, and the
/// planes shuffled back into pixels.  The pixels after the last full step go
/// the plain way, which computes the same integers.
__attribute__((target("avx2"))) void affine_bytes_avx2(const uint8_t *src, uint8_t *dst, size_t pixels,
                                                       const Fixed &f) {
    __m256i xy[3], zy[3], bias[3], split_mask[3][3], join_mask[3][3];
    for (int c = 0; c < 3; ++c) {
        // The middle sample's coefficient may need 17 bits: half of it goes with x, half with z.
        const int32_t low = f.m[3 * c + 1] / 2, high = f.m[3 * c + 1] - low;
        xy[c] = _mm256_set1_epi32(int32_t(uint32_t(uint16_t(f.m[3 * c])) | (uint32_t(uint16_t(low)) << 16)));
        zy[c] = _mm256_set1_epi32(int32_t(uint32_t(uint16_t(f.m[3 * c + 2])) | (uint32_t(uint16_t(high)) << 16)));
        bias[c] = _mm256_set1_epi32(f.bias[c]);
        for (int j = 0; j < 3; ++j) {
            split_mask[c][j] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(g_split.mask[c][j])));
            join_mask[j][c] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(g_shuffles.mask[j][c])));
        }
    }
    const __m256i top = _mm256_set1_epi8(char(uint8_t(f.in_max))), zero = _mm256_setzero_si256();
    const __m128i shift = _mm_cvtsi32_si128(f.shift);
    size_t i = 0;
    for (; i + 32 <= pixels; i += 32) {
        const uint8_t *in = src + 3 * i;
        __m256i block[3], plane[3], out[3];
        for (int j = 0; j < 3; ++j)
            block[j] = _mm256_loadu2_m128i(reinterpret_cast<const __m128i *>(in + 48 + 16 * j),
                                           reinterpret_cast<const __m128i *>(in + 16 * j));
        for (int c = 0; c < 3; ++c) {
            const __m256i v = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(block[0], split_mask[c][0]),
                                                              _mm256_shuffle_epi8(block[1], split_mask[c][1])),
                                              _mm256_shuffle_epi8(block[2], split_mask[c][2]));
            plane[c] = _mm256_min_epu8(v, top);
        }
        // 32-bit lanes of (x, y) and (z, y), 16 bits each.  The unpacks work
        // within 128-bit halves, so quarter k holds pixels 4k..4k+3 and
        // 16+4k..16+4k+3, the order the two packs put back together.
        const __m256i &x = plane[0], &y = plane[1], &z = plane[2];
        const __m256i xy_lo = _mm256_unpacklo_epi8(x, y), xy_hi = _mm256_unpackhi_epi8(x, y);
        const __m256i zy_lo = _mm256_unpacklo_epi8(z, y), zy_hi = _mm256_unpackhi_epi8(z, y);
        const __m256i pairs[4] = {_mm256_unpacklo_epi8(xy_lo, zero), _mm256_unpackhi_epi8(xy_lo, zero),
                                  _mm256_unpacklo_epi8(xy_hi, zero), _mm256_unpackhi_epi8(xy_hi, zero)};
        const __m256i zs[4] = {_mm256_unpacklo_epi8(zy_lo, zero), _mm256_unpackhi_epi8(zy_lo, zero),
                               _mm256_unpacklo_epi8(zy_hi, zero), _mm256_unpackhi_epi8(zy_hi, zero)};
        for (int c = 0; c < 3; ++c) {
            __m256i v[4];
            for (int k = 0; k < 4; ++k) {
                const __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(pairs[k], xy[c]), _mm256_madd_epi16(zs[k], zy[c]));
                v[k] = _mm256_sra_epi32(_mm256_add_epi32(sum, bias[c]), shift);
            }
            out[c] = _mm256_packus_epi16(_mm256_packs_epi32(v[0], v[1]), _mm256_packs_epi32(v[2], v[3]));
        }
        uint8_t *o = dst + 3 * i;
        for (int j = 0; j < 3; ++j) {
            const __m256i v = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(out[0], join_mask[j][0]),
                                                              _mm256_shuffle_epi8(out[1], join_mask[j][1])),
                                              _mm256_shuffle_epi8(out[2], join_mask[j][2]));
            _mm256_storeu2_m128i(reinterpret_cast<__m128i *>(o + 48 + 16 * j), reinterpret_cast<__m128i *>(o + 16 * j), v);
        }
    }
    if (i < pixels)
        affine_fixed(src + 3 * i, dst + 3 * i, pixels - i, f);
}
#endif

void affine_bytes(const uint8_t *src, uint8_t *dst, size_t pixels, const Fixed &f) {
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2)
        return affine_bytes_avx2(src, dst, pixels, f);
#endif
    affine_fixed(src, dst, pixels, f);
}

/// The integer form of a conversion, or false where it cannot be held to
/// within 1/16 of an output step: the largest shift whose sums fit int32 for
/// every input up to in_max (and, `narrow`, whose coefficients fit 16 bits,
/// the middle one 17).
/// The whole part of each offset goes through the rounded coefficients
/// themselves, so a chroma sample at its offset adds exactly nothing and grey
/// stays grey.
bool fixed_of(const std::vector<double> &mat, const std::vector<double> &off, uint32_t in_max, int32_t out_max,
              bool narrow, Fixed &f) {
    for (int shift = 24; shift > 0; --shift) {
        // Each rounded coefficient and the bias are off by at most 2^-(shift+1)
        // per input unit.
        if (std::ldexp(3.0 * in_max + 1.0, -(shift + 1)) > 1.0 / 16)
            return false;
        bool fits = true;
        for (int c = 0; c < 3 && fits; ++c) {
            double rest = 0.5;
            int64_t bias = 0, positive = 0, negative = 0;
            for (int j = 0; j < 3; ++j) {
                const double m = mat[3 * c + j], whole = std::floor(off[j]);
                const int64_t q = std::llround(std::ldexp(m, shift));
                const int64_t limit = j == 1 ? 65534 : 32767;  // the middle one is split over two
                fits = fits && (!narrow || (q >= -limit && q <= limit));
                f.m[3 * c + j] = int32_t(std::clamp<int64_t>(q, INT32_MIN, INT32_MAX));
                bias -= q * int64_t(whole);
                rest -= m * (off[j] - whole);
                (q > 0 ? positive : negative) += q * int64_t(in_max);
            }
            bias += std::llround(std::ldexp(rest, shift));
            fits = fits && std::abs(bias) < (int64_t(1) << 30) && bias + positive < (int64_t(1) << 31) &&
                   bias + negative > -(int64_t(1) << 31) && positive - negative < (int64_t(1) << 31);
            f.bias[c] = int32_t(std::clamp<int64_t>(bias, INT32_MIN, INT32_MAX));
        }
        if (fits) {
            f.shift = shift;
            f.in_max = int32_t(in_max);
            f.out_max = out_max;
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// Binding: arrays through the buffer protocol, held for the whole call.

/// An image argument: a C-contiguous array of unsigned 8- or 16-bit items.
class ArrayView {
public:
    void acquire(nb::handle obj, const char *name, bool writable) {
        buf_.acquire(obj, name, "a numpy array", PyBUF_RECORDS_RO | (writable ? PyBUF_WRITABLE : 0));
        std::string format = buf_.format() ? buf_.format() : "B";
        const char code = format.empty() ? 'B' : format.back();
        const bool prefix_ok = format.size() == 1 || (format.size() == 2 && std::strchr("<=@", format[0]));
        if (!prefix_ok || !((code == 'B' && buf_.itemsize() == 1) || (code == 'H' && buf_.itemsize() == 2)))
            throw nb::type_error((std::string(name) + " must hold uint8 or uint16 items, not format '" + format + "'").c_str());
        if (!buf_.c_contiguous())
            fail(std::string(name) + " must be C-contiguous");
    }

    int ndim() const { return buf_.ndim(); }
    int64_t dim(int i) const { return buf_.dim(i); }
    size_t itemsize() const { return buf_.itemsize(); }
    size_t bytes() const { return buf_.bytes(); }
    const void *data() const { return buf_.data(); }
    void *mutable_data() const { return buf_.data(); }
    const korvell::HeldBuffer &held() const { return buf_; }

private:
    korvell::HeldBuffer buf_;
};

void refuse_shared(const ArrayView &a, const ArrayView &b) {
    if (korvell::overlap(a.held(), b.held()))
        fail("src and dst share memory");
}

void require_rgb_of(const ArrayView &dst, int64_t height, int64_t width) {
    if (dst.ndim() != 3 || dst.dim(0) != height || dst.dim(1) != width || dst.dim(2) != 3)
        fail("dst must have the shape (" + std::to_string(height) + ", " + std::to_string(width) + ", 3)");
}

int bits_argument(nb::handle obj, size_t itemsize) {
    if (!PyLong_CheckExact(obj.ptr()))
        throw nb::type_error(("bits must be an int, not " + korvell::class_name_of(obj)).c_str());
    const long bits = PyLong_AsLong(obj.ptr());
    if (bits == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (bits < 1 || bits > long(8 * itemsize))
        fail("bits must be 1 to " + std::to_string(8 * itemsize) + " for " + std::to_string(8 * itemsize) +
             "-bit samples, not " + std::to_string(bits));
    return int(bits);
}

template <typename TI, typename TO>
void demosaic_typed(const void *src, void *dst, Mosaic m, bool malvar) {
    auto in = static_cast<const TI *>(src);
    auto out = static_cast<TO *>(dst);
    if (sizeof(TO) == 2 || m.scale.max == 255)
        return demosaic_frame<TI, TO, Keep>(in, out, m, malvar);
    if (m.scale.bits >= 7)
        return demosaic_frame<TI, TO, Divide>(in, out, m, malvar);
    std::vector<uint8_t> table = eight_bit_table(m.scale.max);
    m.scale.table = table.data();
    demosaic_frame<TI, TO, Table>(in, out, m, malvar);
}

void demosaic(nb::handle src, nb::handle dst, nb::handle pattern, nb::handle algorithm, nb::handle bits) {
    const std::string pat = nb::cast<std::string>(korvell::exact_str(pattern, "pattern"));
    const std::string alg = nb::cast<std::string>(korvell::exact_str(algorithm, "algorithm"));
    Mosaic m{};
    static const char *const names[4] = {"RG", "GR", "GB", "BG"};
    static const int table[4][2][2] = {{{0, 1}, {1, 2}}, {{1, 0}, {2, 1}}, {{1, 2}, {0, 1}}, {{2, 1}, {1, 0}}};
    int which = -1;
    for (int i = 0; i < 4; ++i)
        if (pat == names[i])
            which = i;
    if (which < 0)
        fail("pattern must be 'RG', 'GR', 'GB' or 'BG', not '" + pat + "'");
    std::memcpy(m.colours, table[which], sizeof(m.colours));
    if (alg != "bilinear" && alg != "malvar")
        fail("algorithm must be 'bilinear' or 'malvar', not '" + alg + "'");
    ArrayView in, out;
    in.acquire(src, "src", false);
    out.acquire(dst, "dst", true);
    if (in.ndim() != 2)
        fail("src must be a (height, width) array, not " + std::to_string(in.ndim()) + "-dimensional");
    m.height = in.dim(0);
    m.width = in.dim(1);
    require_rgb_of(out, m.height, m.width);
    refuse_shared(in, out);
    const int n = bits_argument(bits, in.itemsize());
    m.scale.max = uint32_t((uint64_t(1) << n) - 1);
    m.scale.bits = uint32_t(n);
    if (m.height < 2 || m.width < 2)
        fail("a mosaic needs at least 2 x 2 pixels (one cell of its pattern)");
    const bool malvar = alg == "malvar";
    nb::gil_scoped_release unlocked;
    if (in.itemsize() == 1 && out.itemsize() == 1)
        demosaic_typed<uint8_t, uint8_t>(in.data(), out.mutable_data(), m, malvar);
    else if (in.itemsize() == 1)
        demosaic_typed<uint8_t, uint16_t>(in.data(), out.mutable_data(), m, malvar);
    else if (out.itemsize() == 1)
        demosaic_typed<uint16_t, uint8_t>(in.data(), out.mutable_data(), m, malvar);
    else
        demosaic_typed<uint16_t, uint16_t>(in.data(), out.mutable_data(), m, malvar);
}

std::vector<double> floats_argument(nb::handle obj, const char *name, size_t count) {
    nb::tuple items = korvell::exact_tuple(obj, name);
    if (items.size() != count)
        fail(std::string(name) + " must hold " + std::to_string(count) + " numbers, not " + std::to_string(items.size()));
    std::vector<double> values;
    for (nb::handle item : items) {
        if (!PyFloat_CheckExact(item.ptr()) && !PyLong_CheckExact(item.ptr()))
            throw nb::type_error((std::string(name) + " must hold floats, not " + korvell::class_name_of(item)).c_str());
        double v = PyFloat_AsDouble(item.ptr());
        if (v == -1.0 && PyErr_Occurred())
            throw nb::python_error();
        if (!(v > -1e9 && v < 1e9))
            fail(std::string(name) + " holds " + std::to_string(v) + ", not a finite number of a sensible size");
        values.push_back(v);
    }
    return values;
}

void affine(nb::handle src, nb::handle dst, nb::handle matrix, nb::handle offset, nb::handle bits) {
    const std::vector<double> mat = floats_argument(matrix, "matrix", 9), off = floats_argument(offset, "offset", 3);
    ArrayView in, out;
    in.acquire(src, "src", false);
    out.acquire(dst, "dst", true);
    if (in.ndim() != 3 || in.dim(2) != 3)
        fail("src must be a (height, width, 3) array");
    require_rgb_of(out, in.dim(0), in.dim(1));
    refuse_shared(in, out);
    const uint32_t in_max = uint32_t((uint64_t(1) << bits_argument(bits, in.itemsize())) - 1);
    const bool wide_in = in.itemsize() == 2, wide_out = out.itemsize() == 2;
    const size_t pixels = size_t(in.dim(0)) * size_t(in.dim(1));
    Fixed f{};
    bool narrow = !wide_in && !wide_out;
    if (narrow && !fixed_of(mat, off, in_max, 255, true, f))
        narrow = false;
    if (narrow || fixed_of(mat, off, in_max, wide_out ? 65535 : 255, false, f)) {
        nb::gil_scoped_release unlocked;
        if (narrow)
            affine_bytes(static_cast<const uint8_t *>(in.data()), static_cast<uint8_t *>(out.mutable_data()), pixels, f);
        else if (!wide_in && !wide_out)
            affine_fixed(static_cast<const uint8_t *>(in.data()), static_cast<uint8_t *>(out.mutable_data()), pixels, f);
        else if (!wide_in)
            affine_fixed(static_cast<const uint8_t *>(in.data()), static_cast<uint16_t *>(out.mutable_data()), pixels, f);
        else if (!wide_out)
            affine_fixed(static_cast<const uint16_t *>(in.data()), static_cast<uint8_t *>(out.mutable_data()), pixels, f);
        else
            affine_fixed(static_cast<const uint16_t *>(in.data()), static_cast<uint16_t *>(out.mutable_data()), pixels, f);
        return;
    }
    Affine a{};
    for (int c = 0; c < 3; ++c) {
        double bias = 0.5;
        for (int j = 0; j < 3; ++j) {
            a.m[3 * c + j] = float(mat[3 * c + j]);
            bias -= mat[3 * c + j] * off[j];
        }
        a.bias[c] = float(bias);
    }
    a.in_max = float(in_max);
    a.out_max = wide_out ? 65535.0f : 255.0f;
    nb::gil_scoped_release unlocked;
    if (!wide_in && !wide_out)
        affine_pixels(static_cast<const uint8_t *>(in.data()), static_cast<uint8_t *>(out.mutable_data()), pixels, a);
    else if (!wide_in)
        affine_pixels(static_cast<const uint8_t *>(in.data()), static_cast<uint16_t *>(out.mutable_data()), pixels, a);
    else if (!wide_out)
        affine_pixels(static_cast<const uint16_t *>(in.data()), static_cast<uint8_t *>(out.mutable_data()), pixels, a);
    else
        affine_pixels(static_cast<const uint16_t *>(in.data()), static_cast<uint16_t *>(out.mutable_data()), pixels, a);
}

} // namespace

NB_MODULE(_render, m) {
    m.doc() = "Pictures to look at: Bayer mosaics to RGB and affine colour conversions,\n"
              "run over numpy arrays without the interpreter lock.";
    m.def("demosaic", &demosaic, "src"_a.none(), "dst"_a.none(), nb::kw_only(), "pattern"_a.none(),
          "algorithm"_a.none(), "bits"_a.none(),
          nb::sig("def demosaic(src: numpy.ndarray, dst: numpy.ndarray, *, pattern: str, algorithm: str, "
                  "bits: int) -> None"),
          "Fills ``dst`` (height, width, 3) with the R, G, B of the Bayer mosaic ``src``\n"
          "(height, width) of ``bits``-bit samples, ``pattern`` naming its top-left 2x2\n"
          "cell row by row ('RG': R G / G B).  ``algorithm`` 'bilinear' averages the\n"
          "nearest samples of each colour; 'malvar' adds the gradient correction of\n"
          "Malvar, He and Cutler (5x5 kernels).  The frame is mirrored about its first\n"
          "and last lines and columns (-1 -> 1), which keeps the pattern.  A uint8\n"
          "``dst`` for samples of other than 8 bits gets round(v * 255 / (2**bits - 1));\n"
          "otherwise the values keep their depth.  Samples above 2**bits - 1 count as\n"
          "2**bits - 1.  The loops run without the interpreter lock.");
    m.def("affine", &affine, "src"_a.none(), "dst"_a.none(), nb::kw_only(), "matrix"_a.none(), "offset"_a.none(),
          "bits"_a.none(),
          nb::sig("def affine(src: numpy.ndarray, dst: numpy.ndarray, *, matrix: tuple[float, ...], "
                  "offset: tuple[float, ...], bits: int) -> None"),
          "Fills ``dst`` (height, width, 3) with round(matrix . (p - offset)) for each\n"
          "pixel p of ``src`` (height, width, 3) of ``bits``-bit samples, ``matrix``\n"
          "row-major, each result clamped to dst's item range (uint8 or uint16).\n"
          "Samples above 2**bits - 1 count as 2**bits - 1.  Integer arithmetic where\n"
          "it rounds to within 1/16 of an output step of the exact result, single\n"
          "precision otherwise.  The loop runs without the interpreter lock.");
}
