// zelmor-copy IN OUT BYTES: the floor under zelmor's whole-process time.
// Reads IN in blocks of zelmor's size and writes BYTES bytes to OUT (what
// zelmor writes for IN), block by block as they come, doing no work on
// them: the reads, the writes and the process, and nothing else.
#include "zelmor.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool write_all(int fd, const unsigned char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fputs("usage: zelmor-copy IN OUT BYTES\n", stderr);
        return 2;
    }
    int in = open(argv[1], O_RDONLY | O_CLOEXEC);
    int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    struct stat st;
    if (in < 0 || out < 0 || fstat(in, &st) != 0) {
        std::perror("zelmor-copy");
        return 1;
    }
    // Each block out as many bytes as zelmor writes for it on average: the
    // block, then its first bytes again for what the quotes add, so that in
    // all exactly BYTES go out (zelmor writes at most twice what it reads).
    unsigned long long want = std::strtoull(argv[3], nullptr, 10);
    auto size = static_cast<unsigned long long>(st.st_size);
    if (want < size || want > 2 * size) {
        std::fputs("zelmor-copy: BYTES must be from the size of IN to twice it\n", stderr);
        return 2;
    }
    auto buf = std::make_unique<unsigned char[]>(2 * io_size + 1);
    unsigned long long read_total = 0, written = 0;
    for (;;) {
        ssize_t n = read(in, buf.get(), io_size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            std::perror("zelmor-copy");
            return 1;
        }
        if (n == 0) break;
        read_total += static_cast<unsigned long long>(n);
        // What is due by now, rounded down; all of BYTES once IN is read.
        // (want * read_total / size, without overflow for inputs under 4 GiB.)
        unsigned long long whole = size > 0 ? size : 1;
        unsigned long long due_total =
            want / whole * read_total + want % whole * read_total / whole;
        if (read_total >= size) due_total = want;
        auto due = static_cast<size_t>(due_total - written);
        for (size_t at = static_cast<size_t>(n); at < due; at += std::min(at, due - at))
            std::memcpy(buf.get() + at, buf.get(), std::min(at, due - at));
        if (!write_all(out, buf.get(), due)) {
            std::perror("zelmor-copy");
            return 1;
        }
        written += due;
    }
    if (close(out) != 0 || close(in) != 0) {
        std::perror("zelmor-copy");
        return 1;
    }
    return 0;
}
