// The kernels in aarch64's NEON, which every aarch64 CPU has: sixteen bytes
// per comparison, for classification and for the masks of the depth pass
// (which then follows the depth by the table of kernel_forms.h), and TBL to
// spread bytes apart for quotes, as PSHUFB does on x86-64.
#include "kernel_forms.h"

#if ZELMOR_AARCH64
#include <arm_neon.h>

namespace {

// Byte i of a 64-byte block's comparisons c[0..3], at bit i: each byte keeps
// its own bit, and three rounds of pairwise adds sum each eight into one.
uint64_t movemask(const uint8x16_t c[4]) {
    const uint8x16_t bits = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    uint8x16_t low = vpaddq_u8(vandq_u8(c[0], bits), vandq_u8(c[1], bits));
    uint8x16_t high = vpaddq_u8(vandq_u8(c[2], bits), vandq_u8(c[3], bits));
    uint8x16_t sum = vpaddq_u8(low, high);
    return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(sum, sum)), 0);
}

// Setting the lowest bit makes both parentheses closing ones, and no other
// byte one.
static_assert((open_paren | 1) == close_paren, "the parentheses differ in their lowest bit");

uint64_t classify_block(const unsigned char *p, uint64_t &paren_mask) {
    const uint8x16_t one = vdupq_n_u8(1), close = vdupq_n_u8(close_paren),
                     spaces = vdupq_n_u8(space);
    uint8x16_t parens[4], space_bytes[4];
    for (int j = 0; j < 4; ++j) {
        uint8x16_t v = vld1q_u8(p + 16 * j);
        parens[j] = vceqq_u8(vorrq_u8(v, one), close);
        space_bytes[j] = vceqq_u8(v, spaces);
    }
    paren_mask = movemask(parens);
    return movemask(space_bytes);
}

// The masks of the depth pass: both parentheses apart, and the spaces.
[[gnu::always_inline]] inline void depth_masks(const unsigned char *p, uint64_t &open,
                                               uint64_t &close, uint64_t &spaces) {
    const uint8x16_t opens = vdupq_n_u8(open_paren), closes = vdupq_n_u8(close_paren),
                     space_bytes = vdupq_n_u8(space);
    uint8x16_t o[4], c[4], s[4];
    for (int j = 0; j < 4; ++j) {
        uint8x16_t v = vld1q_u8(p + 16 * j);
        o[j] = vceqq_u8(v, opens);
        c[j] = vceqq_u8(v, closes);
        s[j] = vceqq_u8(v, space_bytes);
    }
    open = movemask(o);
    close = movemask(c);
    spaces = movemask(s);
}

// Eight bytes: spread them apart, fill the gaps with quotes, and store all
// 16 places.
[[gnu::always_inline]] inline unsigned char *spread8(unsigned char *dst, const unsigned char *src,
                                                     unsigned q) {
    uint8x16_t bytes = vcombine_u8(vld1_u8(src), vdup_n_u8(0));
    uint8x16_t spread_bytes = vqtbl1q_u8(bytes, vld1q_u8(spread.shuffle[q]));
    vst1q_u8(dst, vorrq_u8(spread_bytes, vld1q_u8(spread.quotes[q])));
    return dst + spread.length[q];
}

unsigned char *insert_block(unsigned char *dst, const unsigned char *src, size_t n,
                            uint64_t quotes) {
    return insert_eights(dst, src, n, quotes, spread8);
}

} // namespace

void mark_quotes_neon(const unsigned char *p, size_t n, depth_carry &carry, uint64_t *quotes) {
    mark_blocks(p, n, carry, quotes, depth_masks);
}

uint32_t classify_neon(const unsigned char *p, size_t n, uint64_t *spaces, uint32_t *parens) {
    return classify_blocks(p, n, spaces, parens, classify_block);
}

unsigned char *insert_quotes_neon(unsigned char *dst, const unsigned char *src, size_t n,
                                  const uint64_t *quotes) {
    return insert_quotes_blocks(dst, src, n, quotes, insert_block);
}

#endif
