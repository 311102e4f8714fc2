// zelmor: copy a text, quoting every token of every innermost group.
//
// What the driver, the tests, the benchmarks and the fuzzer put together:
// buffered byte streams over a file descriptor or memory, the output-name
// rule, and the filter's three scanners.  None of them prints or exits; the
// streams keep their failures in `err` for the caller to report, and the
// streams and the filter allocate nothing.
#ifndef ZELMOR_H
#define ZELMOR_H

#include "grammar.h"
#include "kernels.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

// ---- Streams ----

// Bytes per read, at most, and the output's flush threshold, at most.
constexpr size_t io_size = 128 * 1024;

// Each read replaces buf[0, len) with the next bytes: from `fd`, or from
// memory (`src`, with `src_len` bytes left) when `fd` is negative; at most
// `cap` bytes, and from memory, for the k-th read, at most
// src_reads[k % src_read_count] when there is such a schedule, as a pipe
// gives what each write put in.  `ended` is set at the end of the input,
// `err` (an errno) at a failed read; after either, reads yield nothing.  The
// buffer has in_slack bytes of room past any read, for readers of whole
// blocks.  Each read adds its length to `*seen`, when it is set, for one
// who watches from another process (none at first).
constexpr size_t in_slack = 64;
struct in_stream {
    size_t cap, len;
    int fd;
    const unsigned char *src;
    size_t src_len;
    const size_t *src_reads;
    size_t src_read_count, src_read_next;
    bool ended;
    int err;
    std::atomic<uint64_t> *seen;
    alignas(64) unsigned char buf[io_size + in_slack];
};

// Read lengths for a memory input, used in turn: none, by default, for
// reads limited by the buffer alone.
struct read_schedule {
    const size_t *lengths = nullptr;
    size_t count = 0;
};

// Both refuse, returning false, a `cap` of 0 or above io_size; in_init_fd a
// negative descriptor, in_init_memory a null source or a read length of 0.
[[nodiscard]] bool in_init_fd(in_stream &in, int fd, size_t cap = io_size);
[[nodiscard]] bool in_init_memory(in_stream &in, const void *src, size_t n, size_t cap = io_size,
                                  read_schedule reads = {});
// Reads the next bytes; returns their number, 0 at the end or after a failure.
size_t in_read(in_stream &in);

// Bytes collect in buf[0, len) and go out in one flush: to `fd`, or appended
// to memory (`dst`, which takes `dst_cap` bytes in all, like a disk with
// that much room, and at most `dst_most` per write, as a file may take
// fewer) when `fd` is negative.  Writers put bytes at out_space(), which
// flushes first once the buffer holds `cap` bytes or more, so that at least
// out_room bytes are free there; a flush thus writes up to
// cap - 1 + out_room bytes.  After the first failure (`err`, an errno),
// further bytes are dropped.
constexpr size_t out_room = 2 * io_size + 64;
struct out_stream {
    size_t cap, len;
    int fd;
    unsigned char *dst;
    size_t dst_cap, dst_len, dst_most;
    int err;
    alignas(64) unsigned char buf[io_size + out_room];
};

// Both refuse, returning false, a `cap` of 0 or above io_size; out_init_fd a
// negative descriptor, out_init_memory a null sink or `most` of 0.
[[nodiscard]] bool out_init_fd(out_stream &out, int fd, size_t cap = io_size);
[[nodiscard]] bool out_init_memory(out_stream &out, void *dst, size_t dst_cap, size_t cap = io_size,
                                   size_t most = SIZE_MAX);
// Where the next bytes go, with out_room bytes free; out_commit takes those
// written there, up to `end`.
unsigned char *out_space(out_stream &out);
void out_commit(out_stream &out, const unsigned char *end);
// Writes out everything collected.  Returns false if the output has failed,
// now or before.
bool flush(out_stream &out);

// ---- The output-name rule ----

// Where the rule cuts `path`: the offset of its first ".tmp", or no_cut.
constexpr size_t no_cut = SIZE_MAX;
size_t name_cut(const char *path);

// The name of the equation file for the temporary file `path`: `path` cut at
// its first ".tmp", with ".eqn-file" in place of the cut-off end.  Without a
// ".tmp" the result is `path` itself.  `out` grows to fit any length.
void make_filename(const char *path, std::string &out);

// ---- The filter ----

// What the scanners know of the input's current buffer, from the kernels
// and from their own marks.  The buffer's parentheses are at offsets
// parens[0, paren_count), and parens[next_paren] is the first not yet read.
// A bit of `group_bounds` is set at the first byte of an innermost group's
// contents and at its closing parenthesis, `spaces` has a bit set for each
// space, and `quotes` is where write-out puts the buffer's quotes.
// `token_carry` is 1 when the last byte written out belonged to a token.
// `unwritten` is set from the moment the stream's buffer is classified until
// it has been written out.
//
// How the filter goes through the input: by the depth pass, which finds
// every buffer's quotes from its bytes with the kernels and needs none of
// the rest of the index, or by the three scanners, which step from one
// parenthesis to the next.  Both give the same bytes; the scanners are the
// readable definition, and the tests and the fuzzer hold the pass to them.
enum class filter_pass { depth, scanners };
struct paren_index {
    isa level; // the kernels to use: best_isa(), or a test's choice
    filter_pass pass;
    bool unwritten;
    uint32_t paren_count, next_paren;
    uint64_t token_carry;
    uint64_t spaces[io_size / block_size];
    uint64_t group_bounds[io_size / block_size];
    uint64_t quotes[io_size / block_size];
    uint32_t parens[io_size + classify_list_over_write];
};

// The input as the scanners read it: the stream and the index of its
// current buffer.
struct scan_input {
    in_stream stream;
    paren_index index;
};

// Readies the index for a stream that has not been read yet.
void index_init(paren_index &index, isa level = best_isa(), filter_pass pass = filter_pass::depth);

// The three scanners, one per level of nesting.  proc_files runs to the end
// of the input, by the depth pass unless the index asks for the scanners; proc_eq and proc_xhs are
// called just after the opening parenthesis of their group has been read, and return just after its
// closing one, or when the input ends.  They stop early when the output
// fails.  The last bytes stay in the output buffer; the caller flushes it,
// and the run is complete only if the input has ended (in.stream.ended).
void proc_files(scan_input &in, out_stream &out);
void proc_eq(scan_input &in, out_stream &out);
void proc_xhs(scan_input &in, out_stream &out);

#endif
