// Publishing the equation file.
//
// The conversion goes to a new file beside the equation file, which is
// renamed over it once every byte is written and the file closed, so that
// the equation file's name holds the previous file or a complete
// conversion at every moment.  Where a rename would change more than the
// inode (a file with other hard links, a FIFO or a device, an owner, group,
// mode, extended attribute or flag the new file cannot take, a directory
// where no new file can be made or renamed), the equation file is written
// in place instead, under an exclusive lock, and a failed run empties it
// rather than leave part of a conversion.  Any other failure to make the
// new file ends the run with the previous file untouched.
//
// The name is resolved one component at a time, relative to descriptors of
// the directories, following symbolic links by hand as the kernel does and
// applying the kernel's sticky-directory protections whatever the system's
// settings: in a sticky directory that others may write, a link is followed
// and an existing file used only if it belongs to the effective user or to
// the directory's owner.
#include "publish.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>
#include <utility>
#include <vector>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#endif
#ifdef __APPLE__
#include <sys/random.h>
#endif

namespace {

// The new file's name, in the equation file's directory: hidden, of a fixed
// length whatever the equation file's name, and saying what it is if a run
// killed outright leaves it behind.
constexpr char partial_prefix[] = ".zelmor-partial-";
constexpr size_t random_digits = 16;
constexpr unsigned max_attempts = 100; // names tried before giving up
constexpr int max_links = 40;          // links followed in all, as the kernel does

constexpr int write_flags = O_WRONLY | O_CLOEXEC | O_NOCTTY;
#if defined(O_PATH)
constexpr int dir_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int dir_flags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int dir_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// ---- Taking back ----

// What the run is writing, and so what to take back if it ends early: the
// new file, to be removed, or the equation file written in place, to be
// emptied (removed if the run made it), as long as the name still names
// it.  This is the one piece of state outside the callers' frames, because
// a signal handler can reach nothing else; it changes only while the
// ending signals are blocked, and taking it back uses only calls that are
// safe in a handler.
struct publication {
    bool armed = false;      // something to take back
    int dir = AT_FDCWD;      // the equation file's directory
    char name[NAME_MAX + 1]; // the equation file in `dir`; "" when reached only by `fd`
    char temp[sizeof partial_prefix + random_digits]; // the new file in `dir`; "" in place
    int fd = -1;                                      // the file being written, -1 once closed
    bool made = false;                                // the run made the file it writes
    dev_t dev = 0;                                    // the file being written
    ino_t ino = 0;
    mode_t mode = 0; // the mode to give the new file
};
publication pub;

void take_back(const publication &p) {
    if (!p.armed) return;
    const char *written = p.temp[0] != '\0' ? p.temp : p.name;
    struct stat st;
    bool named = written[0] != '\0' && fstatat(p.dir, written, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                 st.st_dev == p.dev && st.st_ino == p.ino;
    if (p.made && named && unlinkat(p.dir, written, 0) == 0) return;
    if (p.temp[0] != '\0') return; // the new file is gone, or is not the equation file
    // Past a failure that cannot be taken back, nothing more can be done.
    if (p.fd >= 0 && ftruncate(p.fd, 0) != 0) return;
    if (p.fd >= 0 || !named) return;
    int fd = openat(p.dir, written, write_flags | O_NOFOLLOW | O_NONBLOCK);
    if (fd >= 0 && ftruncate(fd, 0) == 0) close(fd);
}

// ---- Signals ----

// The signals whose default action ends the process, but for the faults a
// bug raises (SEGV, BUS, FPE, ILL, ABRT), which keep their core dump, and
// for PIPE and XFSZ, which main ignores so that they fail a write instead.
constexpr int ending_signals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGTRAP,   SIGALRM, SIGTERM,
    SIGUSR1,   SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS,
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

sigset_t ending_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : ending_signals) sigaddset(&set, sig);
#ifdef SIGRTMIN
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&set, sig);
#endif
    return set;
}

void block_signals(bool block) {
    sigset_t set = ending_set();
    sigprocmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

bool signal_pending() {
    sigset_t pending, ending = ending_set();
    if (sigpending(&pending) != 0) return false;
    for (int sig = 1; sig < NSIG; ++sig)
        if (sigismember(&ending, sig) == 1 && sigismember(&pending, sig) == 1) return true;
    return false;
}

extern "C" void on_signal(int sig) {
    take_back(pub);
    // Ends the process by the same signal, so that a calling shell or make
    // sees it; the signal is blocked in its handler until this returns.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(sig, &dfl, nullptr);
    raise(sig);
}

// Catches the ending signals, except those the caller chose to ignore
// (nohup, or a background job).  They are blocked meanwhile, so that one
// the caller ignores is never caught, and one that arrives is discarded
// or delivered to its handler once the handlers are in place.
void catch_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sa.sa_mask = ending_set();
    block_signals(true);
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction old;
        if (sigismember(&sa.sa_mask, sig) == 1 && sigaction(sig, &sa, &old) == 0 &&
            old.sa_handler == SIG_IGN)
            sigaction(sig, &old, nullptr);
    }
    block_signals(false);
}

