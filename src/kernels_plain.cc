// The kernels in plain C++, for every CPU: classification a 64-bit word of
// eight bytes at a time, and quote insertion without a branch or a library
// call per byte.  Words hold byte i at bits 8i to 8i + 7 whatever the CPU's
// byte order, so that big- and little-endian CPUs get the same masks.
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

// 0x80 in each byte of x that is zero, and 0 in the others: adding 0x7f to
// the low seven bits carries into the top bit of every byte but a zero one.
uint64_t zero_bytes(uint64_t x) {
    return ~(((x & low7) + low7) | x | low7);
}

// The same for an x whose bytes are all even: no byte is 1, so a borrow
// out of a zero byte cannot make the byte above it look zero.
uint64_t even_zero_bytes(uint64_t x) {
    return (x - ones) & ~x & ~low7;
}

// Shifts the top bits of t's bytes, as eight bits with byte i's at bit i,
// into `mask` from the right: the product with 0x0002040810204081 moves each
// byte's top bit into the product's top byte, each to its own place.
uint64_t shift_in(uint64_t mask, uint64_t t, uint64_t magic) {
    return mask << 8 | t * magic >> 56;
}

// An opening and a closing parenthesis differ in their lowest bit only, so
// one comparison finds both.
static_assert((open_paren ^ close_paren) == 1, "the parentheses differ in one bit");

// The words go from the last to the first, each shifting its bits in below
// those of the words after it.
uint64_t classify_block(const unsigned char *p, uint64_t &paren_mask) {
    uint64_t spaces = 0;
    paren_mask = 0;
    // The multiplier of shift_in, hidden from the optimizer, which would
    // otherwise trade the one multiplication for six shifts and additions
    // on some CPUs (s390x).
    uint64_t magic = 0x0002040810204081u;
    __asm__("" : "+r"(magic));
    // Unrolled, the eight words would outgrow the registers of some CPUs.
#pragma GCC unroll 2
    for (int k = 7; k >= 0; --k) {
        uint64_t w = load_word(p + 8 * k);
        // Parentheses are 0 or 1 in w ^ open_paren, so 0 once the low bit is
        // cleared.
        uint64_t parens = even_zero_bytes((w ^ open_paren * ones) & ~ones);
        paren_mask = shift_in(paren_mask, parens, magic);
        spaces = shift_in(spaces, zero_bytes(w ^ space * ones), magic);
    }
    return spaces;
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
