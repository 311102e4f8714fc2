// The nesting filter: three scanners, one per level of parentheses, and the
// rule that puts the quotes around tokens; and the depth pass, which gives
// the same bytes without a decision per parenthesis.
//
// The depth pass reads a buffer, has the kernels find where its quotes go
// from its bytes and from the depth and token that the buffer before left
// open, and writes it out with them.  It is what the filter runs, unless
// the index asks for the scanners: on input dense in parentheses, the
// scanners' decisions, one for each parenthesis, set the pace.  With the
// plain C++ kernels, a buffer with few parentheses is walked from one to
// the next instead, which costs less there than the table of four states.
//
// The depth is not kept in a variable; it is which scanner is running.  The
// kernels list where each buffer's parentheses are, so a scanner steps from
// one parenthesis to the next without looking at the bytes in between.  All
// the scanners decide is where each innermost group begins and ends; they
// mark that in the index, and when the input moves on to its next buffer,
// every byte goes out, unchanged and in order, with the quotes of the
// marked groups' tokens.
#include "zelmor.h"

#include <cstddef>
#include <cstring>

// The buffers are sized for the kernels that work on them.
static_assert(io_size % block_size == 0, "a buffer holds whole blocks");
static_assert(io_size <= UINT32_MAX, "every offset in a buffer fits the parenthesis list");
static_assert(in_slack >= classify_over_read && in_slack >= insert_over_read,
              "the kernels may read past the bytes of a buffer");
static_assert(offsetof(in_stream, buf) % block_size == 0 && alignof(in_stream) >= block_size,
              "classification loads whole aligned blocks");
static_assert(out_room >= 2 * io_size + insert_over_write,
              "a whole buffer written out, with a quote before every byte, fits the output");

namespace {

constexpr int end_of_input = -1;

// Sets bit `at` of the current buffer's group bounds; a bound at the end of
// the buffer needs no mark.
void mark_group_bound(scan_input &in, size_t at) {
    if (at < in.stream.len)
        in.index.group_bounds[at / block_size] ^= uint64_t{1} << at % block_size;
}

// Bit i of the result is the parity of bits 0 to i of `bounds`: set from
// each bound up to the next one, and from an odd last one to the end.
uint64_t between_bounds(uint64_t bounds) {
    for (int shift = 1; shift < 64; shift *= 2) bounds ^= bounds << shift;
    return bounds;
}

// Writes the input buffer out with its quotes.  Per block: `inner` marks the
// bytes inside innermost groups (their parentheses left out), `token` those
// of them that are not spaces, and a quote goes before every byte whose
// token bit differs from the byte before it: the first byte of a token, and
// the space or closing parenthesis after it.  A group carries over from one
// block to the next in `inside`; a token that runs over the end of the
// buffer carries its bit to the next buffer in `token_carry`, and a group
// that does is marked again at the start of the next buffer.  The bounds
// are cleared as they are used, ready for the next buffer.
void write_out(scan_input &in, out_stream &out) {
    paren_index &x = in.index;
    size_t n = in.stream.len;
    size_t blocks = (n + block_size - 1) / block_size;
    uint64_t inside = 0, prev_token = x.token_carry, token = 0;
    for (size_t k = 0; k < blocks; ++k) {
        uint64_t inner = between_bounds(x.group_bounds[k]) ^ inside;
        x.group_bounds[k] = 0;
        token = inner & ~x.spaces[k];
        x.quotes[k] = token ^ (token << 1 | prev_token);
        inside = 0 - (inner >> 63);
        prev_token = token >> 63;
    }
    size_t tail = n - (blocks - 1) * block_size; // bytes in the last block
    if (tail < block_size) x.quotes[blocks - 1] &= (uint64_t{1} << tail) - 1;
    x.token_carry = token >> (tail - 1) & 1;
    out_commit(out, insert_quotes(x.level, out_space(out), in.stream.buf, n, x.quotes));
}

// Moves on once the scanners have read the whole buffer: writes it out,
// then reads and classifies the next bytes.  Returns false, with no
// parenthesis left to read, at the end of the input, after a failed read,
// or once the output has failed: nothing more could be written then.
bool next_buffer(scan_input &in, out_stream &out) {
    paren_index &x = in.index;
    if (x.unwritten) write_out(in, out);
    x.unwritten = false;
    x.paren_count = x.next_paren = 0;
    if (out.err != 0) return false;
    size_t n = in_read(in.stream);
    if (n == 0) return false;
    // Bytes past the end are read by whole-block classification; give them
    // a defined value.
    std::memset(in.stream.buf + n, 0, classify_over_read);
    x.paren_count = classify(x.level, in.stream.buf, n, x.spaces, x.parens);
    x.unwritten = true;
    return true;
}

// Reads up to and including the next parenthesis; returns it, or
// end_of_input.
int next_paren(scan_input &in, out_stream &out) {
    paren_index &x = in.index;
    while (x.next_paren == x.paren_count) {
        if (!next_buffer(in, out)) return end_of_input;
    }
    return in.stream.buf[x.parens[x.next_paren++]];
}

// Where the bytes after the parenthesis just read begin.
size_t after_last_paren(const scan_input &in) {
    return in.index.parens[in.index.next_paren - 1] + size_t{1};
}

// A buffer of sparse parentheses, classified: the depth followed from one
// parenthesis to the next, as the scanners do, with the group bounds marked
// for write_out.  A group open at the start of the buffer is marked there.
void walk_parens(scan_input &in, depth_carry &c) {
    paren_index &x = in.index;
    if (c.depth == 3) mark_group_bound(in, 0);
    for (uint32_t k = 0; k < x.paren_count; ++k) {
        uint32_t at = x.parens[k];
        if (in.stream.buf[at] == open_paren) {
            if (c.depth < 3 && ++c.depth == 3) mark_group_bound(in, at + size_t{1});
        } else if (c.depth == 3) {
            mark_group_bound(in, at);
            c.depth = 2;
        } else if (c.depth > 0) {
            --c.depth;
        }
    }
}

// The forms that follow the depth by a table of four states are slower on
// input with few parentheses than classification and a step per
// parenthesis; for them, a buffer with at most one parenthesis in
// `sparse_share` bytes takes the walk, a denser one the depth pass, and so
// do the `dense_run` buffers after it before the density is checked again,
// so that the choice stays easy to predict.
constexpr size_t sparse_share = 8;
constexpr int dense_run = 16;

bool follows_by_table(isa level) {
    return level == isa::portable;
}

// The depth pass, from the first byte of the input to its end, or until the
// output fails.
void run_depth_pass(scan_input &in, out_stream &out) {
    paren_index &x = in.index;
    depth_carry carry{0, 0};
    int dense_left = follows_by_table(x.level) ? 0 : -1; // -1: never walk
    while (out.err == 0) {
        size_t n = in_read(in.stream);
        if (n == 0) return;
        if (dense_left == 0) {
            std::memset(in.stream.buf + n, 0, classify_over_read);
            x.paren_count = classify(x.level, in.stream.buf, n, x.spaces, x.parens);
            if (x.paren_count * sparse_share <= n) {
                walk_parens(in, carry);
                x.token_carry = carry.token;
                write_out(in, out);
                carry.token = x.token_carry;
                continue;
            }
            dense_left = dense_run;
        }
        if (dense_left > 0) --dense_left;
        mark_quotes(x.level, in.stream.buf, n, carry, x.quotes);
        out_commit(out, insert_quotes(x.level, out_space(out), in.stream.buf, n, x.quotes));
    }
}

} // namespace