// Arms the take-back for the file `fd`, which the run made or found; false
// if the file cannot be told apart from one that replaces it meanwhile.
bool arm(int fd, bool made) {
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    pub.fd = fd;
    pub.made = made;
    pub.dev = ok ? st.st_dev : 0;
    pub.ino = ok ? st.st_ino : 0;
    pub.armed = true;
    return ok;
}

// Takes back what the run wrote, closes it and forgets it.
void drop() {
    block_signals(true);
    take_back(pub);
    if (pub.fd >= 0) close(pub.fd);
    pub.armed = false;
    pub.fd = -1;
    pub.temp[0] = '\0';
    pub.mode = 0;
    block_signals(false);
}

// Lets go of the equation file's directory; a directory handle holds no
// data, so its close cannot lose any.
void release() {
    if (pub.dir != AT_FDCWD) close(pub.dir);
    pub = publication{};
}

// ---- Resolving the name ----

// Whether a file owned by `owner` in `dir` may be followed (a link) or
// written (an existing file): in a sticky directory that others may write,
// only the effective user's files and the directory owner's.
bool trusted(int dir, uid_t owner) {
    struct stat d;
    if (fstatat(dir, ".", &d, 0) != 0) return false;
    bool shared = (d.st_mode & S_ISVTX) != 0 && (d.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (!shared || owner == geteuid() || owner == d.st_uid) return true;
    errno = EACCES;
    return false;
}

// The equation file as the kernel would reach it: its directory, open, its
// name there, and its status if it exists.
struct place {
    int dir = AT_FDCWD;
    std::string name;
    bool exists = false;
    struct stat st {};
    int links = 0; // symbolic links followed on the way
};

// Replaces the walk's directory with `next`, a descriptor or -1.
bool move_to(place &p, int next) {
    if (p.dir != AT_FDCWD) close(p.dir);
    p.dir = next;
    return next >= 0;
}

// Walks `path` a name at a time, as the kernel does: from the working
// directory or the root, through directories, following each symbolic
// link found on the way (at most 40 in all, each allowed by the sticky
// rule) relative to the directory that holds it.  True with `p` naming the
// last component, which may not exist; false if the kernel would refuse
// the path, or if it names a directory.
bool resolve(const char *path, place &p) {
    std::string rest = path;
    size_t at = 0;
    if (!move_to(p, open(".", dir_flags))) return false;
    for (;;) {
        if (rest[at] == '/') {
            if (!move_to(p, open("/", dir_flags))) return false;
            at = rest.find_first_not_of('/', at);
            if (at == std::string::npos) return errno = EISDIR, false;
        }
        size_t end = rest.find('/', at);
        size_t next = rest.find_first_not_of('/', end);
        bool last = next == std::string::npos, trailing = last && end != std::string::npos;
        p.name = rest.substr(at, end - at);
        if (p.name.empty()) return errno = ENOENT, false;
        if (fstatat(p.dir, p.name.c_str(), &p.st, AT_SYMLINK_NOFOLLOW) != 0) {
            p.exists = false;
            return last && !trailing && errno == ENOENT;
        }
        if (S_ISLNK(p.st.st_mode)) {
            if (++p.links > max_links) return errno = ELOOP, false;
            if (!trusted(p.dir, p.st.st_uid)) return false;
            char to[PATH_MAX];
            ssize_t n = readlinkat(p.dir, p.name.c_str(), to, sizeof to);
            if (n < 0) return false;
            if (n == 0 || static_cast<size_t>(n) == sizeof to) return errno = ENOENT, false;
            // The rest of the walk goes on from the link's own directory.
            rest = std::string(to, static_cast<size_t>(n)) +
                   (end == std::string::npos ? "" : rest.substr(end));
            at = 0;
            continue;
        }
        if (last && !trailing && !S_ISDIR(p.st.st_mode)) return p.exists = true;
        if (last) return errno = S_ISDIR(p.st.st_mode) ? EISDIR : ENOTDIR, false;
        if (!S_ISDIR(p.st.st_mode)) return errno = ENOTDIR, false;
        if (!move_to(p, openat(p.dir, p.name.c_str(), dir_flags | O_NOFOLLOW))) return false;
        at = next;
    }
}

// ---- Metadata of an existing equation file ----

// What a new file must carry over from the file it replaces.
struct metadata {
    struct stat st {};
    unsigned flags = 0; // file flags (chattr)
    std::vector<std::pair<std::string, std::string>> xattrs;
};

// Flags the new file is given; the others are the file system's own.
#if defined(__linux__) && defined(FS_IOC_GETFLAGS)
constexpr unsigned carried_flags = FS_FL_USER_MODIFIABLE;
constexpr unsigned frozen_flags = FS_IMMUTABLE_FL | FS_APPEND_FL;
#elif defined(UF_IMMUTABLE)
constexpr unsigned carried_flags = UF_SETTABLE | SF_SETTABLE;
constexpr unsigned frozen_flags = UF_IMMUTABLE | UF_APPEND | SF_IMMUTABLE | SF_APPEND;
#else
constexpr unsigned carried_flags = 0;
constexpr unsigned frozen_flags = 0;
#endif

// Errors that say a file system or system lacks a feature, rather than
// that it failed.
bool unsupported(int err) {
    return err == ENOTSUP || err == EOPNOTSUPP || err == ENOTTY || err == EINVAL || err == ENOSYS;
}

bool get_flags(int fd, const struct stat &st, unsigned &flags) {
    flags = 0;
#if defined(__linux__) && defined(FS_IOC_GETFLAGS)
    (void)st;
    int f = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &f) != 0) return unsupported(errno);
    flags = static_cast<unsigned>(f) & carried_flags;
