// The depth pass in x86-64's vector instructions.  SSE2 finds the
// parentheses and spaces, and the table of kernel_forms.h follows the depth.
// AVX2 and AVX-512 follow it in the vector registers themselves, one byte a
// lane: each byte acts on the depth as s -> min(max(s + a, lo), hi), an
// opening parenthesis as (+1, 0, 3), a closing one as (-1, 0, 3) and any
// other byte as (0, 0, 3), and two such functions, f1 then f2, make one of
// the same form:
//
//     a = a1 + a2,  lo = clamp(lo1 + a2, lo2, hi2),  hi = clamp(hi1 + a2, lo2, hi2).
//
// Composed with the lanes 1, 2, 4, ... before it, each lane holds the
// function of all the bytes up to its own, and applied to the depth before
// the block gives the depth after each byte.  Most blocks need less: one
// without parentheses keeps its depth, and one whose depth stays within 0
// to 3 needs the plain running sum of the +1 and -1.  A block that leaves
// that range takes the composition, and so do the blocks that follow it for
// a while, so that the choice between the two stays easy to predict.
// AVX-512 composes in fewer instructions by holding each function by its
// four values, where composing is one byte shuffle (see depth512).
#include "kernel_forms.h"

#if ZELMOR_X86_64
#include <immintrin.h>

namespace {

// Blocks that take the composition straight away once one has needed it.
constexpr int clamped_run = 64;

// The masks of the depth pass, 16 bytes at a time.
[[gnu::always_inline]] inline void depth_masks_sse2(const unsigned char *p, uint64_t &open,
                                                    uint64_t &close, uint64_t &spaces) {
    const __m128i opens = _mm_set1_epi8(open_paren), closes = _mm_set1_epi8(close_paren),
                  space_bytes = _mm_set1_epi8(space);
    auto mask = [](__m128i eq, int part) {
        return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(eq))) << (16 * part);
    };
    open = close = spaces = 0;
    for (int part = 0; part < 4; ++part) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * part));
        open |= mask(_mm_cmpeq_epi8(v, opens), part);
        close |= mask(_mm_cmpeq_epi8(v, closes), part);
        spaces |= mask(_mm_cmpeq_epi8(v, space_bytes), part);
    }
}

// ---- AVX2: 32 lanes a register, a block in two halves ----

#define ZELMOR_AVX2 gnu::target("avx2,popcnt,bmi")

// v moved up by k lanes, `fill` in the k lanes freed.
template <int k>
[[ZELMOR_AVX2, gnu::always_inline]] inline __m256i up256(__m256i v, __m256i fill) {
    __m256i below = _mm256_permute2x128_si256(v, fill, 0x02); // fill's low half, then v's
    if constexpr (k == 16) return below;
    else return _mm256_alignr_epi8(v, below, 16 - k);
}

[[ZELMOR_AVX2, gnu::always_inline]] inline __m256i clamp256(__m256i v, __m256i lo, __m256i hi) {
    return _mm256_min_epi8(_mm256_max_epi8(v, lo), hi);
}

// One step of the composition: each lane's function after that of the lane
// k before it (the identity below the first).
template <int k>
[[ZELMOR_AVX2, gnu::always_inline]] inline void compose256(__m256i &a, __m256i &lo, __m256i &hi) {
    const __m256i zero = _mm256_setzero_si256(), three = _mm256_set1_epi8(3);
    __m256i a1 = up256<k>(a, zero), lo1 = up256<k>(lo, zero), hi1 = up256<k>(hi, three);
    __m256i lo2 = lo;
    lo = clamp256(_mm256_add_epi8(lo1, a), lo2, hi);
    hi = clamp256(_mm256_add_epi8(hi1, a), lo2, hi);
    a = _mm256_add_epi8(a1, a);
}

// The top bits of a comparison's bytes.  (Lambdas in the functions below
// would be built for the baseline CPU, and could not take AVX2's intrinsics.)
[[ZELMOR_AVX2, gnu::always_inline]] inline uint32_t bits256(__m256i m) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(m));
}

