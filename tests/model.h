// An independent model of the filter, for the tests and the fuzzer to
// compare with: one loop over the bytes with an explicit depth, written
// apart from the tool's own code.
#ifndef ZELMOR_TESTS_MODEL_H
#define ZELMOR_TESTS_MODEL_H

#include <string>

inline std::string model(const std::string &input) {
    std::string r;
    int depth = 0;
    bool in_token = false;
    for (char c : input) {
        if (depth < 3) {
            r += c;
            if (c == '(') ++depth;
            else if (c == ')' && depth > 0) --depth;
            continue;
        }
        bool separator = c == ' ' || c == ')';
        if (separator && in_token) r += '"', in_token = false;
        if (!separator && !in_token) r += '"', in_token = true;
        r += c;
        if (c == ')') depth = 2;
    }
    return r;
}

#endif
