// The nesting filter, on in-memory streams, through buffers of many sizes.
#include "bytes.h"
#include "generate.h"
#include "model.h"
#include "zelmor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::string_literals;

// The streams are large; tests keep them on the heap.
struct streams {
    std::unique_ptr<scan_input> in = std::make_unique<scan_input>();
    std::unique_ptr<out_stream> out = std::make_unique<out_stream>();
};

// Every instruction set built in; each test below runs on each this CPU
// has, and skips, saying so, each it has not.
std::vector<isa> levels() {
    std::vector<isa> r;
    for (isa l : all_isas)
        if (isa_built(l)) r.push_back(l);
    return r;
}

std::string level_name(const ::testing::TestParamInfo<isa> &info) {
    return isa_name(info.param);
}

// Runs the filter over `input` with the given buffer sizes, each read
// taking at most the next of `reads` bytes in turn, as from a pipe; the
// output sink has room for the worst case, three bytes out for every byte in.
std::string run_filter(const std::string &input, size_t in_cap, size_t out_cap,
                       isa level = best_isa(), const std::vector<size_t> &reads = {},
                       filter_pass pass = filter_pass::depth) {
    std::vector<unsigned char> sink(3 * input.size());
    streams s;
    EXPECT_TRUE(in_init_memory(s.in->stream, input.data(), input.size(), in_cap,
                               {reads.data(), reads.size()}));
    EXPECT_TRUE(out_init_memory(*s.out, sink.data(), sink.size(), out_cap));
    index_init(s.in->index, level, pass);
    proc_files(*s.in, *s.out);
    EXPECT_TRUE(flush(*s.out));
    EXPECT_TRUE(s.in->stream.ended);
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

class OnEachIsa : public ::testing::TestWithParam<isa> {
  protected:
    void SetUp() override {
        if (!isa_available(GetParam())) GTEST_SKIP() << isa_name(GetParam()) << ": not on this CPU";
    }
};
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

// Under qemu's CPU models (tests/CMakeLists.txt), exactly the sets up to
// the model's best are found: on a CPU with every set, detection only says yes.
TEST(Isa, DetectedAsExpected) {
    const char *best = std::getenv("ZELMOR_EXPECTED_ISA");
    if (best == nullptr) GTEST_SKIP() << "ZELMOR_EXPECTED_ISA not set: checked under CPU models";
    EXPECT_STREQ(isa_name(best_isa()), best) << "best instruction set";
    for (isa level : all_isas)
        EXPECT_EQ(isa_available(level), level <= best_isa()) << isa_name(level) << " available";
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
        // Half the runs read as from a pipe, in lengths that vary, often
        // whole blocks.
        std::vector<size_t> reads(rng() % 2 ? 0 : 1 + rng() % 4);
        std::string shown;
        for (size_t &r : reads) {
            r = rng() % 2 ? 1 + rng() % in_cap : block_size * (1 + rng() % 3);
            shown += ' ';
            shown += std::to_string(r);
        }
        ASSERT_TRUE(same_bytes(model(input), run_filter(input, in_cap, out_cap, GetParam(), reads)))
            << "case " << i << " (input buffer " << in_cap << ", reads of" << shown
            << " at most, output buffer " << out_cap << ")";
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

// The most the output buffer holds at once: a short read leaves it just
// under its flush threshold, then a full buffer goes out doubled in size.
TEST_P(OnEachIsa, ShortReadThenDoubledBufferFits) {
    std::string tokens(io_size, 'a');
    for (size_t i = 1; i < tokens.size(); i += 2) tokens[i] = ' ';
    std::string input = std::string(io_size - 1, 'p') + "(((" + tokens;
    EXPECT_TRUE(
        same_bytes(model(input), run_filter(input, io_size, io_size, GetParam(), {io_size - 1})));
}

// Group and token bounds at every offset around block and buffer edges.
TEST_P(OnEachIsa, BoundsStraddleBlocksAndBuffers) {
    const std::string body = "((e (ab  cd) (e)) (f (g(h i) ( j ))))\n(((k";
    for (size_t shift = 0; shift < 3 * block_size; ++shift) {
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
        ASSERT_TRUE(in_init_memory(s.in->stream, input.data(), input.size(), 1 + rng() % 300));
        ASSERT_TRUE(out_init_memory(*s.out, sink.data(), sink.size(), 1 + rng() % 300, most));
        index_init(s.in->index);
        proc_files(*s.in, *s.out);
        ASSERT_TRUE(flush(*s.out)) << "at most " << most << " bytes per write";
        std::string got(sink.begin(), sink.begin() + static_cast<std::ptrdiff_t>(s.out->dst_len));
        EXPECT_TRUE(same_bytes(model(input), got)) << "at most " << most << " bytes per write";
    }
}

// A memory input gives each read no more than its schedule says, in turn:
// one that ignored it would leave every short-read test reading whole
// buffers.
TEST(Filter, MemoryReadsFollowTheirSchedule) {
    const std::string text(40, 'x');
    const size_t lengths[] = {3, 64, 1};
    streams s;
    ASSERT_TRUE(in_init_memory(s.in->stream, text.data(), text.size(), 16, {lengths, 3}));
    std::vector<size_t> got;
    while (size_t n = in_read(s.in->stream)) got.push_back(n);
    EXPECT_EQ(got, (std::vector<size_t>{3, 16, 1, 3, 16, 1}));
}

// Once the output fails, the filter stops reading instead of running on.
TEST(Filter, StopsPromptlyWhenOutputFails) {
    std::string input(1 << 20, 'a');
    unsigned char sink[100];
    streams s;
    ASSERT_TRUE(in_init_memory(s.in->stream, input.data(), input.size(), 64));
    ASSERT_TRUE(out_init_memory(*s.out, sink, sizeof sink, 64));
    index_init(s.in->index);
    proc_files(*s.in, *s.out);
    EXPECT_FALSE(flush(*s.out));
    EXPECT_EQ(s.out->err, ENOSPC);
    EXPECT_GT(s.in->stream.src_len, input.size() - 1024) << "kept reading after the output failed";
}

// A read error ends the filter and is kept for the caller.
TEST(Filter, ReadErrorIsKept) {
    int fd = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    unsigned char sink[64];
    streams s;
    ASSERT_TRUE(in_init_fd(s.in->stream, fd));
    ASSERT_TRUE(out_init_memory(*s.out, sink, sizeof sink));
    index_init(s.in->index);
    proc_files(*s.in, *s.out);
    close(fd);
    EXPECT_EQ(s.in->stream.err, EISDIR);
    EXPECT_FALSE(s.in->stream.ended);
    EXPECT_TRUE(flush(*s.out));
    EXPECT_EQ(s.out->dst_len, 0u);
}

// Streams that cannot work are refused, and stay failed if used all the
// same: a run over them must not pass for a complete one.
TEST(Filter, UnusableStreamsRefused) {
    const char text[] = "(((a)))";
    unsigned char sink[64];
    streams s;
    EXPECT_FALSE(out_init_fd(*s.out, -1));
    EXPECT_FALSE(out_init_memory(*s.out, sink, sizeof sink, 0));
    EXPECT_FALSE(out_init_memory(*s.out, nullptr, sizeof sink));
    EXPECT_FALSE(in_init_memory(s.in->stream, text, sizeof text, io_size + 1));
    const size_t no_bytes[] = {3, 0};
    EXPECT_FALSE(in_init_memory(s.in->stream, text, sizeof text, io_size, {no_bytes, 2}));
    EXPECT_FALSE(in_init_memory(s.in->stream, nullptr, sizeof text));
    EXPECT_FALSE(in_init_memory(s.in->stream, text, sizeof text, 0));
    index_init(s.in->index);
    proc_files(*s.in, *s.out);
    EXPECT_FALSE(s.in->stream.ended) << "a buffer of 0 bytes read as the end of the input";
    EXPECT_FALSE(in_init_fd(s.in->stream, -1));
    proc_files(*s.in, *s.out);
    EXPECT_FALSE(s.in->stream.ended) << "descriptor -1 read as an empty input";
    EXPECT_FALSE(flush(*s.out));
}

// The kernel tests give the kernels heap buffers of exactly the size they
// declare they need, so that the sanitizers catch one that reaches further.
template <typename T>
std::unique_ptr<T[]> exactly(size_t n) {
    return std::unique_ptr<T[]>(new T[n]);
}

// The same, aligned to a block, as classification needs.
struct aligned_delete {
    void operator()(unsigned char *p) const { operator delete[](p, std::align_val_t{block_size}); }
};
std::unique_ptr<unsigned char[], aligned_delete> aligned_exactly(size_t n) {
    return {static_cast<unsigned char *>(operator new[](n, std::align_val_t{block_size})), {}};
}

// The kernels' results, a byte at a time, for the tests below to compare.
uint32_t classify_bytes(const unsigned char *p, size_t n, uint64_t *spaces, uint32_t *parens) {
    uint32_t count = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i % block_size == 0) spaces[i / block_size] = 0;
        if (p[i] == '(' || p[i] == ')') parens[count++] = static_cast<uint32_t>(i);
        if (p[i] == ' ') spaces[i / block_size] |= uint64_t{1} << i % block_size;
    }
    return count;
}
unsigned char *insert_bytes(unsigned char *dst, const unsigned char *src, size_t n,
                            const uint64_t *quotes) {
    for (size_t i = 0; i < n; ++i) {
        if (quotes[i / block_size] >> i % block_size & 1) *dst++ = '"';
        *dst++ = src[i];
    }
    return dst;
}

