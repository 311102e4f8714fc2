// Buffered byte streams over a file descriptor or over memory.
//
// They only move bytes, in large blocks.  Every system call is checked: an
// interrupted call is retried, a short write is continued, and any other
// failure is kept in the stream's `err`.
#include "zelmor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

bool valid_cap(size_t cap) {
    return cap > 0 && cap <= io_size;
}

void reset(in_stream &in, int fd, size_t cap) {
    in.cap = cap;
    in.len = 0;
    in.fd = fd;
    in.src = nullptr;
    in.src_len = 0;
    in.src_reads = nullptr;
    in.src_read_count = in.src_read_next = 0;
    in.ended = false;
    in.err = 0;
    in.seen = nullptr;
}

void reset(out_stream &out, int fd, size_t cap) {
    out.cap = cap;
    out.len = 0;
    out.fd = fd;
    out.dst = nullptr;
    out.dst_cap = out.dst_len = 0;
    out.dst_most = SIZE_MAX;
    out.err = 0;
}

// A stream refused at init is failed from the start and has no capacity, so
// that a caller who goes on regardless reads nothing, writes nothing (every
// out_space() flushes, which drops the bytes) and cannot succeed.
template <typename Stream>
bool accept(Stream &s, bool ok) {
    if (!ok) s.err = EINVAL, s.cap = 0;
    return ok;
}

} // namespace

bool in_init_fd(in_stream &in, int fd, size_t cap) {
    reset(in, fd, cap);
    return accept(in, fd >= 0 && valid_cap(cap));
}

bool in_init_memory(in_stream &in, const void *src, size_t n, size_t cap, read_schedule reads) {
    reset(in, -1, cap);
    in.src = static_cast<const unsigned char *>(src);
    in.src_len = n;
    in.src_reads = reads.lengths;
    in.src_read_count = reads.lengths != nullptr ? reads.count : 0;
    bool lengths_ok = true;
    for (size_t k = 0; k < in.src_read_count; ++k) lengths_ok = lengths_ok && reads.lengths[k] > 0;
    return accept(in, valid_cap(cap) && (src != nullptr || n == 0) && lengths_ok);
}

size_t in_read(in_stream &in) {
    in.len = 0;
    if (in.ended || in.err != 0) return 0;
    if (in.fd < 0) {
        size_t most = SIZE_MAX;
        if (in.src_read_count > 0) {
            most = in.src_reads[in.src_read_next];
            in.src_read_next = (in.src_read_next + 1) % in.src_read_count;
        }
        in.len = std::min({in.cap, in.src_len, most});
        if (in.len > 0) std::memcpy(in.buf, in.src, in.len);
        in.src += in.len;
        in.src_len -= in.len;
    } else {
        ssize_t n;
        do n = read(in.fd, in.buf, in.cap);
        while (n < 0 && errno == EINTR);
        if (n < 0) in.err = errno;
        else in.len = static_cast<size_t>(n);
    }
    in.ended = in.len == 0 && in.err == 0;
    if (in.seen != nullptr) in.seen->fetch_add(in.len, std::memory_order_relaxed);
    return in.len;
}

bool out_init_fd(out_stream &out, int fd, size_t cap) {
    reset(out, fd, cap);
    return accept(out, fd >= 0 && valid_cap(cap));
}

bool out_init_memory(out_stream &out, void *dst, size_t dst_cap, size_t cap, size_t most) {
    reset(out, -1, cap);
    out.dst = static_cast<unsigned char *>(dst);
    out.dst_cap = dst_cap;
    out.dst_most = most;
    return accept(out, valid_cap(cap) && (dst != nullptr || dst_cap == 0) && most > 0);
}

unsigned char *out_space(out_stream &out) {
    if (out.len >= out.cap) flush(out);
    return out.buf + out.len;
}

void out_commit(out_stream &out, const unsigned char *end) {
    out.len = static_cast<size_t>(end - out.buf);
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
