// The nesting filter, on in-memory streams, through buffers of many sizes.
#include "bytes.h"
#include "model.h"
#include "zelmor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::string_literals;

// The streams are large; tests keep them on the heap.
struct streams {
    std::unique_ptr<in_stream> in = std::make_unique<in_stream>();
    std::unique_ptr<out_stream> out = std::make_unique<out_stream>();
};

// Every instruction set this machine has; each test below runs on each.
std::vector<isa> levels() {
    std::vector<isa> r;
    for (isa l : {isa::portable, isa::sse2, isa::ssse3, isa::avx2})
        if (l <= best_isa()) r.push_back(l);
    return r;
}

std::string level_name(const ::testing::TestParamInfo<isa> &info) {
    const char *names[] = {"portable", "sse2", "ssse3", "avx2"};
    return names[static_cast<int>(info.param)];
}

// Runs the filter over `input` with the given buffer sizes; the output sink
// has room for the worst case, three bytes out for every byte in.
std::string run_filter(const std::string &input, size_t in_cap, size_t out_cap,
                       isa level = best_isa()) {
    std::vector<unsigned char> sink(3 * input.size());
    streams s;
    in_init_memory(*s.in, input.data(), input.size(), in_cap);
    s.in->level = level;
    out_init_memory(*s.out, sink.data(), sink.size(), out_cap);
    proc_files(*s.in, *s.out);
    EXPECT_TRUE(flush(*s.out));
    EXPECT_EQ(s.in->err, 0);
    return std::string(sink.begin(), sink.begin() + static_cast<std::ptrdiff_t>(s.out->dst_len));
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

class OnEachIsa : public ::testing::TestWithParam<isa> {};
INSTANTIATE_TEST_SUITE_P(Filter, OnEachIsa, ::testing::ValuesIn(levels()), level_name);

TEST_P(OnEachIsa, TableThroughAllBufferSizes) {
    for (const filter_case &c : filter_cases) {
        for (size_t in_cap : sizes) {
            for (size_t out_cap : sizes) {
                EXPECT_TRUE(same_bytes(c.want, run_filter(c.input, in_cap, out_cap, GetParam())))
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
TEST_P(OnEachIsa, RandomInputsMatchModel) {
    std::mt19937 rng(20261208);
    const std::string alphabet = "((()))    ab\"\n\t\x80"s + '\0';
    for (int i = 0; i < 4000; ++i) {
        // Short texts through tiny buffers, then longer ones through buffers
        // of many blocks.
        size_t scale = i < 3000 ? 1 : 16;
        std::string input(rng() % (300 * scale), ' ');
        for (char &c : input) c = alphabet[rng() % alphabet.size()];
        size_t in_cap = 1 + rng() % (70 * scale), out_cap = 1 + rng() % (70 * scale);
        ASSERT_TRUE(same_bytes(model(input), run_filter(input, in_cap, out_cap, GetParam())))
            << "case " << i << " (input buffer " << in_cap << ", output buffer " << out_cap << ")";
    }
}

// A long token and a long equation that cross many refills of a large buffer.
TEST_P(OnEachIsa, LongGroupsCrossRefills) {
    std::string input =
        "((e (" + std::string(300000, 'x') + " y) " + std::string(200000, 'z') + "))";
    std::string want = model(input);
    ASSERT_EQ(want.size(), input.size() + 4);
    for (size_t cap : {size_t{4096}, size_t{131072}})
        EXPECT_TRUE(same_bytes(want, run_filter(input, cap, cap, GetParam())));
}

// Group and token bounds at every offset around block and buffer edges.
TEST_P(OnEachIsa, BoundsStraddleBlocksAndBuffers) {
    const std::string body = "((e (ab  cd) (e)) (f (g(h i) ( j ))))\n(((k";
    for (size_t shift = 0; shift < 3 * stream_block; ++shift) {
        std::string input = std::string(shift, 'x') + body + std::string(shift % 7, ' ') + body;
        for (size_t cap : {size_t{64}, size_t{100}, size_t{4096}}) {
            ASSERT_TRUE(same_bytes(model(input), run_filter(input, cap, cap, GetParam())))
                << "shift " << shift << ", buffers of " << cap;
        }
    }
}

// A sink that takes only a few bytes per write gets every byte all the same.
TEST(Filter, ShortWritesLoseNothing) {
    std::mt19937 rng(3);
    const std::string input = "((e1 (x + 1) (y)))\n" + std::string(5000, 'p') + "(((a b c)))";
    for (size_t most : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{1000}}) {
        std::vector<unsigned char> sink(3 * input.size());
        streams s;
        in_init_memory(*s.in, input.data(), input.size(), 1 + rng() % 300);
        out_init_memory(*s.out, sink.data(), sink.size(), 1 + rng() % 300, most);
        proc_files(*s.in, *s.out);
        ASSERT_TRUE(flush(*s.out)) << "at most " << most << " bytes per write";
        std::string got(sink.begin(), sink.begin() + static_cast<std::ptrdiff_t>(s.out->dst_len));
        EXPECT_TRUE(same_bytes(model(input), got)) << "at most " << most << " bytes per write";
    }
}

// Once the output fails, the filter stops reading instead of running on.
TEST(Filter, StopsPromptlyWhenOutputFails) {
    std::string input(1 << 20, 'a');
    unsigned char sink[100];
    streams s;
    in_init_memory(*s.in, input.data(), input.size(), 64);
    out_init_memory(*s.out, sink, sizeof sink, 64);
    proc_files(*s.in, *s.out);
    EXPECT_FALSE(flush(*s.out));
    EXPECT_EQ(s.out->err, ENOSPC);
    EXPECT_GT(s.in->src_len, input.size() - 1024) << "kept reading after the output failed";
}

// A read error ends the filter and is kept for the caller.
TEST(Filter, ReadErrorIsKept) {
    int fd = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    unsigned char sink[64];
    streams s;
    in_init_fd(*s.in, fd);
    out_init_memory(*s.out, sink, sizeof sink);
    proc_files(*s.in, *s.out);
    close(fd);
    EXPECT_EQ(s.in->err, EISDIR);
    EXPECT_TRUE(flush(*s.out));
    EXPECT_EQ(s.out->dst_len, 0u);
}

// Each instruction set's classification agrees with the plain C++ one on
// every byte value at every position of a block, and at every length.
TEST_P(OnEachIsa, ClassifyMatchesPortable) {
    std::mt19937 rng(7);
    const unsigned char structural[] = "() a";
    constexpr size_t blocks = 16;
    alignas(stream_block) unsigned char text[blocks * stream_block];
    for (int round = 0; round < 400; ++round) {
        for (unsigned char &c : text)
            c = round % 2 ? static_cast<unsigned char>(rng()) : structural[rng() % 4];
        size_t n = round < 200 ? sizeof text : 1 + rng() % sizeof text;
        block_bits fast[blocks], portable[blocks];
        uint32_t fast_parens[sizeof text + 8], portable_parens[sizeof text + 8];
        uint32_t count = classify(GetParam(), text, n, fast, fast_parens);
        ASSERT_EQ(count, classify(isa::portable, text, n, portable, portable_parens))
            << "round " << round;
        for (uint32_t k = 0; k < count; ++k) ASSERT_EQ(fast_parens[k], portable_parens[k]) << k;
        for (size_t k = 0; k * stream_block < n; ++k) {
            ASSERT_EQ(fast[k].close, portable[k].close) << "round " << round << " block " << k;
            ASSERT_EQ(fast[k].space, portable[k].space) << "round " << round << " block " << k;
            ASSERT_EQ(fast[k].group_bounds, 0u);
        }
    }
}

// Each instruction set's quote insertion agrees with the plain C++ one, on
// full and partial blocks, with and without quotes.
TEST_P(OnEachIsa, InsertQuotesMatchesPortable) {
    std::mt19937_64 rng(11);
    constexpr size_t blocks = 4;
    unsigned char src[(blocks + 1) * stream_block];
    unsigned char fast[3 * sizeof src], portable[3 * sizeof src];
    for (int round = 0; round < 5000; ++round) {
        for (unsigned char &c : src) c = static_cast<unsigned char>(rng());
        size_t n = round % 2 ? blocks * stream_block : 1 + rng() % (blocks * stream_block);
        uint64_t quotes[blocks] = {};
        for (size_t k = 0; k * stream_block < n; ++k) {
            size_t left = n - k * stream_block;
            quotes[k] = rng() % 4 == 0 ? 0 : rng() & rng();
            if (left < stream_block) quotes[k] &= (uint64_t{1} << left) - 1;
        }
        unsigned char *fast_end = insert_quotes(GetParam(), fast, src, n, quotes);
        unsigned char *portable_end = insert_quotes(isa::portable, portable, src, n, quotes);
        ASSERT_EQ(std::string(fast, fast_end), std::string(portable, portable_end))
            << "round " << round;
    }
}

} // namespace
