// Walking the equation file's name as the kernel does.
#include "resolve.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

namespace {

constexpr int max_links = 40; // links followed in all, as the kernel does

#if defined(O_PATH)
constexpr int dir_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int dir_flags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int dir_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// Whether `dir` is on the proc file system, whose links (fd/N, root, cwd,
// exe and the like) the kernel follows to what they stand for, which their
// text need not name.
bool on_procfs(int dir) {
#if defined(__linux__) && defined(PROC_SUPER_MAGIC)
    struct statfs fs;
    return fstatfs(dir, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
#else
    (void)dir;
    return false;
#endif
}

// Makes `next`, an open call's result, the walk's directory.
bool enter(place &p, int next) {
    unique_fd dir(next);
    if (!dir.valid()) return false;
    p.dir = std::move(dir);
    return true;
}

// The walk of resolve(), or of open_dir_walked() when `to_dir`: then the
// last component must be a directory, which is entered, and only `p.dir`
// counts.
bool walk(int start, const char *path, place &p, bool to_dir) {
    std::string rest = path;
    size_t at = 0;
    int links = 0;
    // A path from the root starts there, not from `start`.
    if (rest[0] != '/' &&
        !enter(p, start == AT_FDCWD ? open(".", dir_flags) : fcntl(start, F_DUPFD_CLOEXEC, 0)))
        return false;
    for (;;) {
        if (rest[at] == '/') {
            if (!enter(p, open("/", dir_flags))) return false;
            at = rest.find_first_not_of('/', at);
            if (at == std::string::npos) return to_dir || (errno = EISDIR, false);
        }
        size_t end = rest.find('/', at);
        size_t next = rest.find_first_not_of('/', end);
        bool last = next == std::string::npos, trailing = last && end != std::string::npos;
        p.name = rest.substr(at, end - at);
        if (p.name.empty()) return errno = ENOENT, false;
        p.exists = fstatat(p.dir.get(), p.name.c_str(), &p.st, AT_SYMLINK_NOFOLLOW) == 0;
        if (!p.exists) return last && !trailing && !to_dir && errno == ENOENT;
        if (S_ISLNK(p.st.st_mode)) {
            if (++links > max_links) return errno = ELOOP, false;
            if (!trusted(p.dir.get(), p.st)) return false;
            if (on_procfs(p.dir.get())) {
                // The kernel follows it: so does an open of it from here.
                if (last && !to_dir)
                    return trailing ? (errno = ENOTDIR, false) : (p.through = true);
                if (!enter(p, openat(p.dir.get(), p.name.c_str(), dir_flags))) return false;
                if (last) return true;
                at = next;
                continue;
            }
            char to[PATH_MAX];
            ssize_t n = readlinkat(p.dir.get(), p.name.c_str(), to, sizeof to);
            if (n < 0) return false;
            if (n == 0 || static_cast<size_t>(n) == sizeof to) return errno = ENOENT, false;
            // The rest of the walk goes on from the link's own directory.
            rest = std::string(to, static_cast<size_t>(n)) +
                   (end == std::string::npos ? "" : rest.substr(end));
            at = 0;
            continue;
        }
        if (last && !to_dir && !trailing && !S_ISDIR(p.st.st_mode)) return true;
        if (last && !to_dir) return errno = S_ISDIR(p.st.st_mode) ? EISDIR : ENOTDIR, false;
        if (!S_ISDIR(p.st.st_mode)) return errno = ENOTDIR, false;
        // Not followed if it became a link since it was looked at.
        if (!enter(p, openat(p.dir.get(), p.name.c_str(), dir_flags | O_NOFOLLOW))) return false;
        if (last) return true;
        at = next;
    }
}

} // namespace

bool guarded(const struct stat &st) {
    return S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode);
}

bool trusted(int dir, const struct stat &st) {
    struct stat d;
    if (fstat(dir, &d) != 0) return false;
    bool shared = (d.st_mode & S_ISVTX) != 0 && (d.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (!shared) return true;
    if (S_ISREG(st.st_mode) && st.st_nlink > 1) return errno = EMLINK, false;
    if (st.st_uid == geteuid() || st.st_uid == d.st_uid) return true;
    errno = EACCES;
    return false;
}

unique_fd open_walked(int dir, const char *path, int flags) noexcept {
    try {
        place p;
        if (!resolve(dir, path, p)) return unique_fd();
        if (!p.exists) return errno = ENOENT, unique_fd();
        return unique_fd(openat(p.dir.get(), p.name.c_str(), flags | (p.through ? 0 : O_NOFOLLOW)));
    } catch (...) {
        errno = ENOMEM; // what the standard containers throw, short of memory
        return unique_fd();
    }
}

unique_fd open_dir_walked(int dir, const char *path) noexcept {
    try {
        place p;
        return walk(dir, path, p, true) ? std::move(p.dir) : unique_fd();
    } catch (...) {
        errno = ENOMEM;
        return unique_fd();
    }
}

bool resolve(int dir, const char *path, place &p) {
    return walk(dir, path, p, false);
}
