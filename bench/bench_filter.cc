// In-process speed of the filter, memory to memory, on each input shape and
// with each instruction set the machine has: filter/<shape>/<isa> by the
// depth pass, as zelmor runs, and filter/<shape>/<isa>/scanners by the
// scanners, for comparison in the same run.
#include "generate.h"
#include "zelmor.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t input_size = 16 << 20;

void filter(benchmark::State &state, shape s, isa level, filter_pass pass) {
    const std::string input = generate(s, input_size, 1);
    std::vector<unsigned char> sink(3 * input.size());
    auto in = std::make_unique<scan_input>();
    auto out = std::make_unique<out_stream>();
    for (auto _ : state) {
        bool ok = in_init_memory(in->stream, input.data(), input.size()) &&
                  out_init_memory(*out, sink.data(), sink.size());
        index_init(in->index, level, pass);
        proc_files(*in, *out);
        if (!ok || !flush(*out) || !in->stream.ended) state.SkipWithError("filter failed");
        benchmark::DoNotOptimize(out->dst_len);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(input.size()));
}

// The depth pass's kernel alone, buffer by buffer as the filter reads:
// filter/<shape>/<isa>/marks.
void marks(benchmark::State &state, shape s, isa level) {
    const std::string input = generate(s, input_size, 1);
    auto quotes = std::make_unique<uint64_t[]>(io_size / block_size);
    const auto *p = reinterpret_cast<const unsigned char *>(input.data());
    for (auto _ : state) {
        depth_carry carry{0, 0};
        for (size_t at = 0; at < input.size(); at += io_size)
            mark_quotes(level, p + at, std::min(io_size, input.size() - at), carry, quotes.get());
        benchmark::DoNotOptimize(quotes[0]);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(input.size()));
}

} // namespace

int main(int argc, char **argv) {
    const std::pair<const char *, shape> shapes[] = {
        {"realistic", shape::realistic}, {"plain", shape::plain},   {"tokens", shape::tokens},
        {"parens", shape::parens},       {"nested", shape::nested}, {"depths", shape::depths}};
    for (const auto &[name, s] : shapes) {
        for (isa level : all_isas) {
            if (!isa_available(level)) continue;
            for (filter_pass pass : {filter_pass::depth, filter_pass::scanners}) {
                std::string title = std::string("filter/") + name + "/" + isa_name(level) +
                                    (pass == filter_pass::scanners ? "/scanners" : "");
                benchmark::RegisterBenchmark(title.c_str(), filter, s, level, pass)
                    ->Unit(benchmark::kMillisecond);
            }
            std::string title = std::string("filter/") + name + "/" + isa_name(level) + "/marks";
            benchmark::RegisterBenchmark(title.c_str(), marks, s, level)
                ->Unit(benchmark::kMillisecond);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
