// Publishing the equation file: the protocol that makes the new file, or
// opens the equation file in place, and commits or abandons the run.
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
// Every call on the equation file goes through the directory descriptor
// that the walk of its name gave (resolve.h), what the new file carries
// over is metadata.h's, and taking the run back is takeback.h's.
#include "publish.h"

#include "resolve.h"
#include "takeback.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <utility>
#ifdef __APPLE__
#include <sys/random.h>
#endif
#ifdef __linux__
#include <sys/xattr.h>
#endif

namespace {

// The new file's name, in the equation file's directory: hidden, of a fixed
// length whatever the equation file's name, and saying what it is if a run
// killed outright leaves it behind.
constexpr char partial_prefix[] = ".zelmor-partial-";
constexpr size_t random_digits = 16;
constexpr unsigned max_attempts = 100; // names tried before giving up
constexpr int max_looks = 8;           // walks of the name, when it changes under the run

constexpr int write_flags = O_WRONLY | O_CLOEXEC | O_NOCTTY;

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// How an attempt at opening the output ended: ready to write, to be written
// in place instead, to be tried again because the equation file changed
// since the walk looked at it, or failed.
enum class outcome { ready, in_place, changed, failed };

// Reasons for writing in place: the directory refuses new files, or the
// new file cannot take what the old one has.  Any other failure ends the
// run: no room, no descriptors, no memory, an I/O error, a hundred names
// taken.
bool refused(int err) {
    return err == EACCES || err == EPERM || err == EROFS;
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
}

// Makes `file` the run's output and arms the take-back for it; to be
// called with the signals held, from before a file the run makes is made,
// so that no signal finds it made and not armed.  A file the run made that
// cannot be armed is removed at once: it was made exclusively a moment ago.
bool adopt(publication &pub, unique_fd file, const std::string &name, bool made, bool in_place) {
    bool ok =
        file.valid() && arm_take_back(pub.dir.get(), name.c_str(), file.get(), made, in_place);
    int err = errno;
    if (!ok && made && file.valid()) (void)unlinkat(pub.dir.get(), name.c_str(), 0);
    if (ok) pub.file = std::move(file);
    errno = err;
    return ok;
}

// Makes a file of the run's own in the equation file's directory, under a
// new name of `temp`'s prefix, created exclusively with `mode` and armed
// for the take-back: the new file, or the probe.
bool make_partial(publication &pub, std::string &temp, mode_t mode) {
    temp = std::string(partial_prefix) + std::string(random_digits, '0');
    hold_signals();
    int fd = -1;
    for (unsigned attempt = 0; fd < 0 && attempt < max_attempts; ++attempt) {
        random_part(&temp[sizeof partial_prefix - 1], attempt);
        fd = openat(pub.dir.get(), temp.c_str(), write_flags | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
        if (fd < 0 && errno != EEXIST) break;
    }
    bool adopted = adopt(pub, unique_fd(fd), temp, true, false);
    release_signals();
    return adopted;
}

// Whether a new file can take what the replaced one has, found out on a
// probe that never holds the conversion: an empty file in the equation
// file's directory, given it all, checked and let go.  The system makes it
// without a name where it can, so that nothing is left of it whatever ends
// the run; elsewhere it has a name of its own and is taken back at once.
// The new file itself stays private until the last write, and is given
// what carries over only then.
outcome probe(publication &pub) {
    unique_fd file;
#ifdef O_TMPFILE
    file = unique_fd(openat(pub.dir.get(), ".", O_TMPFILE | write_flags, 0600));
    // Without such files, the system says the flags are unsupported or
    // takes them for a directory's.
    if (!file.valid() && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return refused(errno) ? outcome::in_place : outcome::failed;
#endif
    bool named = !file.valid();
    if (named) {
        std::string name;
        if (!make_partial(pub, name, 0600))
            return refused(errno) ? outcome::in_place : outcome::failed;
        file = std::move(pub.file);
    }
    bool taken = give_metadata(file.get(), pub.carried);
    int err = errno;
    if (file.close() != 0 && taken) taken = false, err = errno;
    if (named) take_back_now(); // removes it, by its name
    errno = err;
    if (taken) return outcome::ready;
    return refused(err) || unsupported(err) ? outcome::in_place : outcome::failed;
}

// Whether a file made in the directory `dir` gets mode 0666 less the umask
// for sure: the directory is on a plain local file system, and has no
// default ACL, which would narrow the mode in the umask's place.  Found
// without making a file, which in a watched directory would send an event
// for each conversion.
bool umask_says(int dir) {
#ifdef __linux__
    if (!plain_local_fs(dir)) return false;
    // The directory's descriptor is for lookups only; its path under /proc
    // reaches it.
    std::string path = "/proc/self/fd/" + std::to_string(dir);
    return getxattr(path.c_str(), "system.posix_acl_default", nullptr, 0) < 0 &&
           (errno == ENODATA || errno == EOPNOTSUPP);
#else
    (void)dir;
    return false;
#endif
}

// The mode a file made in the equation file's directory with mode 0666
// gets, less the umask or as the directory's default ACL narrows it: what
// a new equation file is given once written.  Where the umask does not
// say it for sure, read off a file the system makes without a name where
// it can; elsewhere off an empty file of the run's own, made and removed
// at once.
outcome fresh_mode(publication &pub, mode_t &mode) {
    if (umask_says(pub.dir.get())) {
        mode_t mask = umask(0);
        (void)umask(mask);
        mode = 0666 & ~mask;
        return outcome::ready;
    }
    struct stat st;
    bool read = false;
#ifdef O_TMPFILE
    unique_fd file(openat(pub.dir.get(), ".", O_TMPFILE | write_flags, 0666));
    // Without such files, the system says the flags are unsupported or
    // takes them for a directory's.
    if (!file.valid() && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return refused(errno) ? outcome::in_place : outcome::failed;
    if (file.valid()) {
        read = fstat(file.get(), &st) == 0;
        if (file.close() != 0 || !read) return outcome::failed;
        mode = st.st_mode & 07777;
        return outcome::ready;
    }
#endif
    std::string name;
    if (!make_partial(pub, name, 0666)) return refused(errno) ? outcome::in_place : outcome::failed;
    read = fstat(pub.file.get(), &st) == 0;
    bool closed = pub.file.close() == 0;
    int err = errno;
    take_back_closed();
    take_back_now(); // removes it, by its name
    errno = err;
    if (!read || !closed) return outcome::failed;
    mode = st.st_mode & 07777;
    return outcome::ready;
}

// Makes the new file beside the equation file that `p` found.  An existing
// equation file's owner, group, mode, flags and extended attributes carry
// over; a new one gets mode 0666 less the umask.
outcome make_new(publication &pub, const place &p) {
    bool frozen_directory = false;
    if (!frozen_dir(pub.dir.get(), frozen_directory)) return outcome::failed;
    if (frozen_directory) return outcome::in_place;
    if (p.exists) {
        if (!read_metadata(pub.dir.get(), pub.name.c_str(), pub.carried))
            return errno == EAGAIN || errno == ENOENT ? outcome::changed : outcome::failed;
        if (!same_file(pub.carried.st, p.st)) return outcome::changed;
        if (frozen(pub.carried)) return outcome::in_place;
        pub.carry = true;
        outcome probed = probe(pub);
        if (probed != outcome::ready) return probed;
    }
    // Private until the last write: then it gets the old file's owner and
    // mode, or those of a new file.
    if (!p.exists) {
        outcome mode = fresh_mode(pub, pub.fresh);
        if (mode != outcome::ready) return mode;
    }
    std::string temp;
    if (!make_partial(pub, temp, 0600)) return refused(errno) ? outcome::in_place : outcome::failed;
    pub.temp = std::move(temp);
    return outcome::ready;
}

// Opens the existing equation file `name` for writing in place, with
// `flags` added.  Opening a FIFO waits for a reader, unless the run may not
// wait: then one with no reader fails with ENXIO, and writes wait as they
// would have.  The signals stay as they are meanwhile.
unique_fd open_existing(const publication &pub, const char *name, int flags) {
    unique_fd file(openat(pub.dir.get(), name, write_flags | flags | (pub.wait ? 0 : O_NONBLOCK)));
    if (pub.wait || !file.valid()) return file;
    int now = fcntl(file.get(), F_GETFL);
    if (now < 0 || fcntl(file.get(), F_SETFL, now & ~O_NONBLOCK) != 0) return unique_fd();
    return file;
}

// Takes the lock that makes runs writing the same file in place take
// turns, waiting for it; a file system without locks goes without.
bool lock(int fd) {
#ifdef LOCK_EX
    while (flock(fd, LOCK_EX) != 0 && errno != ENOLCK)
        if (errno != EINTR) return false;
#else
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    while (fcntl(fd, F_SETLKW, &whole) != 0 && errno != ENOLCK)
        if (errno != EINTR) return false;
#endif
    return true;
}

// Writes the equation file in place through `file`, just opened: takes the
// lock that makes runs writing the same file take turns, arms the
// take-back and empties the file.  What was opened need not be what the
// walk saw (another run replaced it, or an overlay copied it up on
// opening), so the rules for an existing file are applied to it again.
// The lock is taken before anything is armed or emptied.
bool write_in_place(publication &pub, unique_fd file, const struct stat &in) {
    struct stat st;
    if (!file.valid() || fstat(file.get(), &st) != 0) return false;
    if (same_file(st, in)) return errno = EINVAL, false;
    if (!pub.name.empty() && guarded(st) && !trusted(pub.dir.get(), st)) return false;
    // Writing clears set-ID bits: a file the run could not give them back
    // to is refused before it is emptied.
    if (S_ISREG(st.st_mode) && !may_give_set_id(st)) return errno = EPERM, false;
    int fd = file.get();
    if (!lock(fd)) return false;
    hold_signals();
    bool adopted = adopt(pub, std::move(file), pub.name, false, true);
    release_signals();
    if (!adopted) return false;
    pub.mode = S_ISREG(st.st_mode) ? st.st_mode & 07777 : 0;
    return !S_ISREG(st.st_mode) || ftruncate(fd, 0) == 0;
}

// Opens the equation file that `p` found for writing in place, or makes
// it if there is none.
outcome open_in_place(publication &pub, const place &p, const struct stat &in) {
    if (!p.exists) {
        hold_signals();
        unique_fd file(openat(pub.dir.get(), pub.name.c_str(),
                              write_flags | O_CREAT | O_EXCL | O_NOFOLLOW, 0666));
        bool adopted = adopt(pub, std::move(file), pub.name, true, true);
        release_signals();
        if (!adopted) return errno == EEXIST ? outcome::changed : outcome::failed;
        return lock(pub.file.get()) ? outcome::ready : outcome::failed;
    }
    unique_fd file = open_existing(pub, pub.name.c_str(), O_NOFOLLOW);
    if (!file.valid())
        return errno == ENOENT || errno == ELOOP ? outcome::changed : outcome::failed;
    return write_in_place(pub, std::move(file), in) ? outcome::ready : outcome::failed;
}

// Opens where the conversion goes; see publish_begin.
bool open_output(publication &pub, int dir, const char *name, const struct stat &in) {
    for (int look = 1;; ++look) {
        place p;
        pub.carry = false;
        if (!resolve(dir, name, p)) return false;
        pub.dir = std::move(p.dir);
        if (p.through) {
            // A link under /proc: written in place, through what the kernel
            // opens for it.
            pub.name.clear();
            unique_fd file = open_existing(pub, p.name.c_str(), 0);
            return write_in_place(pub, std::move(file), in);
        }
        pub.name = std::move(p.name);
        pub.found = p.exists ? p.st.st_mode & S_IFMT : 0;
        if (p.exists) {
            if (same_file(p.st, in)) return errno = EINVAL, false;
            if (guarded(p.st) && !trusted(pub.dir.get(), p.st)) return false;
            if (faccessat(pub.dir.get(), pub.name.c_str(), W_OK, AT_EACCESS) != 0) return false;
        }
        outcome r = outcome::in_place;
        if (!p.exists || (S_ISREG(p.st.st_mode) && p.st.st_nlink == 1)) r = make_new(pub, p);
        if (r == outcome::in_place) r = open_in_place(pub, p, in);
        if (r != outcome::changed) return r == outcome::ready;
        if (look == max_looks) return errno = EAGAIN, false;
    }
}

// Before the rename, what the new file carries over is the replaced file's
// as it is now, and given again after the last write, which may have
// cleared set-ID bits and file capabilities: given to `fd`, the new file.
// The file it replaces must still be one that may be replaced; another
// run's file renamed over it between two looks is read in its turn.  A
// descriptor of the file read is left in `previous`.
bool carry_over(publication &pub, int fd, unique_fd &previous) {
    metadata now;
    for (int look = 1; !read_metadata(pub.dir.get(), pub.name.c_str(), now, &previous); ++look) {
        if (errno == EAGAIN && look < max_looks) continue;
        if (errno != ENOENT) return false;
        // None, or gone meanwhile.
        return pub.carry ? give_metadata(fd, pub.carried) : give_mode(fd, pub.fresh);
    }
    if (!S_ISREG(now.st.st_mode) || now.st.st_nlink != 1) return errno = EAGAIN, false;
    if (!trusted(pub.dir.get(), now.st)) return false;
    // Made immutable or append-only meanwhile: the new file, given its
    // flags, could be neither renamed over it nor removed.
    if (frozen(now)) return errno = EPERM, false;
    pub.carried = std::move(now);
    pub.carry = true;
    return give_metadata(fd, pub.carried);
}

// After the rename: a mode narrowed on the replaced file `previous` since
// it was last read, which the new file `fd` would widen again, is narrowed
// on the new file too.  The conversion is published by then, so only a
// narrowing the kernel refuses fails; a replaced file that cannot be
// looked at again is taken as it was read.
bool narrowed(const publication &pub, int fd, const unique_fd &previous) {
    struct stat st;
    if (!pub.carry || !previous.valid() || fstat(previous.get(), &st) != 0) return true;
    mode_t was = pub.carried.st.st_mode & 07777, now = st.st_mode & 07777;
    return now == was || give_mode(fd, was & now);
}

// Closes the file written, which the take-back then reaches by name.
bool close_file(publication &pub) {
    bool ok = pub.file.close() == 0;
    take_back_closed();
    return ok;
}

// With the signals held: a signal caught meanwhile stops the commit.
bool no_signal() {
    return !caught_signal_pending() || (errno = EINTR, false);
}

// The close of the descriptor written says whether every byte got out;
// what carries over is read and given after it, through a second
// descriptor of the new file, so that as little as the check for a signal
// stands between that look at the replaced file and the rename.  Every
// call that can say the conversion is incomplete comes before the rename:
// after it, the second descriptor, which never wrote a byte, is closed
// without a look at what its close says.
bool commit_new(publication &pub) {
    unique_fd kept(fcntl(pub.file.get(), F_DUPFD_CLOEXEC, 0)), previous;
    if (!kept.valid() || !close_file(pub) || !carry_over(pub, kept.get(), previous) ||
        !no_signal() ||
        renameat(pub.dir.get(), pub.temp.c_str(), pub.dir.get(), pub.name.c_str()) != 0)
        return false;
    return narrowed(pub, kept.get(), previous);
}

// In place, the close publishes; writing may have cleared set-ID bits.
bool commit_in_place(publication &pub) {
    struct stat st;
    if (pub.mode != 0 &&
        (fstat(pub.file.get(), &st) != 0 ||
         ((st.st_mode & 07777) != pub.mode && !give_mode(pub.file.get(), pub.mode))))
        return false;
    return no_signal() && close_file(pub);
}

} // namespace

bool publish_begin(publication &pub, int dir, const char *name, const struct stat &in) noexcept {
    try {
        catch_ending_signals();
        if (open_output(pub, dir, name, in)) return true;
    } catch (...) {
        errno = ENOMEM; // what the standard containers throw, short of memory
    }
    publish_abandon(pub);
    return false;
}

bool publish_commit(publication &pub) noexcept {
    hold_signals();
    bool ok = false;
    try {
        ok = pub.temp.empty() ? commit_in_place(pub) : commit_new(pub);
    } catch (...) {
        errno = ENOMEM;
    }
    if (!ok) {
        publish_abandon(pub); // a pending signal ends the process here
        return false;
    }
    // The run is complete: a signal that arrives now is held until the
    // process exits.
    disarm_take_back();
    pub.dir.reset();
    return true;
}

void publish_abandon(publication &pub) noexcept {
    int err = errno;
    take_back_now();
    pub.file.reset();
    pub.dir.reset();
    pub.temp.clear();
    errno = err;
}
