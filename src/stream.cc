// Buffered byte streams over a file descriptor or over memory.
//
// Reads and writes go through the streams' own buffers in large blocks.
// Every system call is checked: an interrupted call is retried, a short write
// is continued, and any other failure is kept in the stream's `err`.  Each
// refill also classifies the new bytes, so that the filter can step from one
// structural byte to the next instead of looking at every byte.
#include "zelmor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

void in_init_fd(in_stream &in, int fd, size_t cap) {
    in.cap = std::min(cap, stream_buffer_size);
    in.pos = in.len = 0;
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
    out.err = 0;
}

void out_init_memory(out_stream &out, void *dst, size_t dst_cap, size_t cap) {
    out_init_fd(out, -1, cap);
    out.dst = static_cast<unsigned char *>(dst);
    out.dst_cap = dst_cap;
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
    if (in.ended) return false;
    // Bytes past the end are read by whole-block classification and short
    // over-copies; give them a defined value.
    std::memset(in.buf + in.len, 0, stream_slack);
    classify(in.buf, in.len, in.bits);
    return true;
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

void put_bytes(out_stream &out, const unsigned char *p, size_t n) {
    while (n > 0) {
        if (out.len == out.cap) flush(out);
        size_t k = std::min(n, out.cap - out.len);
        std::memcpy(out.buf + out.len, p, k);
        out.len += k;
        p += k;
        n -= k;
    }
}

void classify_portable(const unsigned char *p, size_t n, block_bits *bits) {
    for (size_t i = 0; i < n; i += stream_block, ++bits) {
        block_bits b{0, 0, 0};
        for (size_t k = 0; k < stream_block; ++k) {
            uint64_t bit = uint64_t{1} << k;
            if (p[i + k] == '(') b.open |= bit;
            if (p[i + k] == ')') b.close |= bit;
            if (p[i + k] == ' ') b.space |= bit;
        }
        *bits = b;
    }
}

#if defined(__SSE2__)
// SSE2 is part of every x86-64 CPU: compare 16 bytes at once with each
// structural byte and gather the results' top bits into the block's masks.
void classify(const unsigned char *p, size_t n, block_bits *bits) {
    const __m128i open = _mm_set1_epi8('('), close = _mm_set1_epi8(')'), space = _mm_set1_epi8(' ');
    auto bits_of = [](__m128i eq, int part) {
        return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(eq))) << (16 * part);
    };
    for (size_t i = 0; i < n; i += stream_block, ++bits) {
        block_bits b{0, 0, 0};
        for (int part = 0; part < 4; ++part) {
            __m128i v = _mm_load_si128(reinterpret_cast<const __m128i *>(p + i + 16 * part));
            b.open |= bits_of(_mm_cmpeq_epi8(v, open), part);
            b.close |= bits_of(_mm_cmpeq_epi8(v, close), part);
            b.space |= bits_of(_mm_cmpeq_epi8(v, space), part);
        }
        *bits = b;
    }
}
#else
void classify(const unsigned char *p, size_t n, block_bits *bits) {
    classify_portable(p, n, bits);
}
#endif
