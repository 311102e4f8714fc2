// The structural bytes, the only ones with a meaning: parentheses open and
// close groups, spaces separate tokens, and the filter writes double quotes
// around tokens.  The filter and the kernels both look for them.
#ifndef ZELMOR_GRAMMAR_H
#define ZELMOR_GRAMMAR_H

constexpr unsigned char open_paren = '(';
constexpr unsigned char close_paren = ')';
constexpr unsigned char space = ' ';
constexpr unsigned char quote = '"';

#endif