void index_init(paren_index &index, isa level, filter_pass pass) {
    index.level = level;
    index.pass = pass;
    index.unwritten = false;
    index.paren_count = index.next_paren = 0;
    index.token_carry = 0;
    std::memset(index.group_bounds, 0, sizeof index.group_bounds);
}

// Outside every group and inside top-level groups (depths 0 and 1).  Nothing
// is quoted.  At depth 0 only an opening parenthesis matters: it opens a
// top-level group, and a closing one there closes nothing.  Inside a
// top-level group, an opening parenthesis starts an equation, which proc_eq
// reads, and a closing one ends the group.  The whole input goes through
// the depth pass instead when the index asks for it, as it does by default.
void proc_files(scan_input &in, out_stream &out) {
    if (in.index.pass == filter_pass::depth) return run_depth_pass(in, out);
    for (int c; (c = next_paren(in, out)) != end_of_input;) {
        if (c != open_paren) continue;
        while ((c = next_paren(in, out)) == open_paren) proc_eq(in, out);
        if (c == end_of_input) return;
    }
}

// Inside an equation (depth 2).  Nothing is quoted; an opening parenthesis
// starts an innermost group, which proc_xhs reads, and a closing one ends the
// equation.
void proc_eq(scan_input &in, out_stream &out) {
    while (next_paren(in, out) == open_paren) proc_xhs(in, out);
}

// Inside an innermost group (depth 3).  An opening parenthesis here is an
// ordinary byte; the group runs up to and including the first closing one,
// or to the end of the input.  Marks where the group's contents begin and
// where they end (at the closing parenthesis), marking them again at the
// start of every further buffer they run into; write-out puts the quotes
// around the tokens inside.
void proc_xhs(scan_input &in, out_stream &out) {
    paren_index &x = in.index;
    mark_group_bound(in, after_last_paren(in));
    for (;;) {
        while (x.next_paren < x.paren_count) {
            uint32_t at = x.parens[x.next_paren++];
            if (in.stream.buf[at] == close_paren) {
                mark_group_bound(in, at);
                return;
            }
        }
        if (!next_buffer(in, out)) return;
        mark_group_bound(in, 0);
    }
}
