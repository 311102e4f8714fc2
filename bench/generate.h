// Seeded, deterministic test inputs for the benchmarks.
#ifndef ZELMOR_BENCH_GENERATE_H
#define ZELMOR_BENCH_GENERATE_H

#include <cstddef>
#include <cstdint>
#include <string>

// realistic: top-level groups of equations, each a name and two innermost
//            groups of 1-12 short tokens (names, operators, numbers);
// plain:     text without parentheses;
// tokens:    innermost groups of one-byte tokens, (((a a a ...)));
// parens:    nothing but parentheses, at random;
// nested:    nothing but parentheses, in the regular pattern ((())).
// depths:    groups nested 0 to 8 deep at random, with short tokens between
//            the parentheses.
enum class shape { realistic, plain, tokens, parens, nested, depths };

bool parse_shape(const std::string &name, shape &s);

// At least `size` bytes of the shape, ending at a line end; the same seed
// always gives the same bytes.
std::string generate(shape s, size_t size, uint64_t seed);

#endif
