// The nesting filter: three scanners, one per level of parentheses.
//
// The depth is not kept in a variable; it is which scanner is running.  The
// scanners decide where the double quotes go and nothing else.  The input
// stream lists where each buffer's parentheses are, so a scanner steps from
// one parenthesis to the next without looking at the bytes in between, and
// marks in the stream's block masks the bytes that get a quote before them.
// Every byte is written out, unchanged and in order, with the marked quotes,
// when the input moves on to its next buffer.
#include "zelmor.h"

#include <algorithm>
#include <bit>

namespace {

constexpr int end_of_input = -1;
constexpr int open_paren = '(';
constexpr int close_paren = ')';

// Reads up to and including the next parenthesis; returns it, or
// end_of_input.
int next_paren(in_stream &in, out_stream &out) {
    while (in.next_paren == in.paren_count) {
        in.pos = in.len;
        if (!refill(in, out)) return end_of_input;
    }
    in.pos = in.parens[in.next_paren++] + size_t{1};
    return in.buf[in.pos - 1];
}

// Marks the quotes of the innermost-group bytes buf[from, to): before the
// first byte of each token and before the space or parenthesis that ends
// it.  Block by block, `token` marks the token bytes, and the quotes go
// before the edges, the bytes whose token bit differs from the one before
// them; `in_token` is that bit for the byte before `from`, and the result
// is the bit for the last byte marked.
uint64_t mark_tokens(in_stream &in, size_t from, size_t to, uint64_t in_token) {
    while (from < to) {
        size_t base = from / stream_block * stream_block;
        size_t first = from - base, end = std::min(to - base, stream_block);
        block_bits &b = in.bits[base / stream_block];
        uint64_t live = ~uint64_t{0} << first;
        if (end < stream_block) live &= (uint64_t{1} << end) - 1;
        uint64_t token = ~(b.space | b.close);
        uint64_t before = (token << 1 & ~(uint64_t{1} << first)) | in_token << first;
        b.quote |= (token ^ before) & live;
        in_token = token >> (end - 1) & 1;
        from = base + end;
    }
    return in_token;
}

} // namespace

// Outside every group and inside top-level groups (depths 0 and 1).  Nothing
// is quoted.  At depth 0 only an opening parenthesis matters: it opens a
// top-level group, and a closing one there closes nothing.  Inside a
// top-level group, an opening parenthesis starts an equation, which proc_eq
// reads, and a closing one ends the group.
void proc_files(in_stream &in, out_stream &out) {
    for (int c; (c = next_paren(in, out)) != end_of_input;) {
        if (c != open_paren) continue;
        while ((c = next_paren(in, out)) == open_paren) proc_eq(in, out);
        if (c == end_of_input) return;
    }
}

// Inside an equation (depth 2).  Nothing is quoted; an opening parenthesis
// starts an innermost group, which proc_xhs reads, and a closing one ends the
// equation.
void proc_eq(in_stream &in, out_stream &out) {
    while (next_paren(in, out) == open_paren) proc_xhs(in, out);
}

// Inside an innermost group (depth 3).  A token is a run of bytes other than
// space and closing parenthesis, and an opening parenthesis here is one of
// its bytes.  The group runs up to and including the first closing
// parenthesis; if the input ends first, a token open at the end keeps its
// opening quote only.
void proc_xhs(in_stream &in, out_stream &out) {
    uint64_t in_token = 0;
    for (;;) {
        size_t end = in.len;
        bool closed = false;
        while (!closed && in.next_paren < in.paren_count) {
            size_t at = in.parens[in.next_paren++];
            closed = in.buf[at] == close_paren;
            if (closed) end = at + 1;
        }
        in_token = mark_tokens(in, in.pos, end, in_token);
        in.pos = end;
        if (closed || !refill(in, out)) return;
    }
}
