// The nesting filter: three scanners, one per level of parentheses.
//
// The depth is not kept in a variable; it is which scanner is running.
// Every byte read is written (only double quotes are added), in order, and
// the input is read once from start to end.  The scanners do not look at
// every byte: the input stream has classified each block of 64 bytes into
// bit masks, and a scanner jumps from one byte that matters at its level to
// the next, copying the bytes in between as one span.
#include "zelmor.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

constexpr int end_of_input = -1;
constexpr unsigned char open_paren = '(';
constexpr unsigned char close_paren = ')';
constexpr unsigned char quote = '"';

inline void put_byte(out_stream &out, unsigned char c) {
    if (out.len >= out.cap) flush(out);
    out.buf[out.len++] = c;
}

// Copies a span of at most one block from p to dst as a fixed-size move:
// the streams' slack makes the bytes past the span safe to read and to
// overwrite.  Returns the end of the span in dst.
inline unsigned char *copy_short(unsigned char *dst, const unsigned char *p, size_t n) {
    if (n <= 16) std::memcpy(dst, p, 16);
    else std::memcpy(dst, p, stream_block);
    return dst + n;
}

inline void put_span(out_stream &out, const unsigned char *p, size_t n) {
    if (n <= stream_block && out.len < out.cap) {
        out.len = static_cast<size_t>(copy_short(out.buf + out.len, p, n) - out.buf);
    } else {
        put_bytes(out, p, n);
    }
}

// The bytes a scanner stops at, as a mask of one block.
enum class stop { open, paren, not_space };

template <stop S>
inline uint64_t stop_bits(const block_bits &b) {
    if constexpr (S == stop::open) return b.open;
    if constexpr (S == stop::paren) return b.open | b.close;
    return ~b.space;
}

// Copies bytes up to the next stop byte, which it reads but does not write.
// Returns the stop byte, or end_of_input.
template <stop S>
int copy_until(in_stream &in, out_stream &out) {
    while (in.pos < in.len || refill(in, out)) {
        size_t block = in.pos / stream_block;
        uint64_t m = stop_bits<S>(in.bits[block]) & (~uint64_t{0} << in.pos % stream_block);
        while (m == 0 && ++block * stream_block < in.len) m = stop_bits<S>(in.bits[block]);
        size_t at =
            m == 0
                ? in.len
                : std::min(block * stream_block + static_cast<size_t>(std::countr_zero(m)), in.len);
        put_span(out, in.buf + in.pos, at - in.pos);
        in.pos = at;
        if (at < in.len) return in.buf[in.pos++];
    }
    return end_of_input;
}

} // namespace

// Outside every group and inside top-level groups (depths 0 and 1).  Every
// byte is copied.  At depth 0 only an opening parenthesis matters: it opens
// a top-level group, and a closing one there closes nothing.  Inside a
// top-level group, an opening parenthesis starts an equation, which proc_eq
// copies, and a closing one ends the group.
void proc_files(in_stream &in, out_stream &out) {
    while (copy_until<stop::open>(in, out) != end_of_input) {
        put_byte(out, open_paren);
        int c;
        while ((c = copy_until<stop::paren>(in, out)) == open_paren) {
            put_byte(out, open_paren);
            proc_eq(in, out);
        }
        if (c == end_of_input) return;
        put_byte(out, close_paren);
    }
}

// Inside an equation (depth 2).  Every byte is copied; an opening parenthesis
// starts an innermost group, which proc_xhs copies, and a closing one ends
// the equation.
void proc_eq(in_stream &in, out_stream &out) {
    int c;
    while ((c = copy_until<stop::paren>(in, out)) == open_paren) {
        put_byte(out, open_paren);
        proc_xhs(in, out);
    }
    if (c != end_of_input) put_byte(out, close_paren);
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
// that bit for the last byte copied, carried from block to block.
void proc_xhs(in_stream &in, out_stream &out) {
    uint64_t in_token = 0;
    while (in.pos < in.len || refill(in, out)) {
        if (out.len >= out.cap) flush(out); // the slack holds what one block writes
        size_t base = in.pos / stream_block * stream_block;
        size_t first = in.pos - base, end = std::min(in.len - base, stream_block);
        const block_bits &b = in.bits[base / stream_block];

        uint64_t live = ~uint64_t{0} << first;
        if (end < stream_block) live &= (uint64_t{1} << end) - 1;
        uint64_t closes = b.close & live;
        if (closes != 0) live &= closes ^ (closes - 1); // up to the first one
        uint64_t token = ~(b.space | b.close);
        uint64_t before = (token << 1 & ~(uint64_t{1} << first)) | in_token << first;
        uint64_t edges = (token ^ before) & live;

        size_t n = stream_block - static_cast<size_t>(std::countl_zero(live)) - first;
        unsigned char *dst = insert_quotes(out.buf + out.len, in.buf + in.pos, n, edges >> first);
        out.len = static_cast<size_t>(dst - out.buf);
        in.pos += n;
        if (closes != 0) return;
        in_token = token >> (first + n - 1) & 1;
    }
}
