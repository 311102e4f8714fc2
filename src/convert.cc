// Converting one temporary file into its equation file.
#include "convert.h"

#include "publish.h"
#include "resolve.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int input_flags = O_RDONLY | O_CLOEXEC | O_NOCTTY;

// Copies `in_fd` through the filter into `out_fd`: 0 once the whole input is
// read and every byte written, or the errno of the failure, and where.
conversion_result filter_fds(int in_fd, int out_fd, conversion_buffers &b) {
    if (!in_init_fd(b.in.stream, in_fd) || !out_init_fd(b.out, out_fd))
        return {EINVAL, failed_at::output};
    b.in.stream.seen = b.seen;
    index_init(b.in.index, b.level);
    proc_files(b.in, b.out);
    bool flushed = flush(b.out);
    if (b.in.stream.err != 0) return {b.in.stream.err, failed_at::input};
    if (!flushed) return {b.out.err, failed_at::output};
    return b.in.stream.ended ? conversion_result{} : conversion_result{EIO, failed_at::input};
}

// The errno of a failure that set it, and never 0, at `at`.
conversion_result failed(failed_at at) {
    return {errno != 0 ? errno : EIO, at};
}

// Whether `st` is a file of zelmor-batch's own, never to be converted or
// written.
bool off_limits(const conversion_buffers &b, const struct stat &st) {
    return std::find(b.off_limits.begin(), b.off_limits.end(), id_of(st)) != b.off_limits.end();
}

// Whether the regular file `fd`, of status `st` at its open, is still as it
// was then: a file that grows, shrinks or is rewritten while it is read
// gives a conversion of no version of it.  The failure if not.
conversion_result unchanged(int fd, const struct stat &st) {
    struct stat now;
    if (fstat(fd, &now) != 0) return failed(failed_at::input);
#ifdef __APPLE__
    const timespec &m0 = st.st_mtimespec, &m1 = now.st_mtimespec;
    const timespec &c0 = st.st_ctimespec, &c1 = now.st_ctimespec;
#else
    const timespec &m0 = st.st_mtim, &m1 = now.st_mtim, &c0 = st.st_ctim, &c1 = now.st_ctim;
#endif
    bool same = now.st_size == st.st_size && m0.tv_sec == m1.tv_sec && m0.tv_nsec == m1.tv_nsec &&
                c0.tv_sec == c1.tv_sec && c0.tv_nsec == c1.tv_nsec;
    return same ? conversion_result{} : conversion_result{ESTALE, failed_at::changed_while_read};
}

// Converts the open input `input`, of status `st`, into the equation file
// `output` from `output_dir`.
conversion_result convert_open(unique_fd input, const struct stat &st, int output_dir,
                               const char *output, bool wait, conversion_buffers &buffers) {
    if (S_ISDIR(st.st_mode)) return {EISDIR, failed_at::input};
    publication pub;
    pub.wait = wait;
    if (!publish_begin(pub, output_dir, output, st)) {
        conversion_result r = failed(failed_at::output);
        if (r.err == ENXIO && S_ISFIFO(pub.found)) r.at = failed_at::no_reader;
        if (r.err == ENXIO && S_ISSOCK(pub.found)) r.at = failed_at::socket;
        return r;
    }
    struct stat target;
    if (!buffers.off_limits.empty() && pub.temp.empty() &&
        (fstat(pub.file.get(), &target) != 0 || off_limits(buffers, target))) {
        publish_abandon(pub);
        return {EPERM, failed_at::output};
    }
    conversion_result r = filter_fds(input.get(), pub.file.get(), buffers);
    if (r.err == 0 && S_ISREG(st.st_mode)) r = unchanged(input.get(), st);
    // The input first: nothing is published after a failed close.
    if (input.close() != 0 && r.err == 0) r = failed(failed_at::input);
    if (r.err != 0) {
        publish_abandon(pub);
        return r;
    }
    if (!publish_commit(pub)) return failed(failed_at::output);
    r.bytes = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    return r;
}

} // namespace

bool start_process(unsigned &closed) noexcept {
    closed = 0;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0) continue;
        if (open("/dev/null", O_RDWR) != fd) return false;
        closed |= 1u << fd;
    }
    (void)signal(SIGXFSZ, SIG_IGN); // cannot fail for these signals
    (void)signal(SIGPIPE, SIG_IGN);
    return true;
}

file_id id_of(const struct stat &st) {
    return {st.st_dev, st.st_ino};
}

bool locate(const char *path, located &l) {
    l.dir.reset();
    l.input = path;
    make_filename(path, l.output);
    size_t cut = name_cut(path);
    const char *slash = std::strrchr(path, '/');
    size_t last = slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
    // Without a cut, or with one in a directory's name, each name is walked
    // on its own.
    if (cut == no_cut || cut < last) return true;
    if (last > 0) {
        l.dir = open_dir_walked(AT_FDCWD, std::string(path, last).c_str()); // "/" stays "/"
        if (!l.dir.valid()) return false;
    }
    l.input = path + last;
    l.output.erase(0, last);
    return true;
}

conversion_result convert_path(const char *path, conversion_buffers &buffers,
                               const planned *plan) noexcept {
    located where;
    try {
        if (!locate(path, where)) return failed(failed_at::input);
    } catch (...) {
        return {ENOMEM, failed_at::input}; // all the name rule can throw
    }
    // The input as the equation file is reached: a link another user
    // planted in a sticky directory is not followed to a file of ours.  Of
    // zelmor-batch's inputs, only one the plan found as a FIFO is waited on.
    bool wait = plan == nullptr || plan->fifo;
    unique_fd input(open_walked(where.at(), where.input, input_flags | (wait ? 0 : O_NONBLOCK)));
    struct stat st;
    if (!input.valid() || fstat(input.get(), &st) != 0) return failed(failed_at::input);
    const bool is_fifo = S_ISFIFO(st.st_mode);
    if (plan != nullptr && (!(id_of(st) == plan->id) || is_fifo != plan->fifo))
        return {ESTALE, failed_at::changed};
    if (off_limits(buffers, st)) return {EPERM, failed_at::input};
    // Opened not to wait on a FIFO with no writer, the input waits on its
    // reads again.
    if (!wait && !set_blocking(input.get(), true)) return failed(failed_at::input);
    return convert_open(std::move(input), st, where.at(), where.output.c_str(), plan == nullptr,
                        buffers);
}

conversion_result convert_found(int dir, const char *name, const file_id &id, int output_dir,
                                const char *output, conversion_buffers &buffers) noexcept {
    unique_fd input(openat(dir, name, input_flags | O_NOFOLLOW | O_NONBLOCK));
    struct stat st;
    if (!input.valid()) {
        // Swapped for a link, or removed, since the search.
        bool changed = errno == ELOOP || errno == ENOENT || errno == ENXIO;
        return failed(changed ? failed_at::changed : failed_at::input);
    }
    if (fstat(input.get(), &st) != 0) return failed(failed_at::input);
    if (!S_ISREG(st.st_mode) || !(id_of(st) == id)) return {ESTALE, failed_at::changed};
    if (!set_blocking(input.get(), true)) return failed(failed_at::input);
    return convert_open(std::move(input), st, output_dir, output, false, buffers);
}
