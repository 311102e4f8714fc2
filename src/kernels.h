// The kernels, internal to the filter: classifying the bytes of 64-byte
// blocks, following the depth through them to where the quotes go, and
// copying bytes with double quotes put in.  Each comes in plain
// C++, a 64-bit word at a time, and in the vector forms of x86-64 and
// aarch64; all forms give the same result on every input.  They look for
// the filter's structural bytes, but know nothing of groups or tokens: the
// filter decides where quotes go.
//
// The kernels work in whole blocks and fixed-size pieces, so they reach a
// little past the bytes they are given; how far is stated below, and the
// buffers they are handed are sized with these constants.
#ifndef ZELMOR_KERNELS_H
#define ZELMOR_KERNELS_H

#include <cstddef>
#include <cstdint>

// Bytes classified together: one bit each in a uint64_t mask.
constexpr size_t block_size = 64;

// classify reads every block it touches to its end.
constexpr size_t classify_over_read = block_size - 1;
// classify writes up to this many parenthesis offsets past the last one.
constexpr size_t classify_list_over_write = 7;
// insert_quotes reads up to this many bytes past its source.
constexpr size_t insert_over_read = 7;
// insert_quotes writes up to this many bytes past the end it returns.
constexpr size_t insert_over_write = 63;

// The instruction sets the kernels can use.  On x86-64, each includes the
// ones before it (avx512: AVX-512BW, DQ, VBMI and VBMI2, with BMI2); NEON is
// aarch64's.  best_isa() is the best this CPU has (portable where no vector
// code is built); isa_built() tells whether a set's forms are built in,
// isa_available() whether they are and the CPU, and the system, support it.
enum class isa { portable, sse2, ssse3, avx2, avx512, neon };
constexpr isa all_isas[] = {isa::portable, isa::sse2,   isa::ssse3,
                            isa::avx2,     isa::avx512, isa::neon};
isa best_isa();
bool isa_built(isa level);
bool isa_available(isa level);
const char *isa_name(isa level);

// Classifies p[0, n): sets bit i of spaces[k] where byte k * block_size + i
// is a space, for k in [0, ceil(n / block_size)), and stores the offsets of
// the parentheses, opening and closing, in order in `parens`; returns their
// number.  p is aligned to a block.  The bits past n are unspecified.
uint32_t classify(isa level, const unsigned char *p, size_t n, uint64_t *spaces, uint32_t *parens);

// Copies src[0, n) to dst with a double quote before byte i wherever bit
// i % block_size of quotes[i / block_size] is set (no bit may be set at or
// past n), and returns the end of what it wrote: at most 2 * n bytes.
unsigned char *insert_quotes(isa level, unsigned char *dst, const unsigned char *src, size_t n,
                             const uint64_t *quotes);

// What the depth pass carries from one buffer to the next: the groups open
// before its first byte, counted up to 3 (an innermost group; a parenthesis
// there is a byte of a token), and 1 in `token` when the byte before it
// belonged to a token.  Both start at 0.
struct depth_carry {
    unsigned depth;
    uint64_t token;
};

// The depth pass over p[0, n): sets quotes[k], for k in [0, ceil(n /
// block_size)), to the bits of the bytes of block k that get a double quote
// before them (the first byte of each token, and the space or closing
// parenthesis that ends it), and moves `carry` past the bytes.  Reads
// nothing at or past n, and has no branch that depends on where the
// parentheses are within a block.
void mark_quotes(isa level, const unsigned char *p, size_t n, depth_carry &carry, uint64_t *quotes);

#endif
