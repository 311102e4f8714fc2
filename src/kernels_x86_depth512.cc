// The depth pass with AVX-512 (F, BW, DQ and VBMI), a block a register.  As
// with AVX2 (kernels_x86_depth.cc), a block without parentheses keeps its
// depth, one whose depth stays within 0 to 3 takes the plain running sum
// of the +1 and -1, and one that leaves that range the composition of the
// functions of its bytes, as do the clamped_run blocks after it.  The
// composition holds each function of the depth by its four values, where
// composing is one byte shuffle (see compose512), and in such a run takes
// three blocks at a time.
#include "kernel_forms.h"

#if ZELMOR_X86_64
#include <immintrin.h>

namespace {

#define ZELMOR_AVX512 gnu::target("avx512f,avx512bw,avx512dq,avx512vbmi,popcnt,bmi,bmi2")

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
// the first: a group is a 4-byte lane, so one valignd moves them (the
// unmasked form leaves its merge source undefined, which g++ warns of).
template <int k>
[[ZELMOR_AVX512, gnu::always_inline]] inline __m512i up_groups(__m512i f, __m512i identity) {
    return _mm512_maskz_alignr_epi32(0xffff, f, identity, 16 - k);
}

// After f, g: g's lanes at f's values.
[[ZELMOR_AVX512, gnu::always_inline]] inline __m512i after(__m512i g, __m512i f, __m512i base) {
    return _mm512_shuffle_epi8(g, _mm512_or_si512(base, f));
}

// The functions of m blocks, which need no depth: within[b], each group's
// function after its bytes 0 to b; total, the prefix over groups.
struct functions512 {
    __m512i within[4], total;
};

template <size_t m>
[[ZELMOR_AVX512, gnu::always_inline]] inline void
compose512(const uint64_t *open, const uint64_t *close, functions512 *fn) {
    const __m512i base = group_lanes(0), identity = _mm512_set1_epi32(0x03020100);
    // Each byte's function by its class, 0 for most bytes, 4 for an opening
    // parenthesis and 8 for a closing one, plus the depth before it.
    const __m512i by_class = _mm512_set4_epi32(0, 0x02010000, 0x03030201, 0x03020100);
    __m512i classes[m], f[m];
#pragma GCC unroll 4
    for (size_t k = 0; k < m; ++k) {
        classes[k] = _mm512_mask_mov_epi8(_mm512_maskz_mov_epi8(open[k], _mm512_set1_epi8(4)),
                                          close[k], _mm512_set1_epi8(8));
        f[k] = identity;
    }
#pragma GCC unroll 4
    for (int b = 0; b < 4; ++b) {
#pragma GCC unroll 4
        for (size_t k = 0; k < m; ++k) {
            __m512i c = _mm512_shuffle_epi8(classes[k], group_lanes(b));
            f[k] = _mm512_shuffle_epi8(by_class, _mm512_or_si512(c, f[k]));
            fn[k].within[b] = f[k];
        }
    }
#pragma GCC unroll 4
    for (size_t k = 0; k < m; ++k) f[k] = after(f[k], up_groups<1>(f[k], identity), base);
#pragma GCC unroll 4
    for (size_t k = 0; k < m; ++k) f[k] = after(f[k], up_groups<2>(f[k], identity), base);
#pragma GCC unroll 4
    for (size_t k = 0; k < m; ++k) f[k] = after(f[k], up_groups<4>(f[k], identity), base);
#pragma GCC unroll 4
    for (size_t k = 0; k < m; ++k) fn[k].total = after(f[k], up_groups<8>(f[k], identity), base);
}

// A block's after3 mask from its functions, with `depth` moved past it.
[[ZELMOR_AVX512, gnu::always_inline]] inline uint64_t apply512(const functions512 &fn,
                                                               unsigned &depth) {
    const __m512i base = group_lanes(0), identity = _mm512_set1_epi32(0x03020100);
    // The depth before each group, in each of its lanes; then after each
    // byte: lane 4j + b looks up within[b] at group j's depth before, two
    // of the four tables a permute, the lane's bit 0 choosing between them
    // (in bit 6 of the index) and bit 1 between the permutes.
    __m512i before =
        _mm512_shuffle_epi8(up_groups<1>(fn.total, identity),
                            _mm512_add_epi8(base, _mm512_set1_epi8(static_cast<char>(depth))));
    // Lane 4j + b: 4j, with bit 6 set where b is odd.
    const __m512i tables = _mm512_set_epi64(
        0x7c3c7c3c78387838, 0x7434743470307030, 0x6c2c6c2c68286828, 0x6424642460206020,
        0x5c1c5c1c58185818, 0x5414541450105010, 0x4c0c4c0c48084808, 0x4404440440004000);
    __m512i at = _mm512_or_si512(tables, before);
    __m512i depths = _mm512_mask_blend_epi8(
        0xccccccccccccccccu, _mm512_permutex2var_epi8(fn.within[0], at, fn.within[1]),
        _mm512_permutex2var_epi8(fn.within[2], at, fn.within[3]));
    uint64_t after3 = _mm512_cmpeq_epi8_mask(depths, _mm512_set1_epi8(3));
    // The depth after the block: the last group's function, in a general
    // register, applied there, so the next block waits for that alone.
    auto last = static_cast<uint32_t>(
        _mm512_cvtsi512_si32(_mm512_maskz_alignr_epi32(0xffff, fn.total, fn.total, 15)));
    depth = last >> 8 * depth & 0xff;
    return after3;
}

// v moved up by q 8-byte lanes, zero in the lanes freed.
template <int q>
[[ZELMOR_AVX512, gnu::always_inline]] inline __m512i up_lanes(__m512i v) {
    return _mm512_maskz_alignr_epi64(0xff, v, _mm512_setzero_si512(), 8 - q);
}

// The running sum of +1 for each opening parenthesis and -1 for each
// closing one, byte i's including itself: within each 8-byte lane, the
// opening and the closing ones each counted by one multiply by 0x0101...01
// (byte i of the product sums bytes 0 to i, at most 8, so nothing carries
// from byte to byte); then the totals of the lanes below, from each lane's
// byte 7, added in, a prefix over lanes in three steps.
[[ZELMOR_AVX512, gnu::always_inline]] inline __m512i running_sum512(uint64_t open, uint64_t close) {
    const __m512i ones = _mm512_set1_epi8(1), spread = _mm512_set1_epi64(0x0101010101010101);
    __m512i in_lane =
        _mm512_sub_epi8(_mm512_mullo_epi64(_mm512_maskz_mov_epi8(open, ones), spread),
                        _mm512_mullo_epi64(_mm512_maskz_mov_epi8(close, ones), spread));
    const __m512i last_bytes = _mm512_set4_epi64(0x0f0f0f0f0f0f0f0f, 0x0707070707070707,
                                                 0x0f0f0f0f0f0f0f0f, 0x0707070707070707);
    __m512i below = up_lanes<1>(_mm512_shuffle_epi8(in_lane, last_bytes));
    below = _mm512_add_epi8(below, up_lanes<1>(below));
    below = _mm512_add_epi8(below, up_lanes<2>(below));
    below = _mm512_add_epi8(below, up_lanes<4>(below));
    return _mm512_add_epi8(in_lane, below);
}

// A block's after3 mask, with `depth` moved past it.
[[ZELMOR_AVX512, gnu::always_inline]] inline uint64_t depth512(uint64_t open, uint64_t close,
                                                               unsigned &depth, int &clamped_left) {
    const __m512i zero = _mm512_setzero_si512(), three = _mm512_set1_epi8(3);
    if (clamped_left == 0) {
        __m512i d = _mm512_add_epi8(running_sum512(open, close),
                                    _mm512_set1_epi8(static_cast<char>(depth)));
        if ((_mm512_cmpgt_epi8_mask(d, three) | _mm512_cmplt_epi8_mask(d, zero)) == 0) {
            depth = depth + static_cast<unsigned>(std::popcount(open)) -
                    static_cast<unsigned>(std::popcount(close));
            return _mm512_cmpeq_epi8_mask(d, three);
        }
        clamped_left = clamped_run;
    }
    --clamped_left;
    functions512 fn[1];
    compose512<1>(&open, &close, fn);
    return apply512(fn[0], depth);
}

// Blocks taken together in a run of blocks by the composition: the
// functions of one need nothing of the others, so that each fills the
// others' waits; three fill them best on Zen 4, and more run out of
// registers.
constexpr size_t together = 3;

// `together` whole blocks by the composition.
[[ZELMOR_AVX512, gnu::always_inline]] inline void
composed_blocks(const unsigned char *p, depth_carry &carry, uint64_t *quotes) {
    const __m512i opens = _mm512_set1_epi8(open_paren), closes = _mm512_set1_epi8(close_paren),
                  space_bytes = _mm512_set1_epi8(space);
    uint64_t open[together], close[together], spaces[together];
#pragma GCC unroll 4
    for (size_t k = 0; k < together; ++k) {
        __m512i v = _mm512_loadu_si512(p + k * block_size);
        open[k] = _mm512_cmpeq_epi8_mask(v, opens);
        close[k] = _mm512_cmpeq_epi8_mask(v, closes);
        spaces[k] = _mm512_cmpeq_epi8_mask(v, space_bytes);
    }
    functions512 fn[together];
    compose512<together>(open, close, fn);
#pragma GCC unroll 4
    for (size_t k = 0; k < together; ++k) {
        unsigned before = carry.depth;
        uint64_t after3 = apply512(fn[k], carry.depth);
        quotes[k] = block_quotes(after3, before, close[k], spaces[k], block_size, carry.token);
    }
}

// A masked load only for the last, partial block: it reads nothing past n,
// and gives NUL bytes, which change no depth, in place of what is there.
// The carry stays in registers until the end: stored through `c` after
// every block, it would be stored and loaded again between blocks, as the
// quotes written might be it.
[[ZELMOR_AVX512]] void mark_quotes_avx512_impl(const unsigned char *p, size_t n, depth_carry &c,
                                               uint64_t *quotes) {
    const __m512i opens = _mm512_set1_epi8(open_paren), closes = _mm512_set1_epi8(close_paren),
                  space_bytes = _mm512_set1_epi8(space);
    int clamped_left = 0;
    depth_carry carry = c;
    for (size_t i = 0; i < n;) {
        if (clamped_left >= static_cast<int>(together) && n - i >= together * block_size) {
            composed_blocks(p + i, carry, quotes);
            clamped_left -= static_cast<int>(together);
            quotes += together;
            i += together * block_size;
            continue;
        }
        size_t len = std::min(n - i, block_size);
        __m512i v = len == block_size ? _mm512_loadu_si512(p + i)
                                      : _mm512_maskz_loadu_epi8(first_bytes(len), p + i);
        uint64_t open = _mm512_cmpeq_epi8_mask(v, opens), close = _mm512_cmpeq_epi8_mask(v, closes);
        unsigned before = carry.depth;
        uint64_t after3 = (open | close) == 0 ? (before == 3 ? ~uint64_t{0} : 0)
                                              : depth512(open, close, carry.depth, clamped_left);
        *quotes++ = block_quotes(after3, before, close, _mm512_cmpeq_epi8_mask(v, space_bytes), len,
                                 carry.token);
        i += block_size;
    }
    c = carry;
}

} // namespace

void mark_quotes_avx512(const unsigned char *p, size_t n, depth_carry &carry, uint64_t *quotes) {
    mark_quotes_avx512_impl(p, n, carry, quotes);
}

#endif
