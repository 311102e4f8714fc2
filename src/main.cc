// zelmor PATH: convert the temporary file PATH into its equation file.
//
// The driver: the command line and the exit status.  The conversion itself
// is convert.cc's, which zelmor-batch shares; where it goes, and how it
// becomes the equation file, is publication's (publish.h).
//
// Exit status: 0 after a complete conversion; 1, with one fixed message on
// standard error, when a file cannot be opened, read, written, closed or
// renamed, or when the equation file would be the input itself; 2, with a
// usage line, when no path is given.  Ended by a signal, it takes back what
// it wrote and ends by that signal.  Standard output is never written.
#include "convert.h"
#include "takeback.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
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

// Short of memory where even the exception that says so cannot be had (the
// C++ runtime's reserve for it may be missing under a small ulimit -v):
// what is being written is taken back, and the run fails, as any other.
[[noreturn]] void out_of_memory() {
    take_back_now();
    say(failure_message);
    _exit(1);
}

} // namespace

int main(int argc, char **argv) {
    std::set_new_handler(out_of_memory);
    unsigned closed = 0;
    if (!start_process(closed)) return 1;
    if (argc < 2) {
        say(usage_message);
        return 2;
    }
    // The streams' buffers are too large for a small stack; taken here, a
    // shortage of memory is met before any file is touched.
    std::unique_ptr<conversion_buffers> buffers(new (std::nothrow) conversion_buffers);
    if (buffers == nullptr || convert_path(argv[1], *buffers).err != 0) {
        say(failure_message);
        return 1;
    }
    return 0;
}
