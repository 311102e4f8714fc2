// The kernels: classifying the bytes of a block, and copying bytes with
// double quotes put in, in plain C++ and in the vector forms of x86-64.  The
// tests run the whole filter on every form the machine has.  SSE2 is part of
// every x86-64 CPU; SSSE3 and AVX2 are used when the CPU reports them.
// Defining ZELMOR_PORTABLE builds the plain C++ alone.
#include "kernels.h"
#include "zelmor.h" // the structural bytes

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__x86_64__) && !defined(ZELMOR_PORTABLE)
#define ZELMOR_X86_64 1
#include <immintrin.h>
#endif

namespace {

// Appends the offsets of the set bits of a block's parenthesis mask.  Most
// blocks hold a few; writing a fixed number unconditionally (the list has
// room for classify_list_over_write more) and looping only beyond that
// spares a hard-to-predict branch per parenthesis.
[[gnu::always_inline]] inline uint32_t *list_parens(uint32_t *parens, size_t block_start,
                                                    uint64_t mask) {
    constexpr int unconditional = classify_list_over_write + 1;
    if (mask == 0) return parens;
    uint32_t *end = parens + std::popcount(mask);
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
uint64_t first_bytes(size_t n) {
    return n < block_size ? (uint64_t{1} << n) - 1 : ~uint64_t{0};
}

uint32_t classify_portable(const unsigned char *p, size_t n, block_masks *masks, uint32_t *parens) {
    uint32_t *next = parens;
    for (size_t i = 0; i < n; i += block_size, ++masks) {
        block_masks b{};
        uint64_t paren_mask = 0;
        for (size_t k = 0; k < block_size; ++k) {
            uint64_t bit = uint64_t{1} << k;
            if (p[i + k] == open_paren || p[i + k] == close_paren) paren_mask |= bit;
            if (p[i + k] == close_paren) b.close |= bit;
            if (p[i + k] == space) b.space |= bit;
        }
        *masks = b;
        next = list_parens(next, i, paren_mask & first_bytes(n - i));
    }
    return static_cast<uint32_t>(next - parens);
}

// One block: n <= block_size bytes.
unsigned char *insert_quotes_portable(unsigned char *dst, const unsigned char *src, size_t n,
                                      uint64_t quotes) {
    size_t done = 0;
    for (; quotes != 0; quotes &= quotes - 1) {
        size_t at = static_cast<size_t>(std::countr_zero(quotes));
        std::memcpy(dst, src + done, at - done);
        dst += at - done;
        *dst++ = quote;
        done = at;
    }
    std::memcpy(dst, src + done, n - done);
    return dst + n - done;
}

// Runs of blocks without quotes go out in one copy, the others one block at
// a time through `insert`.
template <typename Insert>
unsigned char *insert_quotes_blocks(unsigned char *dst, const unsigned char *src, size_t n,
                                    const uint64_t *quotes, Insert insert) {
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

#if ZELMOR_X86_64

// Compare 16 bytes at a time with each structural byte and gather the top
// bits of the results into the block's masks.
uint32_t classify_sse2(const unsigned char *p, size_t n, block_masks *masks, uint32_t *parens) {
    const __m128i open = _mm_set1_epi8(open_paren), close = _mm_set1_epi8(close_paren),
                  spaces = _mm_set1_epi8(space);
    auto mask = [](__m128i eq, int part) {
        return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(eq))) << (16 * part);
    };
    uint32_t *next = parens;
    for (size_t i = 0; i < n; i += block_size, ++masks) {
        block_masks b{};
        uint64_t paren_mask = 0;
        for (int part = 0; part < 4; ++part) {
            __m128i v = _mm_load_si128(reinterpret_cast<const __m128i *>(p + i + 16 * part));
            __m128i closes = _mm_cmpeq_epi8(v, close);
            paren_mask |= mask(_mm_or_si128(_mm_cmpeq_epi8(v, open), closes), part);
            b.close |= mask(closes, part);
            b.space |= mask(_mm_cmpeq_epi8(v, spaces), part);
        }
        *masks = b;
        next = list_parens(next, i, paren_mask & first_bytes(n - i));
    }
    return static_cast<uint32_t>(next - parens);
}

// The same, 32 bytes at a time.
[[gnu::target("avx2")]] inline uint64_t mask_avx2(__m256i eq, int part) {
    return static_cast<uint64_t>(static_cast<unsigned>(_mm256_movemask_epi8(eq))) << (32 * part);
}

[[gnu::target("avx2,popcnt,bmi")]] uint32_t classify_avx2(const unsigned char *p, size_t n,
                                                          block_masks *masks, uint32_t *parens) {
    const __m256i open = _mm256_set1_epi8(open_paren), close = _mm256_set1_epi8(close_paren),
                  spaces = _mm256_set1_epi8(space);
    uint32_t *next = parens;
    for (size_t i = 0; i < n; i += block_size, ++masks) {
        block_masks b{};
        uint64_t paren_mask = 0;
        for (int part = 0; part < 2; ++part) {
            __m256i v = _mm256_load_si256(reinterpret_cast<const __m256i *>(p + i + 32 * part));
            __m256i closes = _mm256_cmpeq_epi8(v, close);
            paren_mask |= mask_avx2(_mm256_or_si256(_mm256_cmpeq_epi8(v, open), closes), part);
            b.close |= mask_avx2(closes, part);
            b.space |= mask_avx2(_mm256_cmpeq_epi8(v, spaces), part);
        }
        *masks = b;
        next = list_parens(next, i, paren_mask & first_bytes(n - i));
    }
    return static_cast<uint32_t>(next - parens);
}

// For each pattern of quotes before 8 bytes (bit i: a quote before byte i),
// the byte shuffle that spreads the 8 bytes over 8 + (quotes) places, with
// 0x80 (which makes the shuffle write zero) where a quote goes; the quotes
// to fill in those places; and the number of places.
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
            if (q >> i & 1) {
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

constexpr spread_table spread = make_spread_table();

// Eight bytes at a time: shuffle them apart, fill the gaps with quotes, and
// store all 16 places; the next store starts where this one's real bytes
// end.  The last group of eight may run past n; the result then points back.
static_assert(insert_over_read >= 8 - 1 && insert_over_write >= 16 - 1,
              "spread8 loads 8 bytes from where the last real byte may be first, and stores 16 "
              "from where only the first may be real");
[[gnu::target("ssse3"), gnu::always_inline]] inline unsigned char *
spread8(unsigned char *dst, const unsigned char *src, unsigned q) {
    __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(src));
    __m128i shuffle = _mm_load_si128(reinterpret_cast<const __m128i *>(spread.shuffle[q]));
    __m128i fill = _mm_load_si128(reinterpret_cast<const __m128i *>(spread.quotes[q]));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst),
                     _mm_or_si128(_mm_shuffle_epi8(bytes, shuffle), fill));
    return dst + spread.length[q];
}