template <int k>
[[ZELMOR_AVX2, gnu::always_inline]] inline __m256i sum256(__m256i s) {
    return _mm256_add_epi8(s, up256<k>(s, _mm256_setzero_si256()));
}

// Half a block: the bits of the bytes after which the depth is 3, with
// `depth` moved past them.
[[ZELMOR_AVX2, gnu::always_inline]] inline uint32_t depth_half(__m256i v, unsigned &depth,
                                                               int &clamped_left) {
    const __m256i zero = _mm256_setzero_si256(), three = _mm256_set1_epi8(3);
    __m256i opens = _mm256_cmpeq_epi8(v, _mm256_set1_epi8(open_paren));
    __m256i closes = _mm256_cmpeq_epi8(v, _mm256_set1_epi8(close_paren));
    uint32_t open = bits256(opens), close = bits256(closes);
    if ((open | close) == 0) return depth == 3 ? ~uint32_t{0} : 0;
    __m256i a = _mm256_sub_epi8(closes, opens); // the comparisons are -1 where true
    __m256i before = _mm256_set1_epi8(static_cast<char>(depth));
    if (clamped_left == 0) {
        __m256i s = sum256<16>(sum256<8>(sum256<4>(sum256<2>(sum256<1>(a)))));
        __m256i d = _mm256_add_epi8(s, before);
        if (bits256(_mm256_or_si256(_mm256_cmpgt_epi8(d, three), _mm256_cmpgt_epi8(zero, d))) ==
            0) {
            depth = depth + static_cast<unsigned>(std::popcount(open)) -
                    static_cast<unsigned>(std::popcount(close));
            return bits256(_mm256_cmpeq_epi8(d, three));
        }
        clamped_left = clamped_run;
    }
    --clamped_left;
    // The first step, where every function's lo is 0 and its hi 3.
    __m256i lo = _mm256_max_epi8(a, zero), hi = _mm256_min_epi8(_mm256_add_epi8(a, three), three);
    a = sum256<1>(a);
    compose256<2>(a, lo, hi);
    compose256<4>(a, lo, hi);
    compose256<8>(a, lo, hi);
    compose256<16>(a, lo, hi);
    __m256i d = clamp256(_mm256_add_epi8(before, a), lo, hi);
    depth = static_cast<unsigned>(_mm256_extract_epi8(d, 31));
    return bits256(_mm256_cmpeq_epi8(d, three));
}

[[ZELMOR_AVX2, gnu::always_inline]] inline uint64_t quotes_avx2(const unsigned char *p, size_t len,
                                                                depth_carry &c, int &clamped_left) {
    const __m256i space_bytes = _mm256_set1_epi8(space), closes = _mm256_set1_epi8(close_paren);
    __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32));
    uint64_t spaces = bits256(_mm256_cmpeq_epi8(low, space_bytes)) |
                      uint64_t{bits256(_mm256_cmpeq_epi8(high, space_bytes))} << 32;
    uint64_t close = bits256(_mm256_cmpeq_epi8(low, closes)) |
                     uint64_t{bits256(_mm256_cmpeq_epi8(high, closes))} << 32;
    unsigned before = c.depth;
    uint64_t after3 = depth_half(low, c.depth, clamped_left);
    after3 |= uint64_t{depth_half(high, c.depth, clamped_left)} << 32;
    return block_quotes(after3, before, close, spaces, len, c.token);
}

// The last, partial block goes through a block of NUL bytes, which change
// no depth, so that nothing past n is read.
[[ZELMOR_AVX2]] void mark_quotes_avx2_impl(const unsigned char *p, size_t n, depth_carry &c,
                                           uint64_t *quotes) {
    int clamped_left = 0;
    size_t full = n - n % block_size;
    for (size_t i = 0; i < full; i += block_size)
        *quotes++ = quotes_avx2(p + i, block_size, c, clamped_left);
    if (full < n) {
        alignas(block_size) unsigned char last[block_size] = {};
        std::memcpy(last, p + full, n - full);
        *quotes = quotes_avx2(last, n - full, c, clamped_left);
    }
}

// ---- AVX-512: a block a register ----

#define ZELMOR_AVX512 gnu::target("avx512f,avx512bw,avx512vbmi,popcnt,bmi,bmi2")

