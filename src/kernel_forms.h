// What the kernel files share, behind kernels.h: the helpers every form
// uses, and each instruction-set family's forms, for the dispatch in
// kernels.cc.  Nothing outside the kernels includes this.
#ifndef ZELMOR_KERNEL_FORMS_H
#define ZELMOR_KERNEL_FORMS_H

#include "grammar.h"
#include "kernels.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__x86_64__) && !defined(ZELMOR_PORTABLE)
#define ZELMOR_X86_64 1
#endif
#if defined(__aarch64__) && !defined(ZELMOR_PORTABLE)
#define ZELMOR_AARCH64 1
#endif

// Whether code built for the baseline CPU counts bits with one instruction:
// not on x86-64 without POPCNT, where std::popcount is a library call, which
// would make a kernel save and restore registers around it.
#if defined(__x86_64__) && !defined(__POPCNT__)
constexpr bool baseline_popcount = false;
#else
constexpr bool baseline_popcount = true;
#endif

// The number of set bits: with the CPU's instruction, or added up in the
// register.  A kernel built for a CPU with POPCNT asks for the instruction.
template <bool instruction>
inline int count_bits(uint64_t x) {
    if constexpr (instruction) {
        return std::popcount(x);
    } else {
        x -= x >> 1 & 0x5555555555555555u;
        x = (x & 0x3333333333333333u) + (x >> 2 & 0x3333333333333333u);
        x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fu;
        return static_cast<int>(x * 0x0101010101010101u >> 56);
    }
}

// Appends the offsets of the set bits of a block's parenthesis mask.  Most
// blocks hold a few; writing a fixed number unconditionally (the list has
// room for classify_list_over_write more) and looping only beyond that
// spares a hard-to-predict branch per parenthesis.
template <bool popcount_instruction = baseline_popcount>
[[gnu::always_inline]] inline uint32_t *list_parens(uint32_t *parens, size_t block_start,
                                                    uint64_t mask) {
    constexpr int unconditional = classify_list_over_write + 1;
    if (mask == 0) return parens;
    uint32_t *end = parens + count_bits<popcount_instruction>(mask);
    // The top bit keeps the count defined once the mask runs out, and keeps
    // the compiler from turning those last writes into branches.
    auto offset = [block_start](uint64_t m) {
        return static_cast<uint32_t>(block_start) +
               static_cast<uint32_t>(std::countr_zero(m | uint64_t{1} << 63));
    };
    for (int k = 0; k < unconditional; ++k, mask &= mask - 1) parens[k] = offset(mask);
    for (parens += unconditional; mask != 0; mask &= mask - 1) *parens++ = offset(mask);
    return end;
}

// The bits of the first n bytes of a block.
inline uint64_t first_bytes(size_t n) {
    return n < block_size ? (uint64_t{1} << n) - 1 : ~uint64_t{0};
}

// Classifies whole blocks with `block`, which gives one block's space mask
// and its parenthesis mask, and lists the parentheses.
template <typename Block>
[[gnu::always_inline]] inline uint32_t
classify_blocks(const unsigned char *p, size_t n, uint64_t *spaces, uint32_t *parens, Block block) {
    uint32_t *next = parens;
    for (size_t i = 0; i < n; i += block_size, ++spaces) {
        uint64_t paren_mask;
        *spaces = block(p + i, paren_mask);
        next = list_parens(next, i, paren_mask & first_bytes(n - i));
    }
    return static_cast<uint32_t>(next - parens);
}

// Runs of blocks without quotes go out in one copy, the others one block at
// a time through `insert`, which copies n <= block_size bytes with quotes.
template <typename Insert>
[[gnu::always_inline]] inline unsigned char *
insert_quotes_blocks(unsigned char *dst, const unsigned char *src, size_t n, const uint64_t *quotes,
                     Insert insert) {
    size_t done = 0;
    for (size_t base = 0; base < n; base += block_size) {
        uint64_t q = quotes[base / block_size];
        if (q == 0) continue;
        if (base > done) {
            std::memcpy(dst, src + done, base - done);
            dst += base - done;
        }
        done = std::min(base + block_size, n);
        dst = insert(dst, src + base, done - base, q);
    }
    std::memcpy(dst, src + done, n - done);
    return dst + n - done;
}

