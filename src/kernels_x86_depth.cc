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
// AVX2 composes within each 16-byte half of a register first, where a
// shift takes one shuffle rather than two, and then carries the lower
// half's last function into the upper half.  AVX-512 composes another way,
// in kernels_x86_depth512.cc.
#include "kernel_forms.h"

#if ZELMOR_X86_64
#include <immintrin.h>

namespace {

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

// Each 16-byte half of v moved up by k lanes within itself, `fill` in the k
// lanes freed, where a move takes one shuffle rather than two across the
// halves; and for k = 16, byte 15 of v in every lane of the upper half,
// `fill` in the lower, which carries the lower half's end into the upper.
template <int k>
[[ZELMOR_AVX2, gnu::always_inline]] inline __m256i up_half(__m256i v, __m256i fill) {
    if constexpr (k == 16) {
        __m256i each = _mm256_shuffle_epi8(v, _mm256_set1_epi8(15));
        return _mm256_permute2x128_si256(each, fill, 0x02);
    } else {
        return _mm256_alignr_epi8(v, fill, 16 - k);
    }
}

[[ZELMOR_AVX2, gnu::always_inline]] inline __m256i clamp256(__m256i v, __m256i lo, __m256i hi) {
    return _mm256_min_epi8(_mm256_max_epi8(v, lo), hi);
}

// One step of the composition, within each 16-byte half: each lane's
// function after that of the lane k before it (the identity below the
// half's first); with k = 16, after the lower half's last function in the
// upper half.
template <int k>
[[ZELMOR_AVX2, gnu::always_inline]] inline void compose256(__m256i &a, __m256i &lo, __m256i &hi) {
    const __m256i zero = _mm256_setzero_si256(), three = _mm256_set1_epi8(3);
    __m256i a1 = up_half<k>(a, zero), lo1 = up_half<k>(lo, zero), hi1 = up_half<k>(hi, three);
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
    return _mm256_add_epi8(s, up_half<k>(s, _mm256_setzero_si256()));
}

// Half a block: the bits of the bytes after which the depth is 3, with
// `depth` moved past them.  Both ways below work within each 16-byte half
// of the register first, and then carry the lower half's end into the
// upper half.
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
// no depth, so that nothing past n is read.  The carry stays in registers
// until the end (see mark_quotes_avx512_impl).
[[ZELMOR_AVX2]] void mark_quotes_avx2_impl(const unsigned char *p, size_t n, depth_carry &c,
                                           uint64_t *quotes) {
    int clamped_left = 0;
    depth_carry carry = c;
    size_t full = n - n % block_size;
    for (size_t i = 0; i < full; i += block_size)
        *quotes++ = quotes_avx2(p + i, block_size, carry, clamped_left);
    if (full < n) {
        alignas(block_size) unsigned char last[block_size] = {};
        std::memcpy(last, p + full, n - full);
        *quotes = quotes_avx2(last, n - full, carry, clamped_left);
    }
    c = carry;
}

} // namespace

void mark_quotes_sse2(const unsigned char *p, size_t n, depth_carry &carry, uint64_t *quotes) {
    mark_blocks(p, n, carry, quotes, depth_masks_sse2);
}

void mark_quotes_avx2(const unsigned char *p, size_t n, depth_carry &carry, uint64_t *quotes) {
    mark_quotes_avx2_impl(p, n, carry, quotes);
}

#endif
