// Buffered byte streams over a file descriptor or over memory.
//
// Reads and writes go through the streams' own buffers in large blocks.
// Every system call is checked: an interrupted call is retried, a short write
// is continued, and any other failure is kept in the stream's `err`.  Each
// refill classifies the new bytes, so that the filter can step from one
// structural byte to the next instead of looking at every byte; the filter
// only marks where quotes go, and the next refill writes the bytes out with
// them.
#include "zelmor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

void in_init_fd(in_stream &in, int fd, size_t cap) {
    in.cap = std::min(cap, stream_buffer_size);
    in.pos = in.len = 0;
    in.paren_count = in.next_paren = 0;
    in.token_carry = 0;
    in.level = best_isa();
    in.fd = fd;
    in.src = nullptr;
    in.src_len = 0;
    in.ended = false;
    in.err = 0;
}

void in_init_memory(in_stream &in, const void *src, size_t n, size_t cap) {
    in_init_fd(in, -1, cap);
    in.src = static_cast<const unsigned char *>(src);
    in.src_len = n;
}

void out_init_fd(out_stream &out, int fd, size_t cap) {
    out.cap = std::min(cap, stream_buffer_size);
    out.len = 0;
    out.fd = fd;
    out.dst = nullptr;
    out.dst_cap = out.dst_len = 0;
    out.dst_most = SIZE_MAX;
    out.err = 0;
}

void out_init_memory(out_stream &out, void *dst, size_t dst_cap, size_t cap, size_t dst_most) {
    out_init_fd(out, -1, cap);
    out.dst = static_cast<unsigned char *>(dst);
    out.dst_cap = dst_cap;
    out.dst_most = dst_most;
}

namespace {

// Sets every bit from each set bit up to the next one (exclusive), and the
// rest of the word after an odd one: bit i of the result is the parity of
// bits 0 to i of x.
uint64_t prefix_xor(uint64_t x) {
    for (int shift = 1; shift < 64; shift *= 2) x ^= x << shift;
    return x;
}

// Writes the input buffer out with its quotes.  Per block: `inner` marks the
// bytes inside innermost groups (closing parentheses included), `token`
// those of them that belong to tokens, and a quote goes before every inner
// byte whose token bit differs from the byte before it: the first byte of a
// token and the space or parenthesis after it.  A token that runs over the
// end of the buffer carries its bit to the next one; a group that does is
// marked again at the start of the next buffer.
void write_out(in_stream &in, out_stream &out) {
    if (in.len == 0) return;
    size_t blocks = (in.len + stream_block - 1) / stream_block;
    uint64_t inside = 0, prev_token = in.token_carry, token = 0;
    for (size_t k = 0; k < blocks; ++k) {
        const block_bits &b = in.bits[k];
        uint64_t inner = prefix_xor(b.group_bounds) ^ inside;
        token = inner & ~(b.space | b.close);
        in.quotes[k] = (token ^ (token << 1 | prev_token)) & inner;
        inside = 0 - (inner >> 63);
        prev_token = token >> 63;
    }
    size_t tail = in.len - (blocks - 1) * stream_block; // bytes in the last block
    if (tail < stream_block) in.quotes[blocks - 1] &= (uint64_t{1} << tail) - 1;
    in.token_carry = token >> (tail - 1) & 1;

    if (out.len >= out.cap) flush(out);
    unsigned char *end = insert_quotes(in.level, out.buf + out.len, in.buf, in.len, in.quotes);
    out.len = static_cast<size_t>(end - out.buf);
}

} // namespace

bool refill(in_stream &in, out_stream &out) {
    write_out(in, out);
    in.pos = in.len = 0;
    in.paren_count = in.next_paren = 0;
    if (in.ended || out.err != 0) return false;
    if (in.fd < 0) {
        in.len = std::min(in.cap, in.src_len);
        std::memcpy(in.buf, in.src, in.len);
        in.src += in.len;
        in.src_len -= in.len;
    } else {
        ssize_t n;
        do n = read(in.fd, in.buf, in.cap);
        while (n < 0 && errno == EINTR);
        if (n < 0) in.err = errno;
        else in.len = static_cast<size_t>(n);
    }
    in.ended = in.len == 0;
    if (in.ended) return false;
    // Bytes past the end are read by whole-block classification and
    // quote insertion; give them a defined value.
    std::memset(in.buf + in.len, 0, stream_slack);
    in.paren_count = classify(in.level, in.buf, in.len, in.bits, in.parens);
    return true;
}

namespace {

// Writes some of p[0, n), at least one byte: returns how many, or -1 with
// errno set.
ssize_t write_some(out_stream &out, const unsigned char *p, size_t n) {
    if (out.fd >= 0) return write(out.fd, p, n);
    if (out.dst_len == out.dst_cap) {
        errno = ENOSPC;
        return -1;
    }
    n = std::min({n, out.dst_cap - out.dst_len, out.dst_most});
    std::memcpy(out.dst + out.dst_len, p, n);
    out.dst_len += n;
    return static_cast<ssize_t>(n);
}

} // namespace

bool flush(out_stream &out) {
    for (size_t done = 0; out.err == 0 && done < out.len;) {
        ssize_t n = write_some(out, out.buf + done, out.len - done);
        if (n > 0) done += static_cast<size_t>(n);
        else if (n == 0) out.err = EIO; // a write that makes no progress would loop forever
        else if (errno != EINTR) out.err = errno;
    }
    out.len = 0;
    return out.err == 0;
}