#elif defined(UF_IMMUTABLE)
    (void)fd;
    flags = st.st_flags & carried_flags;
#else
    (void)fd, (void)st;
#endif
    return true;
}

bool set_flags(int fd, unsigned flags) {
#if defined(__linux__) && defined(FS_IOC_SETFLAGS)
    int f = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &f) != 0) return flags == 0 && unsupported(errno);
    unsigned has = static_cast<unsigned>(f), want = (has & ~carried_flags) | flags;
    f = static_cast<int>(want);
    return want == has || ioctl(fd, FS_IOC_SETFLAGS, &f) == 0;
#elif defined(UF_IMMUTABLE)
    return fchflags(fd, flags) == 0;
#else
    (void)fd;
    return flags == 0;
#endif
}

// The file's extended attributes, POSIX ACLs among them, sorted by name.
bool get_xattrs(int fd, std::vector<std::pair<std::string, std::string>> &xattrs) {
    xattrs.clear();
#ifdef __linux__
    for (;;) {
        ssize_t n = flistxattr(fd, nullptr, 0);
        if (n <= 0) return n == 0 || unsupported(errno);
        std::string names(static_cast<size_t>(n), '\0');
        n = flistxattr(fd, names.data(), names.size());
        if (n < 0 && errno == ERANGE) continue; // grew meanwhile
        if (n < 0) return false;
        names.resize(static_cast<size_t>(n));
        for (size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
            std::string name = names.c_str() + at, value;
            ssize_t v;
            do {
                v = fgetxattr(fd, name.c_str(), nullptr, 0);
                if (v < 0) return false;
                value.assign(static_cast<size_t>(v), '\0');
                v = fgetxattr(fd, name.c_str(), value.data(), value.size());
            } while (v < 0 && errno == ERANGE);
            if (v < 0) return false;
            value.resize(static_cast<size_t>(v));
            xattrs.emplace_back(std::move(name), std::move(value));
        }
        std::sort(xattrs.begin(), xattrs.end());
        return true;
    }
#else
    (void)fd;
    return true;
#endif
}

// Gives the new file `fd` exactly the extended attributes `want`.
bool set_xattrs(int fd, const std::vector<std::pair<std::string, std::string>> &want) {
#ifdef __linux__
    std::vector<std::pair<std::string, std::string>> has;
    if (!get_xattrs(fd, has)) return false;
    for (const auto &[name, value] : has) {
        bool kept = false;
        for (const auto &w : want) kept = kept || w.first == name;
        if (!kept && fremovexattr(fd, name.c_str()) != 0) return false;
    }
    for (const auto &[name, value] : want)
        if (fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0) return false;
    return true;
#else
    (void)fd;
    return want.empty();
#endif
}

