// zelmor PATH: convert the temporary file PATH into its equation file.
//
// Exit status: 0 after a complete conversion; 1, with one fixed message on
// standard error, when a file cannot be opened, read, written or closed, or
// when the equation file would be the input itself; 2, with a usage line,
// when no path is given.  Standard output is never written.
#include "zelmor.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char failure_message[] = "\nzelmor reports problem with file operations\n";
constexpr char usage_message[] = "usage: zelmor FILE\n";

void say(const char *msg) {
    for (size_t n = std::strlen(msg); n > 0;) {
        ssize_t w = write(STDERR_FILENO, msg, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return; // nowhere left to report to
        msg += w;
        n -= static_cast<size_t>(w);
    }
}

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens the equation file for writing like mode "w" does (creating it with
// mode 0666 less the umask) but without truncating it, so that it can be
// compared with the input first.  `created` tells whether this call made it.
int open_output(const char *name, bool &created) {
    constexpr int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY;
    created = false;
    int fd = open(name, flags);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = open(name, flags | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) {
        created = true;
        return fd;
    }
    if (errno != EEXIST) return -1;
    // Someone else made it meanwhile, or the name is a dangling symbolic
    // link: open it like "w" would, without claiming to have created it.
    return open(name, flags | O_CREAT, 0666);
}

// Removes a half-written equation file, but only if the name still names the
// very regular file this run wrote; a link or a replacement is left alone.
void remove_output(const char *name, const struct stat &written) {
    struct stat st;
    if (lstat(name, &st) == 0 && S_ISREG(st.st_mode) && same_file(st, written)) unlink(name);
}

// Copies `in_fd` through the filter into `out_fd`, using the given streams;
// false unless the whole input was read and every write, the flush and the
// close succeeded.  Closes `out_fd`.
bool filter_fds(int in_fd, int out_fd, scan_input &in, out_stream &out) {
    bool ok = in_init_fd(in.stream, in_fd) && out_init_fd(out, out_fd);
    index_init(in.index);
    proc_files(in, out);
    ok = flush(out) && in.stream.ended && ok;
    return close(out_fd) == 0 && ok;
}

// The whole conversion; false after any failure, having left the input as it
// was and no incomplete equation file behind.
bool convert(const char *in_path, scan_input &in, out_stream &out) {
    std::string out_path;
    make_filename(in_path, out_path);

    int in_fd = open(in_path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (in_fd < 0) return false;
    struct stat in_st;
    if (fstat(in_fd, &in_st) != 0 || S_ISDIR(in_st.st_mode)) return false;

    bool created;
    int out_fd = open_output(out_path.c_str(), created);
    if (out_fd < 0) return false;
    struct stat out_st;
    if (fstat(out_fd, &out_st) != 0) {
        if (created) unlink(out_path.c_str());
        return false;
    }
    // Never write into the input: without ".tmp" the names are the same, and
    // a link can make two names one file.
    if (same_file(in_st, out_st)) return false;
    bool regular = S_ISREG(out_st.st_mode);
    if (regular && !created && ftruncate(out_fd, 0) != 0) return false;

    if (!filter_fds(in_fd, out_fd, in, out)) {
        if (regular) remove_output(out_path.c_str(), out_st);
        return false;
    }
    close(in_fd);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    // Started with standard error closed, a file opened here could take
    // descriptor 2 and receive the failure message; keep 0, 1 and 2 taken.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) return 1;
    }
    // A write past the file size limit, or into a pipe with no reader, would
    // kill the process and leave a partial equation file; ignored, these
    // signals turn into write errors that end the run like any other.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    if (argc < 2) {
        say(usage_message);
        return 2;
    }
    // The streams' buffers are too large for a small stack; taken here, a
    // shortage of memory is met before any file is touched.
    std::unique_ptr<scan_input> in(new (std::nothrow) scan_input);
    std::unique_ptr<out_stream> out(new (std::nothrow) out_stream);
    if (!in || !out || !convert(argv[1], *in, *out)) {
        say(failure_message);
        return 1;
    }
    return 0;
}