// v moved up by k lanes, `fill` in the k lanes freed: whole 8-byte lanes
// with valignq, and within them with vpalignr, which takes each 16-byte
// lane's bytes from its own and the one below it.
template <int k>
[[ZELMOR_AVX512, gnu::always_inline]] inline __m512i up512(__m512i v, __m512i fill) {
    if constexpr (k % 16 == 0) {
        return _mm512_maskz_alignr_epi64(0xff, v, fill, 8 - k / 8);
    } else {
        static_assert(k < 16, "whole 16-byte lanes or less than one");
        __m512i below =
            _mm512_maskz_alignr_epi64(0xff, v, fill, 6); // each 16-byte lane's predecessor
        return _mm512_alignr_epi8(v, below, 16 - k);
    }
}

template <int k>
[[ZELMOR_AVX512, gnu::always_inline]] inline __m512i sum512(__m512i s) {
    return _mm512_add_epi8(s, up512<k>(s, _mm512_setzero_si512()));
}

// Where the composition is needed, AVX-512 holds each function of the depth
// by its four values instead, f(0) to f(3) in four lanes, for 16 groups of
// four bytes in one register; lane 4j + s of a register of functions is
// group j's f(s).  Composing is then a byte shuffle: g after f is g's lanes
// looked up at f's values, with the lanes of group j as the table.  Per
// block: each group's functions after its first 1, 2, 3 and 4 bytes; the
// prefix over groups, in four steps; and, from the depth before each group,
// the depth after each of its bytes.

// Lane i: (i & ~3) + b within its 16-byte lane, the first lane of each
// group moved on by b.
[[ZELMOR_AVX512, gnu::always_inline]] inline __m512i group_lanes(int b) {
    return _mm512_add_epi8(_mm512_set4_epi32(0x0c0c0c0c, 0x08080808, 0x04040404, 0x00000000),
                           _mm512_set1_epi8(static_cast<char>(b)));
}

// The functions of groups j - k moved up to groups j, the identity below
// the first.
template <int k>
[[ZELMOR_AVX512, gnu::always_inline]] inline __m512i up_groups(__m512i f, __m512i identity) {
    return up512<4 * k>(f, identity);
}

// After f, g: g's lanes at f's values.
[[ZELMOR_AVX512, gnu::always_inline]] inline __m512i after(__m512i g, __m512i f, __m512i base) {
    return _mm512_shuffle_epi8(g, _mm512_or_si512(base, f));
}

