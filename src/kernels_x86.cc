// The kernels in x86-64's vector instructions: classification with SSE2,
// which every x86-64 CPU has, AVX2 or AVX-512BW; quote insertion with
// SSSE3's byte shuffle or AVX-512 VBMI2's byte expansion.  Which of them
// the CPU has, and whether the system saves the AVX and AVX-512 registers,
// cpuid and xgetbv say.
#include "kernel_forms.h"

#if ZELMOR_X86_64
#include <cpuid.h>
#include <immintrin.h>

namespace {

// What the CPU reports, from cpuid: SSSE3; the AVX2 kernels' AVX2, POPCNT
// and BMI1, usable only where the system saves the AVX state (bits 1 and 2
// of XCR0, which xgetbv reads); and the AVX-512 kernels' AVX-512F and BW,
// DQ and VBMI (the depth pass is built for them), VBMI2 (the insertion's
// byte expansion) and BMI2, where it saves the AVX-512 state too (bits 5
// to 7).
struct x86_features {
    bool ssse3 = false, avx2 = false, avx512 = false;
};

x86_features read_features() {
    x86_features f;
    unsigned a, b, c, d, xcr0 = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) return f;
    f.ssse3 = (c & bit_SSSE3) != 0;
    bool popcnt = (c & bit_POPCNT) != 0;
    if ((c & bit_OSXSAVE) != 0 && (c & bit_AVX) != 0) {
        unsigned hi;
        __asm__("xgetbv" : "=a"(xcr0), "=d"(hi) : "c"(0));
    }
    if (__get_cpuid_max(0, nullptr) < 7) return f;
    __cpuid_count(7, 0, a, b, c, d);
    f.avx2 =
        f.ssse3 && popcnt && (xcr0 & 0x06) == 0x06 && (b & bit_AVX2) != 0 && (b & bit_BMI) != 0;
    f.avx512 = f.avx2 && (xcr0 & 0xe6) == 0xe6 && (b & bit_AVX512F) != 0 &&
               (b & bit_AVX512BW) != 0 && (b & bit_AVX512DQ) != 0 && (b & bit_BMI2) != 0 &&
               (c & bit_AVX512VBMI) != 0 && (c & bit_AVX512VBMI2) != 0;
    return f;
}

// One block, 16 bytes at a time: compare them with each structural byte and
// gather the top bits of the results into the block's masks.
uint64_t classify_block_sse2(const unsigned char *p, uint64_t &paren_mask) {
    const __m128i open = _mm_set1_epi8(open_paren), close = _mm_set1_epi8(close_paren),
                  space_bytes = _mm_set1_epi8(space);
    auto mask = [](__m128i eq, int part) {
        return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(eq))) << (16 * part);
    };
    uint64_t spaces = 0;
    paren_mask = 0;
    for (int part = 0; part < 4; ++part) {
        __m128i v = _mm_load_si128(reinterpret_cast<const __m128i *>(p + 16 * part));
        paren_mask |= mask(_mm_or_si128(_mm_cmpeq_epi8(v, open), _mm_cmpeq_epi8(v, close)), part);
        spaces |= mask(_mm_cmpeq_epi8(v, space_bytes), part);
    }
    return spaces;
}

// The same, 32 bytes at a time.  Built for AVX2, it keeps its own loop over
// the blocks: classify_blocks, built for the baseline CPU, cannot take in
// a function built for AVX2.
[[gnu::target("avx2")]] inline uint64_t mask_avx2(__m256i eq, int part) {
    return static_cast<uint64_t>(static_cast<unsigned>(_mm256_movemask_epi8(eq))) << (32 * part);
}

[[gnu::target("avx2,popcnt,bmi")]] uint32_t classify_avx2_impl(const unsigned char *p, size_t n,
                                                               uint64_t *spaces, uint32_t *parens) {
    const __m256i open = _mm256_set1_epi8(open_paren), close = _mm256_set1_epi8(close_paren),
                  space_bytes = _mm256_set1_epi8(space);
    uint32_t *next = parens;
    for (size_t i = 0; i < n; i += block_size, ++spaces) {
        uint64_t paren_mask = 0, space_mask = 0;
        for (int part = 0; part < 2; ++part) {
            __m256i v = _mm256_load_si256(reinterpret_cast<const __m256i *>(p + i + 32 * part));
            paren_mask |= mask_avx2(
                _mm256_or_si256(_mm256_cmpeq_epi8(v, open), _mm256_cmpeq_epi8(v, close)), part);
            space_mask |= mask_avx2(_mm256_cmpeq_epi8(v, space_bytes), part);
        }
        *spaces = space_mask;
        next = list_parens<true>(next, i, paren_mask & first_bytes(n - i));
    }
    return static_cast<uint32_t>(next - parens);
}

// Eight bytes at a time: shuffle them apart, fill the gaps with quotes, and
// store all 16 places; the next store starts where this one's real bytes
// end.  The last group of eight may run past n; the result then points back.
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
insert_block_ssse3(unsigned char *dst, const unsigned char *src, size_t n, uint64_t quotes) {
    if (n == block_size) { // the common case, with no loop to leave
        for (size_t i = 0; i < block_size; i += 8) dst = spread8(dst, src + i, quotes >> i & 0xff);
        return dst;
    }
    size_t i = 0;
    for (; i < n; i += 8) dst = spread8(dst, src + i, quotes >> i & 0xff);
    return dst - (i - n);
}

