// libFuzzer target for the filter.  The first four bytes of an input choose
// the input and output buffer sizes and how many bytes the output takes per
// write; the rest is the text.  The text is filtered on every instruction
// set the machine has, through the chosen buffers, and the output must be
// the same each time, and the same as the independent model's: it may not
// depend on how the input was cut, nor on the vector code.
#include "model.h"
#include "zelmor.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t settings = 4;

// The streams are large; one pair serves every run.
in_stream &in_buffer() {
    static auto in = std::make_unique<in_stream>();
    return *in;
}
out_stream &out_buffer() {
    static auto out = std::make_unique<out_stream>();
    return *out;
}

std::string filter(const std::string &text, size_t in_cap, size_t out_cap, size_t most, isa level) {
    std::vector<unsigned char> sink(3 * text.size());
    in_stream &in = in_buffer();
    out_stream &out = out_buffer();
    in_init_memory(in, text.data(), text.size(), in_cap);
    in.level = level;
    out_init_memory(out, sink.data(), sink.size(), out_cap, most);
    proc_files(in, out);
    if (!flush(out) || in.err != 0) {
        std::fprintf(stderr, "the filter failed on memory streams\n");
        std::abort();
    }
    return std::string(sink.begin(), sink.begin() + static_cast<std::ptrdiff_t>(out.dst_len));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < settings) return 0;
    size_t in_cap = 1 + data[0] + 256 * size_t{data[1] & 7u}; // 1 to 2048
    size_t out_cap = 1 + size_t{data[2]} * 8;
    size_t most = data[3] == 0 ? SIZE_MAX : data[3];
    std::string text(reinterpret_cast<const char *>(data) + settings, size - settings);

    const std::string want = model(text);
    for (isa level : {isa::portable, isa::sse2, isa::ssse3, isa::avx2}) {
        if (level > best_isa()) break;
        if (filter(text, in_cap, out_cap, most, level) != want) {
            std::fprintf(stderr, "output differs from the model: isa %d, buffers %zu/%zu\n",
                         static_cast<int>(level), in_cap, out_cap);
            std::abort();
        }
    }
    return 0;
}
