// zelmor: copy a text, quoting every token of every innermost group.
//
// The filter reads an input stream and writes an output stream, each with a
// fixed buffer of its own, over a file descriptor or over memory.  Nothing
// here allocates, prints or exits: failures are left in the streams' `err`
// fields for the caller to report.
#ifndef ZELMOR_H
#define ZELMOR_H

#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t stream_buffer_size = 128 * 1024; // bytes per read and per write, at most
constexpr size_t stream_block = 64;               // bytes classified together
// Room past the end of each buffer for the vector code, which reads and
// writes in whole blocks and fixed-size pieces.
constexpr size_t stream_slack = 4 * stream_block;

// The instruction sets the vector code can use, each including the ones
// before it; best_isa() is the best this CPU has.
enum class isa { portable, sse2, ssse3, avx2 };
isa best_isa();

// Which bytes of one block close a group or are spaces, and where the
// filter found an innermost group to begin or to have ended: bit i stands
// for byte i.  A `group_bounds` bit is set at the first byte of a group's
// contents and at the byte after its closing parenthesis, so the bytes
// inside groups are those with an odd number of bounds at or before them.
struct block_bits {
    uint64_t close, space, group_bounds;
};

// Bytes come from `fd`, or from `src` when `fd` is negative, `cap` at a time.
// Unread bytes are buf[pos, len); bits[k] classifies the bytes of block k,
// and parens[0, paren_count) are the offsets of the buffer's parentheses, in
// order, of which parens[next_paren] is the first not yet read.  Once the
// input has ended or failed, every further refill yields nothing.
struct in_stream {
    size_t cap;
    size_t pos, len;
    uint32_t paren_count, next_paren;
    uint64_t token_carry; // 1 if the last byte written out ended in a token
    isa level;            // the vector code to use: best_isa(), or a test's choice
    int fd;
    const unsigned char *src; // memory source, when fd < 0
    size_t src_len;           // bytes of src not yet read
    bool ended;
    int err; // errno of the first failed read, 0 if none
    block_bits bits[stream_buffer_size / stream_block];
    uint32_t parens[stream_buffer_size + 8];
    uint64_t quotes[stream_buffer_size / stream_block]; // where write-out puts quotes
    alignas(stream_block) unsigned char buf[stream_buffer_size + stream_slack];
};

// Bytes collect in buf[0, len) and go to `fd`, or are appended to `dst` when
// `fd` is negative, once `len` has reached `cap`; the buffer has room for a
// whole input buffer with a quote before every byte beyond that.  After the
// first failure, further bytes are dropped.
struct out_stream {
    size_t cap;
    size_t len;
    int fd;
    unsigned char *dst; // memory sink, when fd < 0
    size_t dst_cap, dst_len;
    size_t dst_most; // bytes the memory sink takes per write at most, as a file may
    int err;         // errno of the first failed write, 0 if none
    alignas(stream_block) unsigned char buf[3 * stream_buffer_size + stream_slack];
};

// `cap` is at most stream_buffer_size; tests use small ones to move the
// buffer boundaries around.
void in_init_fd(in_stream &in, int fd, size_t cap = stream_buffer_size);
void in_init_memory(in_stream &in, const void *src, size_t n, size_t cap = stream_buffer_size);
void out_init_fd(out_stream &out, int fd, size_t cap = stream_buffer_size);
// A memory sink takes what fits, like a disk with dst_cap bytes free.
void out_init_memory(out_stream &out, void *dst, size_t dst_cap, size_t cap = stream_buffer_size,
                     size_t dst_most = SIZE_MAX);

// Marks byte `at` of the input buffer as a bound of an innermost group (see
// block_bits); a bound at the end of the buffer needs no mark.
inline void mark_group_bound(in_stream &in, size_t at) {
    if (at < in.len) in.bits[at / stream_block].group_bounds ^= uint64_t{1} << at % stream_block;
}

// Moves on once the filter has read the whole input buffer: writes it to the
// output, with a double quote before the first byte of every token in an
// innermost group and before the byte that ends it, then reads and
// classifies the next bytes.  Returns false, with the buffer empty, when the
// input has ended or failed, or when the output has failed: once nothing
// more can be written there is no point reading further.
bool refill(in_stream &in, out_stream &out);

// Writes out everything collected in the output buffer.  Returns false if
// the output has failed, now or before.
bool flush(out_stream &out);

// Classifies the blocks that hold p[0, n), with no group bounds, and stores
// the offsets of the parentheses in p[0, n) in `parens` (which has room for
// 8 more than n); returns their number.  p is block-aligned and readable up
// to whole blocks.
uint32_t classify(isa level, const unsigned char *p, size_t n, block_bits *bits, uint32_t *parens);

// Copies src[0, n) to dst with a double quote before byte i wherever bit
// i % 64 of quotes[i / 64] is set (no bit at or past n), and returns the end
// of what it wrote.  It may read up to 64 bytes past src + n and write up to
// 64 bytes past the end it returns.
unsigned char *insert_quotes(isa level, unsigned char *dst, const unsigned char *src, size_t n,
                             const uint64_t *quotes);

// The name of the equation file for the temporary file `path`: `path` cut at
// its first ".tmp", with ".eqn-file" in place of the cut-off end.  Without a
// ".tmp" the result is `path` itself.
void make_filename(const char *path, std::string &out);

// The filter, one scanner per level of nesting.  proc_files runs to the end
// of the input; proc_eq and proc_xhs are called just after the opening
// parenthesis of their group has been read and return just after its
// closing one, or when the input ends.  They leave the last bytes in the
// output buffer; the caller flushes it.
void proc_files(in_stream &in, out_stream &out);
void proc_eq(in_stream &in, out_stream &out);
void proc_xhs(in_stream &in, out_stream &out);

#endif