// One block compared with each structural byte in one go, into mask
// registers.
[[gnu::target("avx512f,avx512bw,popcnt,bmi,bmi2")]] uint32_t
classify_avx512_impl(const unsigned char *p, size_t n, uint64_t *spaces, uint32_t *parens) {
    const __m512i open = _mm512_set1_epi8(open_paren), close = _mm512_set1_epi8(close_paren),
                  space_bytes = _mm512_set1_epi8(space);
    uint32_t *next = parens;
    for (size_t i = 0; i < n; i += block_size, ++spaces) {
        __m512i v = _mm512_load_si512(p + i);
        uint64_t paren_mask = _mm512_cmpeq_epi8_mask(v, open) | _mm512_cmpeq_epi8_mask(v, close);
        *spaces = _mm512_cmpeq_epi8_mask(v, space_bytes);
        next = list_parens<true>(next, i, paren_mask & first_bytes(n - i));
    }
    return static_cast<uint32_t>(next - parens);
}

// Up to 32 bytes with their quotes, which fill at most 64 places: each byte
// i has two slots, 2i for a quote before it and 2i + 1 for itself, present
// where the quote is asked for and the byte is there.  Packed, the present
// slots say where each byte goes and where a quote; the bytes, loaded
// under a mask, are spread to their places over a register of quotes and
// stored under a mask, so nothing past the bytes is read or written.
[[gnu::target("avx512f,avx512bw,avx512vbmi2,popcnt,bmi,bmi2"),
  gnu::always_inline]] inline unsigned char *
insert32(unsigned char *dst, const unsigned char *src, size_t n, uint64_t q, __m512i quotes) {
    constexpr uint64_t quote_slots = 0x5555555555555555u, byte_slots = ~quote_slots;
    uint64_t bytes = _pdep_u64(first_bytes(n), byte_slots);
    uint64_t present = bytes | _pdep_u64(q, quote_slots);
    uint64_t placed = _pext_u64(bytes, present);
    size_t length = static_cast<size_t>(std::popcount(present));
    __m512i v =
        _mm512_mask_expand_epi8(quotes, placed, _mm512_maskz_loadu_epi8(first_bytes(n), src));
    _mm512_mask_storeu_epi8(dst, first_bytes(length), v);
    return dst + length;
}

// 32 whole bytes with their quotes, stored whole: the store may reach 32
// places past the real ones, which the next store overwrites.
[[gnu::target("avx512f,avx512bw,avx512vbmi2,popcnt,bmi,bmi2"),
  gnu::always_inline]] inline unsigned char *
insert32_whole(unsigned char *dst, const unsigned char *src, uint64_t q, __m512i quotes) {
    constexpr uint64_t quote_slots = 0x5555555555555555u, byte_slots = ~quote_slots;
    uint64_t present = byte_slots | _pdep_u64(q, quote_slots);
    uint64_t placed = _pext_u64(byte_slots, present);
    __m512i bytes =
        _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(src)));
    _mm512_storeu_si512(dst, _mm512_mask_expand_epi8(quotes, placed, bytes));
    return dst + std::popcount(present);
}

// Whole blocks the same way whatever their quotes, with no branch on them;
// the last, partial block through insert32, which reads and writes nothing
// past its bytes.
[[gnu::target("avx512f,avx512bw,avx512vbmi2,popcnt,bmi,bmi2")]] unsigned char *
insert_quotes_avx512_impl(unsigned char *dst, const unsigned char *src, size_t n,
                          const uint64_t *quotes) {
    const __m512i quote_bytes = _mm512_set1_epi8(quote);
    size_t full = n - n % block_size;
    for (size_t base = 0; base < full; base += block_size) {
        uint64_t q = quotes[base / block_size];
        dst = insert32_whole(dst, src + base, q & 0xffffffffu, quote_bytes);
        dst = insert32_whole(dst, src + base + 32, q >> 32, quote_bytes);
    }
    if (full < n) {
        uint64_t q = quotes[full / block_size];
        size_t len = n - full, low = std::min<size_t>(len, 32);
        dst = insert32(dst, src + full, low, q & 0xffffffffu, quote_bytes);
        if (len > 32) dst = insert32(dst, src + full + 32, len - 32, q >> 32, quote_bytes);
    }
    return dst;
}

} // namespace

bool x86_has(isa level) {
    x86_features f = read_features();
    return level == isa::sse2 || (level == isa::ssse3 && f.ssse3) ||
           (level == isa::avx2 && f.avx2) || (level == isa::avx512 && f.avx512);
}

uint32_t classify_avx512(const unsigned char *p, size_t n, uint64_t *spaces, uint32_t *parens) {
    return classify_avx512_impl(p, n, spaces, parens);
}

unsigned char *insert_quotes_avx512(unsigned char *dst, const unsigned char *src, size_t n,
                                    const uint64_t *quotes) {
    return insert_quotes_avx512_impl(dst, src, n, quotes);
}

uint32_t classify_sse2(const unsigned char *p, size_t n, uint64_t *spaces, uint32_t *parens) {
    return classify_blocks(p, n, spaces, parens, classify_block_sse2);
}

// The forms built for AVX2 and SSSE3 are reached through functions built for
// the baseline CPU, as kernel_forms.h declares them.
uint32_t classify_avx2(const unsigned char *p, size_t n, uint64_t *spaces, uint32_t *parens) {
    return classify_avx2_impl(p, n, spaces, parens);
}

unsigned char *insert_quotes_ssse3(unsigned char *dst, const unsigned char *src, size_t n,
                                   const uint64_t *quotes) {
    return insert_quotes_blocks(dst, src, n, quotes, insert_block_ssse3);
}

#endif