// Reads what the new file must carry over from the equation file, which
// `p` found.  Opened for reading only, so that a program watching it sees
// no write; false if it cannot be read, or is no longer the file found.
bool read_metadata(const place &p, metadata &m) {
    int fd =
        openat(p.dir, p.name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    bool ok = fstat(fd, &m.st) == 0 && same_file(m.st, p.st) && get_flags(fd, m.st, m.flags) &&
              get_xattrs(fd, m.xattrs);
    return close(fd) == 0 && ok;
}

// Gives the new file `fd` the old file's owner, group, flags, extended
// attributes and mode, and checks that it has them and nothing more.
bool give_metadata(int fd, const metadata &old) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    if ((st.st_uid != old.st.st_uid || st.st_gid != old.st.st_gid) &&
        fchown(fd, old.st.st_uid, old.st.st_gid) != 0)
        return false;
    // Ownership before the mode, since changing it may clear the set-ID
    // bits; the mode after an ACL, since the ACL's mask is the group's bits.
    if (!set_flags(fd, old.flags) || !set_xattrs(fd, old.xattrs) ||
        fchmod(fd, old.st.st_mode & 07777) != 0)
        return false;
    metadata now;
    bool same =
        fstat(fd, &now.st) == 0 && get_flags(fd, now.st, now.flags) && get_xattrs(fd, now.xattrs);
    if (!same) return false;
    same = now.st.st_uid == old.st.st_uid && now.st.st_gid == old.st.st_gid &&
           (now.st.st_mode & 07777) == (old.st.st_mode & 07777) && now.flags == old.flags &&
           now.xattrs == old.xattrs;
    return same || (errno = EPERM, false);
}

// ---- Making the new file, or writing in place ----

// Reasons for writing in place: the directory refuses new files, or the
// new file cannot take what the old one has.  Any other failure ends the
// run: no room, no descriptors, no memory, an I/O error, a hundred names
// taken.
bool refused(int err) {
    return err == EACCES || err == EPERM || err == EROFS;
}

// Whether the directory lets files be made but not renamed or removed.
bool frozen_dir(int dir) {
#if defined(STATX_ATTR_APPEND) && defined(STATX_ATTR_IMMUTABLE)
    struct statx sx;
    unsigned frozen = STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE;
    return statx(dir, ".", 0, 0, &sx) == 0 &&
           (sx.stx_attributes & sx.stx_attributes_mask & frozen) != 0;
#elif defined(UF_APPEND)
    struct stat st;
    return fstatat(dir, ".", &st, 0) == 0 && (st.st_flags & frozen_flags) != 0;
#else
    (void)dir;
    return false;
#endif
}

// Sixteen hex digits that another run is unlikely to pick; creating the file
// exclusively makes sure of it.
void random_part(char *out, unsigned attempt) {
    uint64_t x = 0;
    if (getentropy(&x, sizeof x) != 0) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        x = static_cast<uint64_t>(now.tv_nsec) ^ static_cast<uint64_t>(now.tv_sec) << 30 ^
            static_cast<uint64_t>(getpid()) << 40 ^ reinterpret_cast<uintptr_t>(&now) ^
            attempt * 0x9e3779b97f4a7c15u;
        x = (x ^ x >> 30) * 0xbf58476d1ce4e5b9u;
        x = (x ^ x >> 27) * 0x94d049bb133111ebu;
        x ^= x >> 31;
    }
    for (size_t i = 0; i < random_digits; ++i, x >>= 4) out[i] = "0123456789abcdef"[x & 15];
    out[random_digits] = '\0';
}