// Copies one block, n <= block_size bytes, with its quotes, eight bytes at a
// time through `eight(dst, src, q)`, which may store 16 places for 8 bytes
// and the 8 bits q of their quotes, and returns the end of the real ones:
// the next group starts there.  The last group may run past n; the result
// then points back.  (The x86-64 form keeps a loop of its own: a function
// built for SSSE3 cannot be called through this one.)
template <typename Eight>
[[gnu::always_inline]] inline unsigned char *insert_eights(unsigned char *dst,
                                                           const unsigned char *src, size_t n,
                                                           uint64_t quotes, Eight eight) {
    auto q = [quotes](size_t i) { return static_cast<unsigned>(quotes >> i & 0xff); };
    if (n == block_size) { // the common case, with no loop to leave
        for (size_t i = 0; i < block_size; i += 8) dst = eight(dst, src + i, q(i));
        return dst;
    }
    size_t i = 0;
    for (; i < n; i += 8) dst = eight(dst, src + i, q(i));
    return dst - (i - n);
}

// For each pattern of quotes before 8 bytes (bit i: a quote before byte i),
// the byte shuffle that spreads the 8 bytes over 8 + (quotes) places, with
// 0x80 where a quote goes (a shuffle writes zero there: PSHUFB for its top
// bit, TBL for an index past its table); the quotes to fill in those places;
// and the number of places.  Used by the forms that shuffle bytes.
struct spread_table {
    alignas(16) unsigned char shuffle[256][16];
    alignas(16) unsigned char quotes[256][16];
    unsigned char length[256];
};

constexpr spread_table make_spread_table() {
    spread_table t{};
    for (unsigned q = 0; q < 256; ++q) {
        unsigned at = 0;
        for (unsigned i = 0; i < 8; ++i) {
            if ((q >> i & 1) != 0) {
                t.quotes[q][at] = quote;
                t.shuffle[q][at++] = 0x80;
            }
            t.shuffle[q][at++] = static_cast<unsigned char>(i);
        }
        t.length[q] = static_cast<unsigned char>(at);
        while (at < 16) t.shuffle[q][at++] = 0x80;
    }
    return t;
}
inline constexpr spread_table spread = make_spread_table();

// A form that works eight bytes at a time stores 16 places for each 8
// bytes, the last group of which may run past n.
static_assert(insert_over_read >= 8 - 1 && insert_over_write >= 16 - 1,
              "8 bytes are loaded from where the last real byte may be first, and 16 places stored "
              "from where only the first may be real");

// The depth pass, shared by every form.  A block's bytes with a meaning for
// the depth are given as masks: `open` and `close` for the parentheses,
// `after3` for the bytes after which the depth is 3.  A byte belongs to a
// token where the depth before it is 3 and it is neither a closing
// parenthesis nor a space; a quote goes before each byte whose token bit
// differs from the one before it.  Of a block of `len` bytes, the bits at
// and past len are left out, and the token bit carried on is byte len - 1's.
inline uint64_t block_quotes(uint64_t after3, unsigned before, uint64_t close, uint64_t spaces,
                             size_t len, uint64_t &token_carry) {
    uint64_t valid = first_bytes(len);
    uint64_t token =
        (after3 << 1 | (before == 3 ? uint64_t{1} : uint64_t{0})) & ~(close | spaces) & valid;
    uint64_t quotes = (token ^ (token << 1 | token_carry)) & valid;
    token_carry = token >> (len - 1) & 1;
    return quotes;
}

// For four bytes, given by their parenthesis bits (the opening ones in bits
// 0 to 3 of the pattern, the closing ones in bits 4 to 7), and for each
// depth d before them: in bits 2d and 2d + 1 of `depth`, the depth after
// them; in bits 4d to 4d + 3 of `after3`, which of them leave it at 3.
struct depth_steps {
    unsigned char depth[256];
    uint16_t after3[256];
};

constexpr depth_steps make_depth_steps() {
    depth_steps t{};
    for (unsigned pattern = 0; pattern < 256; ++pattern) {
        for (unsigned before = 0; before < 4; ++before) {
            unsigned d = before, at3 = 0;
            for (unsigned i = 0; i < 4; ++i) {
                if ((pattern >> i & 1) != 0) d = std::min(d + 1, 3u);
                else if ((pattern >> (4 + i) & 1) != 0) d = d > 0 ? d - 1 : 0;
                at3 |= (d == 3 ? 1u : 0u) << i;
            }
            t.depth[pattern] = static_cast<unsigned char>(t.depth[pattern] | d << 2 * before);
            t.after3[pattern] = static_cast<uint16_t>(t.after3[pattern] | at3 << 4 * before);
        }
    }
    return t;
}
inline constexpr depth_steps steps = make_depth_steps();

