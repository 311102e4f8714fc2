// zelmor: copy a text, quoting every token of every innermost group.
//
// The filter reads an input stream and writes an output stream; both are plain
// buffers that the caller provides, over a file descriptor or over memory.
// Nothing here allocates, prints or exits: failures are left in the streams'
// `err` fields for the caller to report.
#ifndef ZELMOR_H
#define ZELMOR_H

#include <cstddef>
#include <string>

// Bytes come from `fd`, or from `src` when `fd` is negative, through `buf`.
// Unread bytes are buf[pos, len).  Once the input has ended or failed, every
// further read yields no byte.
struct in_stream {
    unsigned char *buf;
    size_t cap;
    size_t pos, len;
    int fd;
    const unsigned char *src; // memory source, when fd < 0
    size_t src_len;           // bytes of src not yet read
    bool ended;
    int err; // errno of the first failed read, 0 if none
};

// Bytes collect in buf[0, len) and go to `fd`, or are appended to `dst` when
// `fd` is negative.  After the first failure, further bytes are dropped.
struct out_stream {
    unsigned char *buf;
    size_t cap;
    size_t len;
    int fd;
    unsigned char *dst; // memory sink, when fd < 0
    size_t dst_cap, dst_len;
    int err; // errno of the first failed write, 0 if none
};

in_stream in_from_fd(int fd, unsigned char *buf, size_t cap);
in_stream in_from_memory(const void *src, size_t n, unsigned char *buf, size_t cap);
out_stream out_to_fd(int fd, unsigned char *buf, size_t cap);
out_stream out_to_memory(void *dst, size_t dst_cap, unsigned char *buf, size_t cap);

// Refill an empty input buffer.  Returns false, and leaves the buffer empty,
// when the input has ended or failed, or when the output has failed: once
// nothing more can be written there is no point reading further.
bool refill(in_stream &in, const out_stream &out);

// Write out everything collected in the output buffer.  Returns false if the
// output has failed, now or before.
bool flush(out_stream &out);

// The name of the equation file for the temporary file `path`: `path` cut at
// its first ".tmp", with ".eqn-file" in place of the cut-off end.  Without a
// ".tmp" the result is `path` itself.
void make_filename(const char *path, std::string &out);

// The filter, one scanner per level of nesting.  proc_files runs to the end
// of the input; proc_eq and proc_xhs are called just after the opening
// parenthesis of their group has been copied and return just after its
// closing one, or when the input ends.  None of them flushes the output.
void proc_files(in_stream &in, out_stream &out);
void proc_eq(in_stream &in, out_stream &out);
void proc_xhs(in_stream &in, out_stream &out);

#endif
