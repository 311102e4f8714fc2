// In-process speed of the filter, memory to memory, on each input shape.
#include "generate.h"
#include "zelmor.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

constexpr size_t input_size = 16 << 20;

void filter(benchmark::State &state, shape s) {
    const std::string input = generate(s, input_size, 1);
    std::vector<unsigned char> sink(3 * input.size());
    auto in = std::make_unique<scan_input>();
    auto out = std::make_unique<out_stream>();
    for (auto _ : state) {
        bool ok = in_init_memory(in->stream, input.data(), input.size()) &&
                  out_init_memory(*out, sink.data(), sink.size());
        index_init(in->index);
        proc_files(*in, *out);
        if (!ok || !flush(*out) || !in->stream.ended) state.SkipWithError("filter failed");
        benchmark::DoNotOptimize(out->dst_len);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(input.size()));
}

BENCHMARK_CAPTURE(filter, realistic, shape::realistic)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(filter, plain, shape::plain)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(filter, tokens, shape::tokens)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(filter, parens, shape::parens)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(filter, nested, shape::nested)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
