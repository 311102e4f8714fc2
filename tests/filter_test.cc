// The nesting filter, on in-memory streams, through buffers of many sizes.
#include "bytes.h"
#include "zelmor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::string_literals;

// Runs the filter over `input` with the given buffer sizes; the output sink
// has room for the worst case, three bytes out for every byte in.
std::string run_filter(const std::string &input, size_t in_cap, size_t out_cap) {
    std::vector<unsigned char> in_buf(in_cap), out_buf(out_cap), sink(3 * input.size());
    in_stream in = in_from_memory(input.data(), input.size(), in_buf.data(), in_cap);
    out_stream out = out_to_memory(sink.data(), sink.size(), out_buf.data(), out_cap);
    proc_files(in, out);
    EXPECT_TRUE(flush(out));
    EXPECT_EQ(in.err, 0);
    return std::string(sink.begin(), sink.begin() + static_cast<std::ptrdiff_t>(out.dst_len));
}

// An independent model: one loop over the bytes with an explicit depth.
std::string model(const std::string &input) {
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

// Buffer sizes that put every boundary in a different place.
const size_t sizes[] = {1, 2, 3, 5, 7, 64, 4096};

struct filter_case {
    const char *fault; // what a wrong result would mean
    std::string input, want;
};

const filter_case filter_cases[] = {
    {"typical line mangled", "((e1 (x + 1) (y)))\n", "((e1 (\"x\" \"+\" \"1\") (\"y\")))\n"},
    {"quoting at the wrong depth", "(a b) ((a b)) (((a b)))", "(a b) ((a b)) (((\"a\" \"b\")))"},
    {"space runs not kept", "(((a  b )))", "(((\"a\"  \"b\" )))"},
    {"empty groups changed", "((()))", "((()))"},
    {"parenthesis at depth 3 nests", "(((p(q)r)))", "(((\"p(q\")r)))"},
    {"input quotes escaped", "(((say \"hi\")))", "(((\"say\" \"\"hi\"\")))"},
    {"stray closer changes depth", "x ) y", "x ) y"},
    {"empty input not empty", "", ""},
    {"text without groups changed", "plain\ttext\r\n \x80\xff"s + '\0' + "end",
     "plain\ttext\r\n \x80\xff"s + '\0' + "end"},
    {"control bytes split tokens", "(((a\nb\tc\rd)))", "(((\"a\nb\tc\rd\")))"},
    {"open token closed at end", "(((ab", "(((\"ab"},
    {"closer added at end", "(((a )", "(((\"a\" )"},
    {"token flag leaks between groups", "(((a) (b c)))", "(((\"a\") (\"b\" \"c\")))"},
    {"leading spaces quoted", "(((   x)))", "(((   \"x\")))"},
    {"closer after group not depth 0", "((a)) ) (((b)))", "((a)) ) (((\"b\")))"},
    {"many top-level groups", "(((a)))(((b)))", "(((\"a\")))(((\"b\")))"},
    {"nul inside token dropped", "((("s + '\0' + ")))", "(((\""s + '\0' + "\")))"},
};

TEST(Filter, TableThroughAllBufferSizes) {
    for (const filter_case &c : filter_cases) {
        for (size_t in_cap : sizes) {
            for (size_t out_cap : sizes) {
                EXPECT_TRUE(same_bytes(c.want, run_filter(c.input, in_cap, out_cap)))
                    << c.fault << " (input buffer " << in_cap << ", output buffer " << out_cap
                    << ")";
            }
        }
    }
}

TEST(Filter, TableAgreesWithModel) {
    for (const filter_case &c : filter_cases)
        EXPECT_TRUE(same_bytes(c.want, model(c.input))) << c.fault;
}

// Random texts, mostly structural bytes, against the model.
TEST(Filter, RandomInputsMatchModel) {
    std::mt19937 rng(20261208);
    const std::string alphabet = "((()))    ab\"\n\t\x80"s + '\0';
    for (int i = 0; i < 3000; ++i) {
        std::string input(rng() % 300, ' ');
        for (char &c : input) c = alphabet[rng() % alphabet.size()];
        size_t in_cap = 1 + rng() % 70, out_cap = 1 + rng() % 70;
        ASSERT_TRUE(same_bytes(model(input), run_filter(input, in_cap, out_cap)))
            << "case " << i << " (input buffer " << in_cap << ", output buffer " << out_cap << ")";
    }
}

// A long token and a long equation that cross many refills of a large buffer.
TEST(Filter, LongGroupsCrossRefills) {
    std::string input =
        "((e (" + std::string(300000, 'x') + " y) " + std::string(200000, 'z') + "))";
    std::string want = model(input);
    ASSERT_EQ(want.size(), input.size() + 4);
    for (size_t cap : {size_t{4096}, size_t{131072}})
        EXPECT_TRUE(same_bytes(want, run_filter(input, cap, cap)));
}

// Once the output fails, the filter stops reading instead of running on.
TEST(Filter, StopsPromptlyWhenOutputFails) {
    std::string input(1 << 20, 'a');
    unsigned char in_buf[64], out_buf[64], sink[100];
    in_stream in = in_from_memory(input.data(), input.size(), in_buf, sizeof in_buf);
    out_stream out = out_to_memory(sink, sizeof sink, out_buf, sizeof out_buf);
    proc_files(in, out);
    EXPECT_FALSE(flush(out));
    EXPECT_EQ(out.err, ENOSPC);
    EXPECT_GT(in.src_len, input.size() - 1024) << "kept reading after the output failed";
}

// A read error ends the filter and is kept for the caller.
TEST(Filter, ReadErrorIsKept) {
    int fd = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    unsigned char in_buf[64], out_buf[64], sink[64];
    in_stream in = in_from_fd(fd, in_buf, sizeof in_buf);
    out_stream out = out_to_memory(sink, sizeof sink, out_buf, sizeof out_buf);
    proc_files(in, out);
    close(fd);
    EXPECT_EQ(in.err, EISDIR);
    EXPECT_TRUE(flush(out));
    EXPECT_EQ(out.dst_len, 0u);
}

} // namespace
