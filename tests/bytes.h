// Comparison of byte strings that says where they first differ.
#ifndef ZELMOR_TESTS_BYTES_H
#define ZELMOR_TESTS_BYTES_H

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

// Shows up to 24 bytes from `at`, with unprintable bytes escaped.
inline std::string excerpt(const std::string &s, size_t at) {
    std::string r;
    for (size_t i = at; i < s.size() && i < at + 24; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7f) {
            r += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            r += hex;
        }
    }
    return "\"" + r + "\"";
}

inline ::testing::AssertionResult same_bytes(const std::string &want, const std::string &got) {
    if (want == got) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < want.size() && at < got.size() && want[at] == got[at]) ++at;
    return ::testing::AssertionFailure()
           << "outputs differ at byte " << at << " (want " << want.size() << " bytes, got "
           << got.size() << ")\n  want: " << excerpt(want, at) << "\n  got:  " << excerpt(got, at);
}

#endif
