// The nesting filter: three scanners, one per level of parentheses.
//
// The depth is not kept in a variable; it is which scanner is running.  The
// input stream lists where each buffer's parentheses are, so a scanner steps
// from one parenthesis to the next without looking at the bytes in between.
// All the scanners decide is where each innermost group begins and ends;
// they mark that in the stream, and every byte goes out, unchanged and in
// order, with the quotes of the marked groups' tokens, when the input moves
// on to its next buffer.
#include "zelmor.h"

namespace {

constexpr int end_of_input = -1;
constexpr int open_paren = '(';
constexpr int close_paren = ')';

// Reads up to and including the next parenthesis; returns it, or
// end_of_input.
int next_paren(in_stream &in, out_stream &out) {
    while (in.next_paren == in.paren_count) {
        if (!refill(in, out)) return end_of_input;
    }
    in.pos = in.parens[in.next_paren++] + size_t{1};
    return in.buf[in.pos - 1];
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

// Inside an innermost group (depth 3).  An opening parenthesis here is an
// ordinary byte; the group runs up to and including the first closing one,
// or to the end of the input.  Marks where the group's contents begin and
// where they end, marking them again at the start of every further buffer
// they run into; the tokens inside get their quotes on the way out.
void proc_xhs(in_stream &in, out_stream &out) {
    mark_group_bound(in, in.pos);
    for (;;) {
        while (in.next_paren < in.paren_count) {
            size_t at = in.parens[in.next_paren++];
            if (in.buf[at] == close_paren) {
                in.pos = at + 1;
                mark_group_bound(in, in.pos);
                return;
            }
        }
        if (!refill(in, out)) return;
        mark_group_bound(in, 0);
    }
}
