// The nesting filter: three scanners, one per level of parentheses.
//
// The depth is not kept in a variable; it is which scanner is running.
// Every byte read is written (only double quotes are added), in order, and
// the input is read once from start to end.
#include "zelmor.h"

namespace {

constexpr int end_of_input = -1;
constexpr int open_paren = '(';
constexpr int close_paren = ')';
constexpr int space = ' ';
constexpr unsigned char quote = '"';

inline int get_byte(in_stream &in, const out_stream &out) {
    if (in.pos == in.len && !refill(in, out)) return end_of_input;
    return in.buf[in.pos++];
}

inline void put_byte(out_stream &out, int c) {
    if (out.len == out.cap) flush(out);
    out.buf[out.len++] = static_cast<unsigned char>(c);
}

} // namespace

// Outside every group and inside top-level groups (depths 0 and 1).  Every
// byte is copied.  An opening parenthesis at depth 0 opens a top-level group;
// inside one, an opening parenthesis starts an equation, which proc_eq copies,
// and a closing parenthesis ends the group.  A closing parenthesis at depth 0
// closes nothing and is copied like any other byte.
void proc_files(in_stream &in, out_stream &out) {
    bool in_group = false;
    for (int c; (c = get_byte(in, out)) != end_of_input;) {
        put_byte(out, c);
        if (!in_group) in_group = c == open_paren;
        else if (c == open_paren) proc_eq(in, out);
        else if (c == close_paren) in_group = false;
    }
}

// Inside an equation (depth 2).  Every byte is copied; an opening parenthesis
// starts an innermost group, which proc_xhs copies, and a closing parenthesis
// ends the equation.
void proc_eq(in_stream &in, out_stream &out) {
    for (int c; (c = get_byte(in, out)) != end_of_input;) {
        put_byte(out, c);
        if (c == close_paren) return;
        if (c == open_paren) proc_xhs(in, out);
    }
}

// Inside an innermost group (depth 3).  A token is a run of bytes other than
// space and closing parenthesis; each is written between double quotes.  The
// closing quote goes just before the space or parenthesis that ends the token;
// the first closing parenthesis ends the group.  If the input ends inside a
// token, the token keeps its opening quote only.
void proc_xhs(in_stream &in, out_stream &out) {
    bool in_token = false;
    for (int c; (c = get_byte(in, out)) != end_of_input;) {
        bool separator = c == space || c == close_paren;
        if (separator == in_token) {
            put_byte(out, quote);
            in_token = !separator;
        }
        put_byte(out, c);
        if (c == close_paren) return;
    }
}
