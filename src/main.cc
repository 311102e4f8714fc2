// zelmor PATH: convert the temporary file PATH into its equation file.
//
// The driver: the command line, the streams and the exit status.  Where the
// conversion goes, and how it becomes the equation file, is publish.cc's.
//
// Exit status: 0 after a complete conversion; 1, with one fixed message on
// standard error, when a file cannot be opened, read, written, closed or
// renamed, or when the equation file would be the input itself; 2, with a
// usage line, when no path is given.  Ended by a signal, it takes back what
// it wrote and ends by that signal.  Standard output is never written.
#include "fd.h"
#include "publish.h"
#include "zelmor.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char failure_message[] = "\nzelmor reports problem with file operations\n";
constexpr char usage_message[] = "usage: zelmor PATH\n";

void say(const char *msg) {
    for (size_t n = std::strlen(msg); n > 0;) {
        ssize_t w = write(STDERR_FILENO, msg, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return; // nowhere left to report to
        msg += w;
        n -= static_cast<size_t>(w);
    }
}

// Copies `in_fd` through the filter into `out_fd`, using the given streams;
// false unless the whole input was read and every write succeeded.
bool filter_fds(int in_fd, int out_fd, scan_input &in, out_stream &out) {
    bool ok = in_init_fd(in.stream, in_fd) && out_init_fd(out, out_fd);
    index_init(in.index);
    proc_files(in, out);
    return flush(out) && in.stream.ended && ok;
}

// The whole conversion; false after any failure, having left the input as it
// was and the equation file as it was before (or, written in place, empty).
bool convert(const char *in_path, scan_input &in, out_stream &out) {
    std::string name;
    make_filename(in_path, name);
    unique_fd input(open(in_path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    struct stat in_st;
    if (!input.valid() || fstat(input.get(), &in_st) != 0) return false;
    if (S_ISDIR(in_st.st_mode)) return errno = EISDIR, false;
    publication pub;
    if (!publish_begin(pub, name.c_str(), in_st)) return false;
    bool ok = filter_fds(input.get(), pub.file.get(), in, out);
    // The input first: nothing is published after a failed close.
    ok = input.close() == 0 && ok;
    if (ok) return publish_commit(pub);
    publish_abandon(pub);
    return false;
}

} // namespace

int main(int argc, char **argv) {
    // Started with standard error closed, a file opened here could take
    // descriptor 2 and receive the failure message; keep 0, 1 and 2 taken.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) return 1;
    }
    // A write past the file size limit, or into a pipe with no reader, would
    // kill the process; ignored, these signals turn into write errors that
    // end the run like any other.
    (void)signal(SIGXFSZ, SIG_IGN); // cannot fail for these signals
    (void)signal(SIGPIPE, SIG_IGN);
    if (argc < 2) {
        say(usage_message);
        return 2;
    }
    // The streams' buffers are too large for a small stack; taken here, a
    // shortage of memory is met before any file is touched.
    std::unique_ptr<scan_input> in(new (std::nothrow) scan_input);
    std::unique_ptr<out_stream> out(new (std::nothrow) out_stream);
    bool ok = false;
    try {
        ok = in != nullptr && out != nullptr && convert(argv[1], *in, *out);
    } catch (...) {
        // Only the name rule can throw, short of memory, before any file is
        // made; publication takes itself back and never throws.
    }
    if (!ok) {
        say(failure_message);
        return 1;
    }
    return 0;
}