// Makes the new file beside the equation file and arms the take-back to
// remove it.  An existing equation file's owner, group, mode, flags and
// extended attributes carry over; a new one gets mode 0666 less the umask.
// On failure, `in_place` tells whether writing in place is the answer.
int make_new(const place &p, bool &in_place) {
    metadata old;
    in_place = frozen_dir(p.dir);
    if (in_place) return -1;
    if (p.exists && !read_metadata(p, old)) return in_place = errno == EACCES, -1;
    if ((old.flags & frozen_flags) != 0) return in_place = true, -1;
    int fd = -1;
    block_signals(true);
    std::memcpy(pub.temp, partial_prefix, sizeof partial_prefix);
    for (unsigned attempt = 0; fd < 0 && attempt < max_attempts; ++attempt) {
        random_part(pub.temp + sizeof partial_prefix - 1, attempt);
        // Private until it has the old file's owner and mode.
        fd = openat(p.dir, pub.temp, write_flags | O_CREAT | O_EXCL | O_NOFOLLOW,
                    p.exists ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    int err = errno;
    bool armed = fd >= 0 && arm(fd, true);
    pub.mode = p.exists ? old.st.st_mode & 07777 : 0;
    block_signals(false);
    if (armed && (!p.exists || give_metadata(fd, old))) return fd;
    if (fd >= 0) err = errno;
    in_place = refused(err) || (fd >= 0 && unsupported(err));
    drop();
    errno = err;
    return -1;
}

// Takes the lock that makes runs writing the same file in place take turns,
// then arms the take-back, unless the run made the file and has armed it
// already, and empties the file.  On failure, what is armed is the
// caller's to take back.
int lock_and_empty(int fd, bool made) {
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
#ifdef LOCK_EX
    while (ok && flock(fd, LOCK_EX) != 0 && errno != ENOLCK) ok = errno == EINTR;
#else
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    while (ok && fcntl(fd, F_SETLKW, &lock) != 0 && errno != ENOLCK) ok = errno == EINTR;
#endif
    if (!made) {
        block_signals(true);
        ok = arm(fd, false) && ok;
        block_signals(false);
    }
    return ok && (made || !S_ISREG(st.st_mode) || ftruncate(fd, 0) == 0) ? fd : -1;
}

// Opens the equation file that `p` found for writing in place, or makes
// it if there is none.
int open_in_place(const place &p) {
    if (!p.exists) {
        block_signals(true);
        int fd = openat(p.dir, pub.name, write_flags | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
        bool armed = fd >= 0 && arm(fd, true);
        block_signals(false);
        return armed ? lock_and_empty(fd, true) : -1;
    }
    // Opening a FIFO waits for a reader: the signals stay as they are.
    int fd = openat(p.dir, pub.name, write_flags | O_NOFOLLOW);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !same_file(st, p.st))) {
        close(fd);
        return errno = EAGAIN, -1; // replaced meanwhile
    }
    return fd < 0 ? -1 : lock_and_empty(fd, false);
}

// Opens where the conversion goes; see publish_begin.
int open_output(const char *name, const struct stat &in) {
    place p;
    if (!resolve(name, p)) return move_to(p, -1);
    pub.dir = p.dir;
    if (p.name.size() >= sizeof pub.name) return errno = ENAMETOOLONG, -1;
    std::memcpy(pub.name, p.name.c_str(), p.name.size() + 1);
    if (p.links > 0) {
        // A link whose text does not name the file it leads to (those under
        // /proc): write in place, through the kernel's own descriptor.
        struct stat k;
        bool found = stat(name, &k) == 0;
        if (found != p.exists || (found && !same_file(k, p.st))) {
            pub.name[0] = '\0';
            int fd = found ? open(name, write_flags) : -1;
            if (fd >= 0 && (fstat(fd, &k) != 0 || same_file(k, in))) return close(fd), -1;
            return fd < 0 ? -1 : lock_and_empty(fd, false);
        }
    }
    if (p.exists) {
        if (same_file(p.st, in)) return errno = EINVAL, -1;
        bool guarded = S_ISREG(p.st.st_mode) || S_ISFIFO(p.st.st_mode);
        if (guarded && !trusted(p.dir, p.st.st_uid)) return -1;
        if (faccessat(p.dir, pub.name, W_OK, AT_EACCESS) != 0) return -1;
        if (!S_ISREG(p.st.st_mode) || p.st.st_nlink != 1) return open_in_place(p);
    }
    bool in_place = false;
    int fd = make_new(p, in_place);
    return fd >= 0 || !in_place ? fd : open_in_place(p);
}

} // namespace

int publish_begin(const char *name, const struct stat &in) {
    catch_signals();
    int fd = open_output(name, in);
    if (fd < 0) {
        drop();
        release();
    }
    return fd;
}

bool publish_commit() {
    block_signals(true);
    bool in_place = pub.temp[0] == '\0';
    // Writing may have cleared the set-ID bits of a file it replaces; in
    // place, the close publishes.
    struct stat st;
    bool ok = pub.mode == 0 || (fstat(pub.fd, &st) == 0 && ((st.st_mode & 07777) == pub.mode ||
                                                            fchmod(pub.fd, pub.mode) == 0));
    ok = ok && !(in_place && signal_pending()) && close(std::exchange(pub.fd, -1)) == 0;
    ok = ok &&
         (in_place || (!signal_pending() && renameat(pub.dir, pub.temp, pub.dir, pub.name) == 0));
    if (ok) {
        // The run is complete: a signal that arrives now is held until the
        // process exits.
        pub.armed = false;
        release();
        return true;
    }
    drop(); // a pending signal ends the process here
    release();
    return false;
}

void publish_abandon() {
    drop();
    release();
}