// The depth through a block, four bytes a step, without a branch: returns
// the block's after3 mask and moves `depth` to the end of the block.  The
// loads do not wait for the depth; each step waits only for a shift of the
// one before.  A block without parentheses keeps its depth, in one step.
inline uint64_t depth_by_table(uint64_t open, uint64_t close, unsigned &depth) {
    if ((open | close) == 0) return depth == 3 ? ~uint64_t{0} : 0;
    constexpr uint64_t low_nibbles = 0x0f0f0f0f0f0f0f0fu;
    // Byte k of `even` is the pattern of bytes 8k to 8k + 3, of `odd` that
    // of bytes 8k + 4 to 8k + 7.
    uint64_t even = (open & low_nibbles) | (close & low_nibbles) << 4;
    uint64_t odd = (open >> 4 & low_nibbles) | (close & ~low_nibbles);
    unsigned d = depth;
    uint64_t after3 = 0;
    for (int j = 0; j < 64; j += 8) {
        size_t pattern = even >> j & 0xff;
        after3 |= uint64_t{steps.after3[pattern] >> 4 * d & 15u} << j;
        d = steps.depth[pattern] >> 2 * d & 3u;
        pattern = odd >> j & 0xff;
        after3 |= uint64_t{steps.after3[pattern] >> 4 * d & 15u} << (j + 4);
        d = steps.depth[pattern] >> 2 * d & 3u;
    }
    depth = d;
    return after3;
}

// The vector forms that follow the depth in the registers: blocks that take
// the composition straight away once one has needed it.
constexpr int clamped_run = 64;

// The depth pass of the forms that follow the depth by the table: `masks`
// gives a block's parenthesis and space masks.  The last, partial block is
// copied into a block of NUL bytes, which change no depth, so that nothing
// past n is read.
template <typename Masks>
[[gnu::always_inline]] inline void mark_blocks(const unsigned char *p, size_t n, depth_carry &c,
                                               uint64_t *quotes, Masks masks) {
    auto block = [&c, masks](const unsigned char *b, size_t len) {
        uint64_t open, close, spaces;
        masks(b, open, close, spaces);
        unsigned before = c.depth;
        uint64_t after3 = depth_by_table(open, close, c.depth);
        return block_quotes(after3, before, close, spaces, len, c.token);
    };
    size_t full = n - n % block_size;
    for (size_t i = 0; i < full; i += block_size) *quotes++ = block(p + i, block_size);
    if (full < n) {
        alignas(block_size) unsigned char last[block_size] = {};
        std::memcpy(last, p + full, n - full);
        *quotes = block(last, n - full);
    }
}

// Each family's forms, whole buffers at a time (see kernels.h).
uint32_t classify_plain(const unsigned char *p, size_t n, uint64_t *spaces, uint32_t *parens);
unsigned char *insert_quotes_plain(unsigned char *dst, const unsigned char *src, size_t n,
                                   const uint64_t *quotes);
void mark_quotes_plain(const unsigned char *p, size_t n, depth_carry &carry, uint64_t *quotes);
#if ZELMOR_X86_64
bool x86_has(isa level);
uint32_t classify_sse2(const unsigned char *p, size_t n, uint64_t *spaces, uint32_t *parens);
uint32_t classify_avx2(const unsigned char *p, size_t n, uint64_t *spaces, uint32_t *parens);
unsigned char *insert_quotes_ssse3(unsigned char *dst, const unsigned char *src, size_t n,
                                   const uint64_t *quotes);
uint32_t classify_avx512(const unsigned char *p, size_t n, uint64_t *spaces, uint32_t *parens);
unsigned char *insert_quotes_avx512(unsigned char *dst, const unsigned char *src, size_t n,
                                    const uint64_t *quotes);
void mark_quotes_sse2(const unsigned char *p, size_t n, depth_carry &carry, uint64_t *quotes);
void mark_quotes_avx2(const unsigned char *p, size_t n, depth_carry &carry, uint64_t *quotes);
void mark_quotes_avx512(const unsigned char *p, size_t n, depth_carry &carry, uint64_t *quotes);
#endif
#if ZELMOR_AARCH64
uint32_t classify_neon(const unsigned char *p, size_t n, uint64_t *spaces, uint32_t *parens);
unsigned char *insert_quotes_neon(unsigned char *dst, const unsigned char *src, size_t n,
                                  const uint64_t *quotes);
void mark_quotes_neon(const unsigned char *p, size_t n, depth_carry &carry, uint64_t *quotes);
#endif

#endif
