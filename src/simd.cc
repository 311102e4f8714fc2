// The vector code, kept in one place: classifying the bytes of a block, and
// copying bytes with double quotes put in.  Each has a plain C++ equivalent
// that gives the same result on every input; the tests and the fuzzer hold
// them to that.  On x86-64, classification uses SSE2, which every such CPU
// has; quote insertion uses SSSE3 when the CPU has it, checked at run time.
// Defining ZELMOR_PORTABLE builds the plain C++ everywhere.
#include "zelmor.h"

#include <bit>
#include <cstring>

#if defined(__x86_64__) && !defined(ZELMOR_PORTABLE)
#define ZELMOR_X86_64 1
#include <immintrin.h>
#endif

namespace {

constexpr unsigned char open_paren = '(';
constexpr unsigned char close_paren = ')';
constexpr unsigned char space = ' ';
constexpr unsigned char quote = '"';

} // namespace

namespace {

// Appends the offsets of the set bits of a block's parenthesis mask.
uint32_t *list_parens(uint32_t *parens, size_t block_start, uint64_t mask) {
    for (; mask != 0; mask &= mask - 1) {
        *parens++ =
            static_cast<uint32_t>(block_start) + static_cast<uint32_t>(std::countr_zero(mask));
    }
    return parens;
}

} // namespace

uint32_t classify_portable(const unsigned char *p, size_t n, block_bits *bits, uint32_t *parens) {
    uint32_t *next = parens;
    for (size_t i = 0; i < n; i += stream_block, ++bits) {
        block_bits b{};
        uint64_t paren_mask = 0;
        for (size_t k = 0; k < stream_block; ++k) {
            uint64_t bit = uint64_t{1} << k;
            if (p[i + k] == open_paren || p[i + k] == close_paren) paren_mask |= bit;
            if (p[i + k] == close_paren) b.close |= bit;
            if (p[i + k] == space) b.space |= bit;
        }
        if (n - i < stream_block) paren_mask &= (uint64_t{1} << (n - i)) - 1;
        *bits = b;
        next = list_parens(next, i, paren_mask);
    }
    return static_cast<uint32_t>(next - parens);
}

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

#if ZELMOR_X86_64

// Compare 16 bytes at a time with each structural byte and gather the top
// bits of the results into the block's masks.
uint32_t classify(const unsigned char *p, size_t n, block_bits *bits, uint32_t *parens) {
    const __m128i open = _mm_set1_epi8(open_paren), close = _mm_set1_epi8(close_paren),
                  spaces = _mm_set1_epi8(space);
    auto mask = [](__m128i eq, int part) {
        return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(eq))) << (16 * part);
    };
    uint32_t *next = parens;
    for (size_t i = 0; i < n; i += stream_block, ++bits) {
        block_bits b{};
        uint64_t paren_mask = 0;
        for (int part = 0; part < 4; ++part) {
            __m128i v = _mm_load_si128(reinterpret_cast<const __m128i *>(p + i + 16 * part));
            __m128i closes = _mm_cmpeq_epi8(v, close);
            paren_mask |= mask(_mm_or_si128(_mm_cmpeq_epi8(v, open), closes), part);
            b.close |= mask(closes, part);
            b.space |= mask(_mm_cmpeq_epi8(v, spaces), part);
        }
        if (n - i < stream_block) paren_mask &= (uint64_t{1} << (n - i)) - 1;
        *bits = b;
        next = list_parens(next, i, paren_mask);
    }
    return static_cast<uint32_t>(next - parens);
}

namespace {

// For each pattern of quotes before 8 bytes (bit i: a quote before byte i),
// the byte shuffle that spreads the 8 bytes over 8 + (quotes) places, with
// 0x80 (which makes the shuffle write zero) where a quote goes, and the
// number of places.
struct spread_table {
    alignas(16) unsigned char shuffle[256][16];
    unsigned char length[256];
};

constexpr spread_table make_spread_table() {
    spread_table t{};
    for (unsigned q = 0; q < 256; ++q) {
        unsigned at = 0;
        for (unsigned i = 0; i < 8; ++i) {
            if (q >> i & 1) t.shuffle[q][at++] = 0x80;
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
__attribute__((target("ssse3"))) unsigned char *
insert_quotes_ssse3(unsigned char *dst, const unsigned char *src, size_t n, uint64_t quotes) {
    const __m128i quote_bytes = _mm_set1_epi8(static_cast<char>(quote));
    const __m128i gap = _mm_set1_epi8(static_cast<char>(0x80));
    size_t i = 0;
    for (; i < n; i += 8) {
        unsigned q = quotes >> i & 0xff;
        __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(src + i));
        __m128i shuffle = _mm_load_si128(reinterpret_cast<const __m128i *>(spread.shuffle[q]));
        __m128i spread_bytes = _mm_shuffle_epi8(bytes, shuffle);
        __m128i quotes_in_gaps = _mm_and_si128(_mm_cmpeq_epi8(shuffle, gap), quote_bytes);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst),
                         _mm_or_si128(spread_bytes, quotes_in_gaps));
        dst += spread.length[q];
    }
    return dst - (i - n);
}

} // namespace

unsigned char *insert_quotes(unsigned char *dst, const unsigned char *src, size_t n,
                             uint64_t quotes) {
    if (__builtin_cpu_supports("ssse3")) return insert_quotes_ssse3(dst, src, n, quotes);
    return insert_quotes_portable(dst, src, n, quotes);
}

#else

void classify(const unsigned char *p, size_t n, block_bits *bits) {
    classify_portable(p, n, bits);
}

unsigned char *insert_quotes(unsigned char *dst, const unsigned char *src, size_t n,
                             uint64_t quotes) {
    return insert_quotes_portable(dst, src, n, quotes);
}

#endif