[[gnu::target("ssse3")]] unsigned char *
insert_quotes_ssse3(unsigned char *dst, const unsigned char *src, size_t n, uint64_t quotes) {
    if (n == block_size) { // the common case, with no loop to leave
        for (size_t i = 0; i < block_size; i += 8) dst = spread8(dst, src + i, quotes >> i & 0xff);
        return dst;
    }
    size_t i = 0;
    for (; i < n; i += 8) dst = spread8(dst, src + i, quotes >> i & 0xff);
    return dst - (i - n);
}

#endif

} // namespace

isa best_isa() {
#if ZELMOR_X86_64
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") &&
        __builtin_cpu_supports("bmi"))
        return isa::avx2;
    if (__builtin_cpu_supports("ssse3")) return isa::ssse3;
    return isa::sse2;
#else
    return isa::portable;
#endif
}

uint32_t classify(isa level, const unsigned char *p, size_t n, block_masks *masks,
                  uint32_t *parens) {
#if ZELMOR_X86_64
    if (level >= isa::avx2) return classify_avx2(p, n, masks, parens);
    if (level >= isa::sse2) return classify_sse2(p, n, masks, parens);
#endif
    (void)level;
    return classify_portable(p, n, masks, parens);
}

unsigned char *insert_quotes(isa level, unsigned char *dst, const unsigned char *src, size_t n,
                             const uint64_t *quotes) {
#if ZELMOR_X86_64
    if (level >= isa::ssse3) return insert_quotes_blocks(dst, src, n, quotes, insert_quotes_ssse3);
#endif
    (void)level;
    return insert_quotes_blocks(dst, src, n, quotes, insert_quotes_portable);
}