// A block's after3 mask, with `depth` moved past it.
[[ZELMOR_AVX512, gnu::always_inline]] inline uint64_t depth512(uint64_t open, uint64_t close,
                                                               unsigned &depth, int &clamped_left) {
    const __m512i zero = _mm512_setzero_si512(), three = _mm512_set1_epi8(3);
    if (clamped_left == 0) {
        __m512i a = _mm512_sub_epi8(_mm512_movm_epi8(close), _mm512_movm_epi8(open));
        __m512i s = sum512<32>(sum512<16>(sum512<8>(sum512<4>(sum512<2>(sum512<1>(a))))));
        __m512i d = _mm512_add_epi8(s, _mm512_set1_epi8(static_cast<char>(depth)));
        if ((_mm512_cmpgt_epi8_mask(d, three) | _mm512_cmplt_epi8_mask(d, zero)) == 0) {
            depth = depth + static_cast<unsigned>(std::popcount(open)) -
                    static_cast<unsigned>(std::popcount(close));
            return _mm512_cmpeq_epi8_mask(d, three);
        }
        clamped_left = clamped_run;
    }
    --clamped_left;
    const __m512i base = group_lanes(0), identity = _mm512_set1_epi32(0x03020100);
    // Each byte's function by its class, 0 for most bytes, 4 for an opening
    // parenthesis and 8 for a closing one, plus the depth before it.
    const __m512i by_class = _mm512_set4_epi32(0, 0x02010000, 0x03030201, 0x03020100);
    __m512i classes = _mm512_mask_mov_epi8(_mm512_maskz_mov_epi8(open, _mm512_set1_epi8(4)), close,
                                           _mm512_set1_epi8(8));
    // within[b]: each group's function after its bytes 0 to b.
    __m512i within[4];
    __m512i f = identity;
    for (int b = 0; b < 4; ++b) {
        __m512i c = _mm512_shuffle_epi8(classes, group_lanes(b));
        f = _mm512_shuffle_epi8(by_class, _mm512_or_si512(c, f));
        within[b] = f;
    }
    f = after(f, up_groups<1>(f, identity), base);
    f = after(f, up_groups<2>(f, identity), base);
    f = after(f, up_groups<4>(f, identity), base);
    f = after(f, up_groups<8>(f, identity), base);
    // The depth before each group, in each of its lanes; then after each
    // byte: lane 4j + b looks up within[b] at group j's depth before, two
    // of the four tables a permute, the lane's bit 0 choosing between them
    // (in bit 6 of the index) and bit 1 between the permutes.
    __m512i before =
        _mm512_shuffle_epi8(up_groups<1>(f, identity),
                            _mm512_add_epi8(base, _mm512_set1_epi8(static_cast<char>(depth))));
    // Lane 4j + b: 4j, with bit 6 set where b is odd.
    const __m512i tables = _mm512_set_epi64(
        0x7c3c7c3c78387838, 0x7434743470307030, 0x6c2c6c2c68286828, 0x6424642460206020,
        0x5c1c5c1c58185818, 0x5414541450105010, 0x4c0c4c0c48084808, 0x4404440440004000);
    __m512i at = _mm512_or_si512(tables, before);
    __m512i depths = _mm512_mask_blend_epi8(0xccccccccccccccccu,
                                            _mm512_permutex2var_epi8(within[0], at, within[1]),
                                            _mm512_permutex2var_epi8(within[2], at, within[3]));
    uint64_t after3 = _mm512_cmpeq_epi8_mask(depths, three);
    // The depth after the block: the last group's function, in a general
    // register, applied there, so the next block waits for that alone.
    auto last =
        static_cast<uint32_t>(_mm512_cvtsi512_si32(_mm512_maskz_alignr_epi32(0xffff, f, f, 15)));
    depth = last >> 8 * depth & 0xff;
    return after3;
}

// A masked load only for the last, partial block: it reads nothing past n,
// and gives NUL bytes, which change no depth, in place of what is there.
[[ZELMOR_AVX512]] void mark_quotes_avx512_impl(const unsigned char *p, size_t n, depth_carry &c,
                                               uint64_t *quotes) {
    const __m512i opens = _mm512_set1_epi8(open_paren), closes = _mm512_set1_epi8(close_paren),
                  space_bytes = _mm512_set1_epi8(space);
    int clamped_left = 0;
    for (size_t i = 0; i < n; i += block_size) {
        size_t len = std::min(n - i, block_size);
        __m512i v = len == block_size ? _mm512_loadu_si512(p + i)
                                      : _mm512_maskz_loadu_epi8(first_bytes(len), p + i);
        uint64_t open = _mm512_cmpeq_epi8_mask(v, opens), close = _mm512_cmpeq_epi8_mask(v, closes);
        unsigned before = c.depth;
        uint64_t after3 = (open | close) == 0 ? (before == 3 ? ~uint64_t{0} : 0)
                                              : depth512(open, close, c.depth, clamped_left);
        *quotes++ = block_quotes(after3, before, close, _mm512_cmpeq_epi8_mask(v, space_bytes), len,
                                 c.token);
    }
}

} // namespace

void mark_quotes_sse2(const unsigned char *p, size_t n, depth_carry &carry, uint64_t *quotes) {
    mark_blocks(p, n, carry, quotes, depth_masks_sse2);
}

void mark_quotes_avx2(const unsigned char *p, size_t n, depth_carry &carry, uint64_t *quotes) {
    mark_quotes_avx2_impl(p, n, carry, quotes);
}

void mark_quotes_avx512(const unsigned char *p, size_t n, depth_carry &carry, uint64_t *quotes) {
    mark_quotes_avx512_impl(p, n, carry, quotes);
}

#endif
