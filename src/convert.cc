// Converting one temporary file into its equation file.
#include "convert.h"

#include "fd.h"
#include "publish.h"
#include "resolve.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Copies `in_fd` through the filter into `out_fd`: 0 once the whole input is
// read and every byte written, or the errno of the failure.
int filter_fds(int in_fd, int out_fd, conversion_buffers &b) {
    if (!in_init_fd(b.in.stream, in_fd) || !out_init_fd(b.out, out_fd)) return EINVAL;
    index_init(b.in.index);
    proc_files(b.in, b.out);
    bool flushed = flush(b.out);
    if (b.in.stream.err != 0) return b.in.stream.err;
    if (!flushed) return b.out.err;
    return b.in.stream.ended ? 0 : EIO;
}

// The errno of a failure that set it, and never 0.
int failed() {
    return errno != 0 ? errno : EIO;
}

} // namespace

bool start_process() noexcept {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) return false;
    }
    (void)signal(SIGXFSZ, SIG_IGN); // cannot fail for these signals
    (void)signal(SIGPIPE, SIG_IGN);
    return true;
}

int convert_file(const char *path, conversion_buffers &buffers, uint64_t &bytes) noexcept {
    bytes = 0;
    std::string name;
    try {
        make_filename(path, name);
    } catch (...) {
        return ENOMEM; // all the name rule can throw
    }
    // The input as the equation file is reached: a link another user
    // planted in a sticky directory is not followed to a file of ours.
    unique_fd input(open_walked(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    struct stat st;
    if (!input.valid() || fstat(input.get(), &st) != 0) return failed();
    if (S_ISDIR(st.st_mode)) return EISDIR;
    publication pub;
    if (!publish_begin(pub, name.c_str(), st)) return failed();
    int err = filter_fds(input.get(), pub.file.get(), buffers);
    // The input first: nothing is published after a failed close.
    if (input.close() != 0 && err == 0) err = failed();
    if (err != 0) {
        publish_abandon(pub);
        return err;
    }
    if (!publish_commit(pub)) return failed();
    bytes = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    return 0;
}