// Each instruction set's classification agrees with a byte-at-a-time one on
// every byte value at every position of a block, and at every length.
TEST_P(OnEachIsa, ClassifyMatchesBytes) {
    std::mt19937 rng(7);
    const unsigned char structural[] = "() a";
    constexpr size_t most = 16 * block_size;
    for (int round = 0; round < 400; ++round) {
        size_t n = round < 200 ? most : 1 + rng() % most;
        size_t blocks = (n + block_size - 1) / block_size;
        size_t readable = n + classify_over_read;
        auto text = aligned_exactly(readable);
        for (size_t i = 0; i < readable; ++i)
            text[i] = round % 2 ? static_cast<unsigned char>(rng()) : structural[rng() % 4];
        auto want = exactly<uint64_t>(blocks);
        auto want_parens = exactly<uint32_t>(n + classify_list_over_write);
        uint32_t count = classify_bytes(text.get(), n, want.get(), want_parens.get());
        auto fast = exactly<uint64_t>(blocks);
        auto fast_parens = exactly<uint32_t>(count + classify_list_over_write);
        ASSERT_EQ(classify(GetParam(), text.get(), n, fast.get(), fast_parens.get()), count)
            << "round " << round;
        for (uint32_t k = 0; k < count; ++k) ASSERT_EQ(fast_parens[k], want_parens[k]) << k;
        uint64_t last = n % block_size ? (uint64_t{1} << n % block_size) - 1 : ~uint64_t{0};
        for (size_t k = 0; k < blocks; ++k) {
            uint64_t valid = k + 1 < blocks ? ~uint64_t{0} : last;
            ASSERT_EQ(fast[k] & valid, want[k] & valid) << "round " << round;
        }
    }
}

