// Taking a run back when a signal ends it, or when it fails.
#include "takeback.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The signals whose default action ends the process, the faults a bug
// raises among them, which end it by the same signal once the run is taken
// back, with the core dump their default action makes; but for PIPE and
// XFSZ, which the programs ignore so that they fail a write instead.  The
// C library keeps two real-time signals below SIGRTMIN for itself and
// refuses handlers for them.
constexpr int fault_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr int ending_signals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGTRAP, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2, SIGXCPU,
    SIGVTALRM, SIGPROF, SIGSYS,  SIGABRT, SIGSEGV, SIGBUS,  SIGFPE,  SIGILL,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
};

// The state: the signals caught, where they go, and what to take back.
struct record {
    bool installed = false;              // catch_ending_signals has run
    sigset_t caught;                     // the signals it caught
    const pid_t *forward = nullptr;      // the workers to pass them on to
    size_t forward_count = 0;            // how many workers there are
    int wake = -1;                       // written to when a signal is passed on
    volatile sig_atomic_t forwarded = 0; // the last signal passed on
    bool armed = false;                  // something to take back
    int dir = AT_FDCWD;                  // the directory of the file written
    char name[NAME_MAX + 1] = {};        // its name there; "" when reached by `fd` alone
    int fd = -1;                         // the file written, -1 once closed
    bool made = false;                   // the run made it
    bool in_place = false;               // it is the equation file, not a new file
    bool regular = false;                // it is a regular file, dated when emptied
    dev_t dev = 0;                       // the file written
    ino_t ino = 0;
};
record rec;

// An equation file emptied in place is dated at the epoch, older than any
// input, so that a run that converts only what is out of date converts it
// again.  Past a failure to empty the file, a handler can do nothing more;
// the results are looked at only because the C library insists.
void empty(int fd, bool regular) {
    const timespec epoch[2] = {{0, UTIME_OMIT}, {0, 0}};
    if (ftruncate(fd, 0) != 0 || !regular) return;
    if (futimens(fd, epoch) != 0) return;
}

// A full pipe has been told already; the result is looked at only because
// the C library insists.
void tell(int fd) {
    if (write(fd, "", 1) != 1) return;
}

void take_back(const record &r) {
    if (!r.armed) return;
    struct stat st;
    bool named = r.name[0] != '\0' && fstatat(r.dir, r.name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                 st.st_dev == r.dev && st.st_ino == r.ino;
    if (r.made && named && unlinkat(r.dir, r.name, 0) == 0) return;
    if (!r.in_place) return; // the new file is gone, or is not the run's
    // In place, the file is emptied, through its descriptor while it is
    // open; past a failure to do so, nothing more can be done.
    if (r.fd >= 0 || !named) {
        if (r.fd >= 0) empty(r.fd, r.regular);
        return;
    }
    int fd = openat(r.dir, r.name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return;
    empty(fd, r.regular);
    close(fd);
}

sigset_t ending_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : ending_signals) sigaddset(&set, sig);
#ifdef SIGRTMIN
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&set, sig);
#endif
    return set;
}

bool is_fault(int sig) {
    for (int f : fault_signals)
        if (f == sig) return true;
    return false;
}

extern "C" void on_signal(int sig, siginfo_t *info, void *) {
    take_back(rec);
    // A fault the kernel raised, as a bug does, ends this process whatever
    // it forwards: returning would only raise it again.
    bool raised = is_fault(sig) && info != nullptr && info->si_code > 0;
    if (rec.forward_count > 0 && !raised) {
        int err = errno;
        for (size_t i = 0; i < rec.forward_count; ++i)
            if (rec.forward[i] > 0) (void)kill(rec.forward[i], sig); // never 0: the whole group
        rec.forwarded = sig;
        if (rec.wake >= 0) tell(rec.wake);
        errno = err;
        return;
    }
    // Ends the process by the same signal, so that a calling shell or make
    // sees it, with a core dump where its default action makes one; the
    // signal is blocked in its handler until this returns, and a fault the
    // kernel raised is raised again by the instruction that made it.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(sig, &dfl, nullptr);
    (void)raise(sig); // to a signal that is valid, as it was caught
}

} // namespace

void catch_ending_signals() {
    if (rec.installed) return;
    rec.installed = true;
    // Blocked meanwhile, so that a signal the caller ignores is never
    // caught, and one that arrives is discarded or delivered to its handler
    // once the handlers are in place.  One the caller blocks stays blocked
    // and is left alone, as one it ignores: it is the caller's to deliver.
    sigset_t all = ending_set(), start;
    struct sigaction sa {};
    sa.sa_sigaction = on_signal;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sa.sa_mask = all;
    // A stack of its own for the handler, so that a stack overflowed by a
    // bug is taken back too.
    static char alt_stack[64 * 1024];
    stack_t ss{};
    ss.ss_sp = alt_stack;
    ss.ss_size = sizeof alt_stack;
    (void)sigaltstack(&ss, nullptr);
    sigemptyset(&rec.caught);
    sigprocmask(SIG_BLOCK, &all, &start);
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction old;
        if (sigismember(&all, sig) != 1 || sigismember(&start, sig) == 1 ||
            sigaction(sig, &sa, &old) != 0)
            continue;
        if (old.sa_handler == SIG_IGN) sigaction(sig, &old, nullptr);
        else sigaddset(&rec.caught, sig);
    }
    sigprocmask(SIG_SETMASK, &start, nullptr);
}

void forward_ending_signals(const pid_t *pids, size_t count, int wake) {
    rec.forward = pids;
    rec.forward_count = count;
    rec.wake = wake;
}

int forwarded_signal() {
    return rec.forwarded;
}

void hold_signals() {
    sigprocmask(SIG_BLOCK, &rec.caught, nullptr);
}

void release_signals() {
    sigprocmask(SIG_UNBLOCK, &rec.caught, nullptr);
}

bool caught_signal_pending() {
    sigset_t pending;
    if (sigpending(&pending) != 0) return false;
    for (int sig = 1; sig < NSIG; ++sig)
        if (sigismember(&rec.caught, sig) == 1 && sigismember(&pending, sig) == 1) return true;
    return false;
}

bool arm_take_back(int dir, const char *name, int fd, bool made, bool in_place) {
    struct stat st;
    size_t len = std::strlen(name);
    if (len >= sizeof rec.name) return errno = ENAMETOOLONG, false;
    if (fstat(fd, &st) != 0) return false;
    rec.dir = dir;
    std::memcpy(rec.name, name, len + 1);
    rec.fd = fd;
    rec.made = made;
    rec.in_place = in_place;
    rec.regular = S_ISREG(st.st_mode);
    rec.dev = st.st_dev;
    rec.ino = st.st_ino;
    rec.armed = true;
    return true;
}

void take_back_closed() {
    rec.fd = -1;
}

void disarm_take_back() {
    rec.armed = false;
    rec.fd = -1;
    rec.name[0] = '\0'; // names nothing: a worker's next file is armed afresh
}

void take_back_now() {
    hold_signals();
    int err = errno;
    take_back(rec);
    disarm_take_back();
    errno = err;
    release_signals();
}
