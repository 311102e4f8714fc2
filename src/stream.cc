// Buffered byte streams over a file descriptor or over memory.
//
// Reads and writes go through the caller's buffers in large blocks.  Every
// system call is checked: an interrupted call is retried, a short write is
// continued, and any other failure is kept in the stream's `err`.
#include "zelmor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

in_stream in_from_fd(int fd, unsigned char *buf, size_t cap) {
    return in_stream{buf, cap, 0, 0, fd, nullptr, 0, false, 0};
}

in_stream in_from_memory(const void *src, size_t n, unsigned char *buf, size_t cap) {
    return in_stream{buf, cap, 0, 0, -1, static_cast<const unsigned char *>(src), n, false, 0};
}

out_stream out_to_fd(int fd, unsigned char *buf, size_t cap) {
    return out_stream{buf, cap, 0, fd, nullptr, 0, 0, 0};
}

out_stream out_to_memory(void *dst, size_t dst_cap, unsigned char *buf, size_t cap) {
    return out_stream{buf, cap, 0, -1, static_cast<unsigned char *>(dst), dst_cap, 0, 0};
}

bool refill(in_stream &in, const out_stream &out) {
    in.pos = in.len = 0;
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
    return !in.ended;
}

bool flush(out_stream &out) {
    size_t done = 0;
    while (out.err == 0 && done < out.len) {
        size_t want = out.len - done;
        if (out.fd < 0) {
            if (want > out.dst_cap - out.dst_len) {
                out.err = ENOSPC;
                break;
            }
            std::memcpy(out.dst + out.dst_len, out.buf + done, want);
            out.dst_len += want;
            done += want;
            continue;
        }
        ssize_t n = write(out.fd, out.buf + done, want);
        if (n > 0) done += static_cast<size_t>(n);
        else if (n == 0) out.err = EIO; // a write that makes no progress would loop forever
        else if (errno != EINTR) out.err = errno;
    }
    out.len = 0;
    return out.err == 0;
}
