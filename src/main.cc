// zelmor PATH: convert the temporary file PATH into its equation file.
//
// The conversion goes to a new file beside the equation file, which is
// renamed over it only once every byte is written and the file closed, so
// that the equation file's name holds the previous file or a complete
// conversion at every moment.  Where a rename would change more than the
// inode (a file with other hard links, a FIFO or a device, an owner, group
// or mode the new file cannot take, a directory where no new file can be
// made), the equation file is written in place instead, and a failed run
// empties it rather than leave part of a conversion.
//
// Exit status: 0 after a complete conversion; 1, with one fixed message on
// standard error, when a file cannot be opened, read, written, closed or
// renamed, or when the equation file would be the input itself; 2, with a
// usage line, when no path is given.  Ended by SIGINT, SIGTERM or SIGHUP, it
// takes back what it wrote and ends by that signal.  Standard output is
// never written.
#include "zelmor.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char failure_message[] = "\nzelmor reports problem with file operations\n";
constexpr char usage_message[] = "usage: zelmor PATH\n";

// The new file's name, in the equation file's directory: hidden, of a fixed
// length whatever the equation file's name, and saying what it is if a run
// killed outright leaves it behind.
constexpr char partial_prefix[] = ".zelmor-partial-";

constexpr int open_flags = O_WRONLY | O_CLOEXEC | O_NOCTTY;
constexpr int caught_signals[] = {SIGINT, SIGTERM, SIGHUP};

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

// What to take back if the run ends early: the file being written, to be
// removed (a file this run made) or emptied (one it emptied), as long as
// the name still names it.  This is the one piece of state outside main's
// frames, because a signal handler can reach nothing else; it changes only
// while the signals are blocked, and taking it back uses only calls that
// are safe in a handler.
struct undo_state {
    const char *path = nullptr; // nothing to take back while null
    int fd = -1;                // the open file, -1 once closed
    bool remove = false, empty = false;
    dev_t dev = 0;
    ino_t ino = 0;
};
undo_state undo;

void take_back(const undo_state &u) {
    if (u.path == nullptr) return;
    struct stat st;
    bool named = lstat(u.path, &st) == 0 && st.st_dev == u.dev && st.st_ino == u.ino;
    if (u.remove && named) unlink(u.path);
    // Past a failure that cannot be taken back, nothing more can be done.
    if (u.empty && u.fd >= 0 && ftruncate(u.fd, 0) != 0) return;
    if (u.empty && u.fd < 0 && named && truncate(u.path, 0) != 0) return;
}

extern "C" void on_signal(int sig) {
    take_back(undo);
    // Ends the process by the same signal, so that a calling shell or make
    // sees it; the signal is blocked in its handler until this returns.
    signal(sig, SIG_DFL);
    raise(sig);
}

// Catches the signals that end a run from outside, except those the caller
// chose to ignore (nohup, or a background job).
void catch_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : caught_signals) sigaddset(&sa.sa_mask, sig);
    for (int sig : caught_signals) {
        struct sigaction old;
        if (sigaction(sig, &sa, &old) == 0 && old.sa_handler == SIG_IGN)
            sigaction(sig, &old, nullptr);
    }
}

// Holds the caught signals back while `undo` changes, and while a finished
// run publishes its file.
void block_signals(bool block) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : caught_signals) sigaddset(&set, sig);
    sigprocmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void arm_undo(const std::string &path, int fd, const struct stat &st, bool remove) {
    undo = {path.c_str(), fd, remove, !remove && S_ISREG(st.st_mode), st.st_dev, st.st_ino};
}

// The directory part of `path`, with its final slash: "" for a bare name.
std::string dir_of(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// The path a symbolic link finally leads to, through any chain of links:
// the equation file is replaced there, and the links stay as they are.
// Anything that is not a readable link ends the chain, and the last name
// is returned as it is, for opening it to tell what is wrong.
std::string follow_links(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::string to(static_cast<size_t>(st.st_size) + 1, '\0');
        ssize_t n = readlink(path.c_str(), to.data(), to.size());
        if (n < 0 || static_cast<size_t>(n) >= to.size()) return path; // changed meanwhile
        to.resize(static_cast<size_t>(n));
        path = to[0] == '/' ? to : dir_of(path) + to;
    }
    return path; // a loop: opening it says so
}

// Sixteen hex digits that another run is unlikely to pick; creating the file
// exclusively makes sure of it.
std::string random_part(unsigned attempt) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t x = static_cast<uint64_t>(now.tv_nsec) ^ static_cast<uint64_t>(now.tv_sec) << 30 ^
                 static_cast<uint64_t>(getpid()) << 40 ^ reinterpret_cast<uintptr_t>(&now) ^
                 attempt * 0x9e3779b97f4a7c15u;
    x = (x ^ x >> 30) * 0xbf58476d1ce4e5b9u;
    x = (x ^ x >> 27) * 0x94d049bb133111ebu;
    x ^= x >> 31;
    std::string r(16, '0');
    for (char &c : r) c = "0123456789abcdef"[x & 15], x >>= 4;
    return r;
}