// Each instruction set's quote insertion agrees with a byte-at-a-time one,
// on full and partial blocks, with and without quotes.
TEST_P(OnEachIsa, InsertQuotesMatchesBytes) {
    std::mt19937_64 rng(11);
    constexpr size_t most = 4 * block_size;
    for (int round = 0; round < 5000; ++round) {
        size_t n = round % 2 ? most : 1 + rng() % most;
        size_t blocks = (n + block_size - 1) / block_size;
        auto src = exactly<unsigned char>(n + insert_over_read);
        for (size_t i = 0; i < n + insert_over_read; ++i)
            src[i] = static_cast<unsigned char>(rng());
        auto quotes = exactly<uint64_t>(blocks);
        size_t count = 0;
        for (size_t k = 0; k < blocks; ++k) {
            size_t left = n - k * block_size;
            quotes[k] = rng() % 4 == 0 ? 0 : rng() & rng();
            if (left < block_size) quotes[k] &= (uint64_t{1} << left) - 1;
            count += static_cast<size_t>(std::popcount(quotes[k]));
        }
        auto fast = exactly<unsigned char>(n + count + insert_over_write);
        auto want = exactly<unsigned char>(n + count + insert_over_write);
        unsigned char *fast_end = insert_quotes(GetParam(), fast.get(), src.get(), n, quotes.get());
        unsigned char *want_end = insert_bytes(want.get(), src.get(), n, quotes.get());
        ASSERT_EQ(std::string(fast.get(), fast_end), std::string(want.get(), want_end))
            << "round " << round;
    }
}

// The depth pass's kernels against the scanners, on every benchmark shape
// and on random texts, each cut into reads of random lengths; the bytes past
// each read are '(', which would change the result if the kernels read them.
std::string by_depth_kernels(isa level, const std::string &input, std::mt19937 &rng) {
    std::string out;
    depth_carry carry{0, 0};
    for (size_t at = 0, n; at < input.size(); at += n) {
        n = std::min(input.size() - at, 1 + rng() % (rng() % 2 ? 3 * block_size : io_size));
        auto buf = exactly<unsigned char>(n + insert_over_read);
        std::memcpy(buf.get(), input.data() + at, n);
        std::memset(buf.get() + n, '(', insert_over_read);
        auto quotes = exactly<uint64_t>((n + block_size - 1) / block_size);
        auto dst = exactly<unsigned char>(2 * n + insert_over_write);
        mark_quotes(level, buf.get(), n, carry, quotes.get());
        out.append(dst.get(), insert_quotes(level, dst.get(), buf.get(), n, quotes.get()));
    }
    return out;
}

TEST_P(OnEachIsa, DepthPassMatchesScanners) {
    const std::pair<const char *, shape> rows[] = {
        {"carry dropped between reads", shape::realistic}, {"plain text changed", shape::plain},
        {"one-byte tokens misquoted", shape::tokens},      {"depth not clamped", shape::parens},
        {"regular nesting misread", shape::nested},        {"depth past 3 misread", shape::depths}};
    std::mt19937 rng(29);
    const std::string alphabet = "((())) a\"\xff"s + '\0';
    for (int i = 0; i < 300; ++i) {
        std::string input =
            i < 6 ? generate(rows[i].second, 40000, 1 + rng() % 9) : std::string(rng() % 3000, ' ');
        if (i >= 6)
            for (char &c : input) c = alphabet[rng() % alphabet.size()];
        std::string want =
            run_filter(input, io_size, io_size, GetParam(), {}, filter_pass::scanners);
        ASSERT_TRUE(same_bytes(want, by_depth_kernels(GetParam(), input, rng)))
            << (i < 6 ? rows[i].first : "random text misread") << " (case " << i << ")";
    }
}

} // namespace
