// The nesting filter: three scanners, one per level of parentheses.
//
// The depth is not kept in a variable; it is which scanner is running.  The
// scanners decide where the double quotes go and nothing else: the input
// stream has classified each block of 64 bytes into bit masks, a scanner
// steps from one byte that matters at its level to the next, and it marks
// the bytes that get a quote before them.  Every byte it steps over is
// written out, unchanged and in order, with the marked quotes, when the
// input moves on to its next buffer.
#include "zelmor.h"

#include <algorithm>
#include <bit>

namespace {

constexpr int end_of_input = -1;
constexpr int open_paren = '(';
constexpr int close_paren = ')';

// The bytes that matter at depth 0 (an opening parenthesis) and at depths 1
// and 2 (either parenthesis), as a mask of one block.
enum class stop { open, paren };

template <stop S>
uint64_t stop_bits(const block_bits &b) {
    if constexpr (S == stop::open) return b.open;
    return b.open | b.close;
}

// Reads up to and including the next byte that matters; returns it, or
// end_of_input.
template <stop S>
int next(in_stream &in, out_stream &out) {
    while (in.pos < in.len || refill(in, out)) {
        size_t block = in.pos / stream_block;
        uint64_t m = stop_bits<S>(in.bits[block]) & (~uint64_t{0} << in.pos % stream_block);
        while (m == 0 && ++block * stream_block < in.len) m = stop_bits<S>(in.bits[block]);
        in.pos = m == 0 ? in.len
                        : std::min(block * stream_block + static_cast<size_t>(std::countr_zero(m)),
                                   in.len);
        if (in.pos < in.len) return in.buf[in.pos++];
    }
    return end_of_input;
}

} // namespace

// Outside every group and inside top-level groups (depths 0 and 1).  Nothing
// is quoted.  At depth 0 only an opening parenthesis matters: it opens a
// top-level group, and a closing one there closes nothing.  Inside a
// top-level group, an opening parenthesis starts an equation, which proc_eq
// reads, and a closing one ends the group.
void proc_files(in_stream &in, out_stream &out) {
    while (next<stop::open>(in, out) != end_of_input) {
        int c;
        while ((c = next<stop::paren>(in, out)) == open_paren) proc_eq(in, out);
        if (c == end_of_input) return;
    }
}

// Inside an equation (depth 2).  Nothing is quoted; an opening parenthesis
// starts an innermost group, which proc_xhs reads, and a closing one ends the
// equation.
void proc_eq(in_stream &in, out_stream &out) {
    while (next<stop::paren>(in, out) == open_paren) proc_xhs(in, out);
}

// Inside an innermost group (depth 3).  A token is a run of bytes other than
// space and closing parenthesis; a double quote goes before its first byte
// and before the space or parenthesis that ends it.  The first closing
// parenthesis ends the group.  If the input ends inside a token, the token
// keeps its opening quote only.
//
// One block at a time: `live` marks the block's bytes that belong to the
// group, `token` its token bytes, and the quotes go before the edges, the
// bytes whose token bit differs from the byte before them.  `in_token` is
// that bit for the last byte read, carried from block to block.
void proc_xhs(in_stream &in, out_stream &out) {
    uint64_t in_token = 0;
    while (in.pos < in.len || refill(in, out)) {
        size_t base = in.pos / stream_block * stream_block;
        size_t first = in.pos - base, end = std::min(in.len - base, stream_block);
        block_bits &b = in.bits[base / stream_block];

        uint64_t live = ~uint64_t{0} << first;
        if (end < stream_block) live &= (uint64_t{1} << end) - 1;
        uint64_t closes = b.close & live;
        if (closes != 0) live &= closes ^ (closes - 1); // up to the first one
        uint64_t token = ~(b.space | b.close);
        uint64_t before = (token << 1 & ~(uint64_t{1} << first)) | in_token << first;
        b.quote |= (token ^ before) & live;

        size_t last = stream_block - 1 - static_cast<size_t>(std::countl_zero(live));
        in.pos = base + last + 1;
        if (closes != 0) return;
        in_token = token >> last & 1;
    }
}
