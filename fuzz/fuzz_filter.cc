// libFuzzer target for the filter.  The first four bytes of an input choose
// the input and output buffer sizes, how many bytes a read gives and how
// many the output takes per write; the rest is the text.  Reads that are
// limited take, in turn, the chosen length and one more than each of the
// text's first two bytes, so that their lengths vary as a pipe's do.  The
// text is filtered on every instruction set the machine has, through the
// chosen buffers, and the output must be the same each time, and the same as
// the independent model's: it may not depend on how the input was cut, nor
// on the vector code.
#include "model.h"
#include "zelmor.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t setting_bytes = 4;

// The streams are large; one pair serves every run.
scan_input &in_buffer() {
    static auto in = std::make_unique<scan_input>();
    return *in;
}
out_stream &out_buffer() {
    static auto out = std::make_unique<out_stream>();
    return *out;
}

struct run_settings {
    size_t in_cap, out_cap, write_most;
    std::vector<size_t> reads;
};

std::string filter(const std::string &text, const run_settings &set, isa level, filter_pass pass) {
    std::vector<unsigned char> sink(3 * text.size());
    scan_input &in = in_buffer();
    out_stream &out = out_buffer();
    bool ok = in_init_memory(in.stream, text.data(), text.size(), set.in_cap,
                             {set.reads.data(), set.reads.size()}) &&
              out_init_memory(out, sink.data(), sink.size(), set.out_cap, set.write_most);
    index_init(in.index, level, pass);
    proc_files(in, out);
    if (!ok || !flush(out) || !in.stream.ended) {
        std::fprintf(stderr, "the filter failed on memory streams\n");
        std::abort();
    }
    return std::string(sink.begin(), sink.begin() + static_cast<std::ptrdiff_t>(out.dst_len));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < setting_bytes) return 0;
    run_settings set;
    set.in_cap = 1 + data[0] + 256 * size_t{data[1] & 7u}; // 1 to 2048
    if (size_t reads = data[1] >> 3u; reads != 0) {
        set.reads = {reads * reads}; // 1 to 961
        for (size_t k = setting_bytes; k < size && k < setting_bytes + 2; ++k)
            set.reads.push_back(1 + size_t{data[k]});
    }
    set.out_cap = 1 + size_t{data[2]} * 8;
    set.write_most = data[3] == 0 ? SIZE_MAX : data[3];
    std::string text(reinterpret_cast<const char *>(data) + setting_bytes, size - setting_bytes);

    const std::string want = model(text);
    for (isa level : all_isas) {
        if (!isa_available(level)) continue;
        for (filter_pass pass : {filter_pass::depth, filter_pass::scanners}) {
            if (filter(text, set, level, pass) == want) continue;
            std::fprintf(stderr,
                         "output differs from the model: %s, %s, input buffer %zu, first read "
                         "of %zu at most, output buffer %zu\n",
                         isa_name(level), pass == filter_pass::depth ? "depth pass" : "scanners",
                         set.in_cap, set.reads.empty() ? SIZE_MAX : set.reads[0], set.out_cap);
            std::abort();
        }
    }
    return 0;
}
