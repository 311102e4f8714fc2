// zelmor-small-floor < LIST: the floor under converting many small files.
// LIST holds input paths, each ended by a NUL (as find -print0 writes
// them).  For each input, in turn: open it, read it whole, make a new file
// beside its equation file (the equation file's name, from make_filename,
// and ".floor-new"), write a third more bytes than were read (as much as
// zelmor writes on average), close it and rename it over the equation file.
// No walk of the path, no metadata and no work on the bytes: the calls that
// any conversion of a file must make, and nothing else.  Exits 1 at the
// first failure.
#include "zelmor.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr char new_suffix[] = ".floor-new";

bool write_all(int fd, const unsigned char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w == 0) errno = EIO;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Reads all of `fd` into buf[0, len); false on a failed read.
bool read_whole(int fd, std::vector<unsigned char> &buf, size_t &len) {
    len = 0;
    for (;;) {
        if (buf.size() < len + io_size) buf.resize(len + io_size);
        ssize_t n = read(fd, buf.data() + len, io_size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        len += static_cast<size_t>(n);
    }
}

bool fail(const char *what, const std::string &path, int err) {
    std::fprintf(stderr, "zelmor-small-floor: %s %s: %s\n", what, path.c_str(), std::strerror(err));
    return false;
}

// Converts one input as the floor does: the equation file ends up holding a
// third more bytes than the input, taken from the buffer as they are.
bool floor_one(const std::string &path, std::vector<unsigned char> &buf, std::string &eqn,
               std::string &fresh) {
    make_filename(path.c_str(), eqn);
    if (eqn == path) return fail("no .tmp in", path, EINVAL);
    fresh = eqn;
    fresh += new_suffix;

    int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return fail("open", path, errno);
    size_t len = 0;
    if (!read_whole(in, buf, len)) {
        int err = errno;
        (void)close(in);
        return fail("read", path, err);
    }
    if (close(in) != 0) return fail("close", path, errno);

    size_t out_len = len + len / 3;
    if (buf.size() < out_len) buf.resize(out_len);
    int out = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0) return fail("open", fresh, errno);
    if (!write_all(out, buf.data(), out_len)) {
        int err = errno;
        (void)close(out);
        return fail("write", fresh, err);
    }
    if (close(out) != 0) return fail("close", fresh, errno);
    if (rename(fresh.c_str(), eqn.c_str()) != 0) return fail("rename to", eqn, errno);
    return true;
}

} // namespace

int main(int argc, char **) {
    if (argc != 1) {
        std::fputs("usage: zelmor-small-floor < NUL-SEPARATED-PATHS\n", stderr);
        return 2;
    }
    std::vector<unsigned char> buf;
    std::string path, eqn, fresh;
    for (int c; (c = std::getchar()) != EOF;) {
        if (c != '\0') {
            path += static_cast<char>(c);
            continue;
        }
        if (!floor_one(path, buf, eqn, fresh)) return 1;
        path.clear();
    }
    if (std::ferror(stdin) != 0) {
        std::perror("zelmor-small-floor: standard input");
        return 1;
    }
    if (!path.empty() && !floor_one(path, buf, eqn, fresh)) return 1;
    return 0;
}
