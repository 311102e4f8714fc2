// The kernels in plain C++, for every CPU: classification a 64-bit word of
// eight bytes at a time, the depth pass by the table of kernel_forms.h, and
// quote insertion without a branch or a library call per byte.  Words hold byte i at bits 8i to 8i
// + 7 whatever the CPU's byte order, so that big- and little-endian CPUs get the same masks.
#include "kernel_forms.h"

namespace {

constexpr uint64_t ones = 0x0101010101010101u;
constexpr uint64_t low7 = 0x7f7f7f7f7f7f7f7fu;

uint64_t load_word(const unsigned char *p) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    return w;
}

// The top bit of each byte of x that is not zero, and no other bit: adding
// 0x7f to a byte's low seven bits carries into its top bit where any of them
// is set, and the top bit of x is or-ed in.  `low` is low7 and `high` its
// complement, passed in so that they stay in registers.
uint64_t nonzero_bytes(uint64_t x, uint64_t low, uint64_t high) {
    return (((x & low) + low) | x) & high;
}

// The top bits of t's bytes, the only bits t has, as eight bits with byte
// i's at bit i: the product with 0x0002040810204081 moves each byte's top
// bit into the product's top byte, each to its own place.
uint64_t gather(uint64_t t, uint64_t magic) {
    return t * magic >> 56;
}

// Setting their lowest bit makes both parentheses closing ones, and no other
// byte one.
static_assert((open_paren | 1) == close_paren, "the parentheses differ in their lowest bit");

// Word k gives bits 8k to 8k + 7 of the masks of the bytes that are not
// parentheses and of those that are not spaces; the block's masks are their
// complements.
uint64_t classify_block(const unsigned char *p, uint64_t &paren_mask) {
    // The constants, in registers: left to itself, the optimizer trades the
    // multiplication for six shifts and additions on some CPUs (s390x), and
    // builds each constant anew for every word there.
    uint64_t magic = 0x0002040810204081u, closes = close_paren * ones, spaces = space * ones,
             low = low7, high = ~low7, one = ones;
    __asm__("" : "+r"(magic), "+r"(closes), "+r"(spaces), "+r"(low), "+r"(high), "+r"(one));
    uint64_t not_paren = 0, not_space = 0;
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) {
        uint64_t w = load_word(p + 8 * k);
        not_paren |= gather(nonzero_bytes((w | one) ^ closes, low, high), magic) << 8 * k;
        not_space |= gather(nonzero_bytes(w ^ spaces, low, high), magic) << 8 * k;
    }
    paren_mask = ~not_paren;
    return ~not_space;
}

// The masks of the depth pass: the parentheses, told apart by their lowest
// bit, and the spaces.
static_assert((close_paren & 1) == 1 && (open_paren & 1) == 0, "a closing parenthesis is odd");
[[gnu::always_inline]] inline void depth_masks(const unsigned char *p, uint64_t &open,
                                               uint64_t &close, uint64_t &spaces) {
    uint64_t magic = 0x0002040810204081u, closes = close_paren * ones, space_bytes = space * ones,
             low = low7, high = ~low7, one = ones;
    __asm__("" : "+r"(magic), "+r"(closes), "+r"(space_bytes), "+r"(low), "+r"(high), "+r"(one));
    uint64_t not_paren = 0, odd = 0, not_space = 0;
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) {
        uint64_t w = load_word(p + 8 * k);
        not_paren |= gather(nonzero_bytes((w | one) ^ closes, low, high), magic) << 8 * k;
        odd |= gather((w & one) << 7, magic) << 8 * k;
        not_space |= gather(nonzero_bytes(w ^ space_bytes, low, high), magic) << 8 * k;
    }
    close = ~not_paren & odd;
    open = ~not_paren & ~odd;
    spaces = ~not_space;
}

// For each pattern of quotes before 8 bytes (bit i: a quote before byte i),
// where each byte goes among the 8 + (quotes) places: after every quote
// before it and its own.
struct place_table {
    unsigned char at[256][8];
};

constexpr place_table make_place_table() {
    place_table t{};
    for (unsigned q = 0; q < 256; ++q)
        for (unsigned i = 0; i < 8; ++i)
            t.at[q][i] = static_cast<unsigned char>(
                i + static_cast<unsigned>(std::popcount(q & ((2u << i) - 1))));
    return t;
}

constexpr place_table places = make_place_table();

// Eight bytes: all 16 places they may take are filled with quotes, then
// each byte is put in its place.
[[gnu::always_inline]] inline unsigned char *place8(unsigned char *dst, const unsigned char *src,
                                                    unsigned q) {
    constexpr uint64_t quote_word = quote * ones;
    const unsigned char *at = places.at[q];
    std::memcpy(dst, &quote_word, sizeof quote_word);
    std::memcpy(dst + 8, &quote_word, sizeof quote_word);
    for (size_t k = 0; k < 8; ++k) dst[at[k]] = src[k];
    return dst + at[7] + 1;
}

unsigned char *insert_block(unsigned char *dst, const unsigned char *src, size_t n,
                            uint64_t quotes) {
    return insert_eights(dst, src, n, quotes, place8);
}

} // namespace

uint32_t classify_plain(const unsigned char *p, size_t n, uint64_t *spaces, uint32_t *parens) {
    return classify_blocks(p, n, spaces, parens, classify_block);
}

unsigned char *insert_quotes_plain(unsigned char *dst, const unsigned char *src, size_t n,
                                   const uint64_t *quotes) {
    return insert_quotes_blocks(dst, src, n, quotes, insert_block);
}

void mark_quotes_plain(const unsigned char *p, size_t n, depth_carry &carry, uint64_t *quotes) {
    mark_blocks(p, n, carry, quotes, depth_masks);
}