// Where the conversion goes.
struct output {
    std::string name; // the equation file, links followed
    std::string temp; // the new file to rename over it; empty when in place
    int fd = -1;
};

// Makes the new file beside `o.name` and arms `undo` to remove it.  An
// existing equation file's owner, group and mode carry over; a new one gets
// mode 0666 less the umask.  False if the file cannot be made or cannot take
// all of that; the caller then takes it back.
bool make_partial(output &o, const struct stat *old) {
    std::string dir = dir_of(o.name);
    struct stat st;
    block_signals(true);
    for (unsigned attempt = 0; o.fd < 0 && attempt < 100; ++attempt) {
        o.temp = dir + partial_prefix + random_part(attempt);
        // Private until it has the old file's owner and mode.
        o.fd = open(o.temp.c_str(), open_flags | O_CREAT | O_EXCL | O_NOFOLLOW,
                    old != nullptr ? 0600 : 0666);
        if (o.fd < 0 && errno != EEXIST) break;
    }
    bool made = o.fd >= 0 && fstat(o.fd, &st) == 0;
    if (made) arm_undo(o.temp, o.fd, st, true);
    else if (o.fd >= 0) unlink(o.temp.c_str());
    block_signals(false);
    if (!made) return false;
    if (old == nullptr) return true;
    mode_t mode = old->st_mode & 07777;
    if ((st.st_uid != old->st_uid || st.st_gid != old->st_gid) &&
        fchown(o.fd, old->st_uid, old->st_gid) != 0)
        return false;
    // Ownership first: changing it may clear the set-user-ID bits.
    return fchmod(o.fd, mode) == 0 && fstat(o.fd, &st) == 0 && st.st_uid == old->st_uid &&
           st.st_gid == old->st_gid && (st.st_mode & 07777) == mode;
}

// Opens the equation file itself for writing in place, emptying it, or
// makes it if it does not exist; arms `undo` to empty or remove it.
bool open_in_place(output &o, int fd, struct stat &st, const struct stat &in_st) {
    bool created = false;
    block_signals(true);
    if (fd < 0) {
        fd = open(o.name.c_str(), open_flags | O_CREAT | O_EXCL, 0666);
        created = fd >= 0;
        if (fd < 0 && errno == EEXIST) fd = open(o.name.c_str(), open_flags);
        if (fd >= 0 && (fstat(fd, &st) != 0 || same_file(st, in_st))) {
            if (created) unlink(o.name.c_str());
            close(fd);
            fd = -1;
        }
    }
    if (fd >= 0) arm_undo(o.name, fd, st, created);
    block_signals(false);
    o.fd = fd;
    return fd >= 0 && (created || !S_ISREG(st.st_mode) || ftruncate(fd, 0) == 0);
}

// Opens where the conversion goes and arms `undo` for it.  False if the
// equation file cannot be written, or is the input: that is checked before
// anything is made or emptied.
bool open_output(output &o, const struct stat &in_st) {
    struct stat st;
    // Open for writing, as the user must be allowed to, without emptying.
    int fd = open(o.name.c_str(), open_flags);
    if (fd < 0 && errno != ENOENT) return false;
    if (fd >= 0 && (fstat(fd, &st) != 0 || same_file(st, in_st))) {
        close(fd);
        return false;
    }
    if (fd < 0 || (S_ISREG(st.st_mode) && st.st_nlink == 1)) {
        // A failure from here on leaves the new file to the caller's undo.
        if (make_partial(o, fd >= 0 ? &st : nullptr)) return fd < 0 || close(fd) == 0;
        block_signals(true);
        take_back(undo);
        undo = {};
        block_signals(false);
        if (o.fd >= 0) close(o.fd);
        o.fd = -1;
        o.temp.clear();
    }
    return open_in_place(o, fd, st, in_st);
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
    output o;
    make_filename(in_path, o.name);
    o.name = follow_links(o.name);

    int in_fd = open(in_path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (in_fd < 0) return false;
    struct stat in_st;
    bool ok = fstat(in_fd, &in_st) == 0 && !S_ISDIR(in_st.st_mode);
    if (ok) catch_signals();
    ok = ok && open_output(o, in_st) && filter_fds(in_fd, o.fd, in, out);

    block_signals(true);
    if (o.fd >= 0) {
        ok = close(o.fd) == 0 && ok;
        undo.fd = -1;
    }
    ok = close(in_fd) == 0 && ok;
    if (ok && !o.temp.empty()) ok = rename(o.temp.c_str(), o.name.c_str()) == 0;
    if (!ok) take_back(undo);
    undo = {};
    block_signals(false);
    return ok;
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
