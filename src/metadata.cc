// What a new equation file carries over from the file it replaces.
#include "metadata.h"

#include "fd.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#endif

namespace {

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

// The capabilities that decide what a change of mode keeps: to change any
// file's mode, and to keep or set set-ID bits on any file.  Decided by the
// effective set, as the kernel decides, not by the user ID: root may run
// without them.
constexpr int cap_fowner = 3;
constexpr int cap_fsetid = 4;

bool capable(int cap) {
#if defined(__linux__) && defined(SYS_capget)
    struct {
        uint32_t version;
        int pid;
    } header{0x20080522, 0}; // version 3: two words of each set
    struct {
        uint32_t effective, permitted, inheritable;
    } sets[2] = {};
    if (syscall(SYS_capget, &header, sets) != 0) return geteuid() == 0;
    return (sets[cap / 32].effective >> (cap % 32) & 1) != 0;
#else
    (void)cap;
    return geteuid() == 0;
#endif
}

// Whether `id` is mapped into this process's user namespace by the map
// file `path` (lines of an ID inside, one outside and a count).  Outside
// the first namespace, the overflow ID that an unmapped ID shows as is
// taken for one: a file whose IDs cannot be told is not the process's to
// act on as if it were.  False, too, when the map cannot be read.
bool mapped(const char *path, unsigned id) {
#ifdef __linux__
    constexpr unsigned overflow_id = 65534; // the kernel's overflowuid and overflowgid
    // Lines of three numbers, 33 bytes each as the kernel writes them, and
    // at most 340 lines: read to the end, which one read may not reach.
    unique_fd map(open(path, O_RDONLY | O_CLOEXEC));
    char text[340 * 33 + 1];
    size_t n = 0;
    for (ssize_t got = 1; map.valid() && got > 0 && n < sizeof text - 1;) {
        got = read(map.get(), text + n, sizeof text - 1 - n);
        if (got < 0) return false;
        n += static_cast<size_t>(got);
    }
    if (n == 0) return false;
    text[n] = '\0';
    bool found = false, identity = false;
    for (char *at = text, *end = nullptr;; at = end) {
        unsigned long v[3];
        int got = 0;
        for (; got < 3; ++got, at = end) {
            v[got] = std::strtoul(at, &end, 10);
            if (end == at) break;
        }
        if (got < 3) break;
        identity = identity || (v[0] == 0 && v[1] == 0 && v[2] == 4294967295ul);
        found = found || (id >= v[0] && id - v[0] < v[2]);
    }
    return identity || (found && id != overflow_id);
#else
    (void)path, (void)id;
    return true;
#endif
}

bool capable_over(const struct stat &st) {
    return mapped("/proc/self/uid_map", st.st_uid) && mapped("/proc/self/gid_map", st.st_gid);
}

using xattr_list = std::vector<std::pair<std::string, std::string>>;

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

#ifdef O_PATH
// The flags of a file that cannot be opened, as far as statx reports them:
// its attributes of those names have the flags' values.
bool get_flags_unopened(int file, unsigned &flags) {
    flags = 0;
#if defined(__linux__) && defined(STATX_ATTR_APPEND) && defined(FS_IOC_GETFLAGS)
    struct statx sx;
    if (statx(file, "", AT_EMPTY_PATH, 0, &sx) != 0) return false;
    constexpr unsigned shown =
        STATX_ATTR_COMPRESSED | STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND | STATX_ATTR_NODUMP;
    static_assert(shown == (FS_COMPR_FL | FS_IMMUTABLE_FL | FS_APPEND_FL | FS_NODUMP_FL));
    flags = static_cast<unsigned>(sx.stx_attributes & sx.stx_attributes_mask) & shown;
#else
    (void)file;
#endif
    return true;
}
#endif

// The extended attributes that `list` names and `get` reads, sorted by name.
// Each takes a buffer and its size, and answers as listxattr and getxattr do.
template <typename List, typename Get>
bool read_xattrs(xattr_list &xattrs, List list, Get get) {
    xattrs.clear();
    for (;;) {
        ssize_t n = list(nullptr, 0);
        if (n <= 0) return n == 0 || unsupported(errno);
        std::string names(static_cast<size_t>(n), '\0');
        n = list(names.data(), names.size());
        if (n < 0 && errno == ERANGE) continue; // grew meanwhile
        if (n < 0) return false;
        names.resize(static_cast<size_t>(n));
        for (size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
            std::string name = names.c_str() + at, value;
            ssize_t v;
            do {
                v = get(name.c_str(), nullptr, 0);
                if (v < 0) return false;
                value.assign(static_cast<size_t>(v), '\0');
                v = get(name.c_str(), value.data(), value.size());
            } while (v < 0 && errno == ERANGE);
            if (v < 0) return false;
            value.resize(static_cast<size_t>(v));
            xattrs.emplace_back(std::move(name), std::move(value));
        }
        std::sort(xattrs.begin(), xattrs.end());
        return true;
    }
}

bool get_xattrs(int fd, xattr_list &xattrs) {
#ifdef __linux__
    return read_xattrs(
        xattrs, [fd](char *buf, size_t size) { return flistxattr(fd, buf, size); },
        [fd](const char *name, void *buf, size_t size) { return fgetxattr(fd, name, buf, size); });
#else
    (void)fd;
    xattrs.clear();
    return true;
#endif
}

#ifdef O_PATH
// The same through a path-only descriptor, which the calls on descriptors
// refuse: by the descriptor's own name under /proc.
bool get_xattrs_unopened(int file, xattr_list &xattrs) {
#ifdef __linux__
    char path[32];
    (void)std::snprintf(path, sizeof path, "/proc/self/fd/%d", file); // an int fits
    return read_xattrs(
        xattrs, [&path](char *buf, size_t size) { return listxattr(path, buf, size); },
        [&path](const char *name, void *buf, size_t size) {
            return getxattr(path, name, buf, size);
        });
#else
    (void)file;
    xattrs.clear();
    return true;
#endif
}
#endif

// Gives the file `fd` exactly the extended attributes `want`.
bool set_xattrs(int fd, const xattr_list &want) {
#ifdef __linux__
    xattr_list has;
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

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Hands the descriptor `file` on to `keep`, if there is one, or closes it:
// true, or false with errno set if the close fails.
bool kept(unique_fd *keep, unique_fd &file) {
    if (keep != nullptr) return *keep = std::move(file), true;
    return file.close() == 0;
}

} // namespace

bool unsupported(int err) {
    return err == ENOTSUP || err == EOPNOTSUPP || err == ENOTTY || err == EINVAL || err == ENOSYS;
}

bool read_metadata(int dir, const char *name, metadata &m, unique_fd *keep) {
    constexpr int flags = O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
#ifdef O_PATH
    // A path-only descriptor first: it opens any file without effects on
    // it (a FIFO's reader is not woken, a device is not opened).
    unique_fd file(openat(dir, name, O_PATH | flags));
    if (!file.valid() || fstat(file.get(), &m.st) != 0) return false;
    if (!S_ISREG(m.st.st_mode)) return kept(keep, file);
    unique_fd readable(openat(dir, name, O_RDONLY | flags));
    if (!readable.valid() && errno == EACCES)
        return get_flags_unopened(file.get(), m.flags) &&
               get_xattrs_unopened(file.get(), m.xattrs) && kept(keep, file);
#else
    if (fstatat(dir, name, &m.st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (!S_ISREG(m.st.st_mode)) return true; // nothing kept: not looked at again
    unique_fd readable(openat(dir, name, O_RDONLY | flags));
#endif
    struct stat st;
    if (!readable.valid() || fstat(readable.get(), &st) != 0) return false;
    if (!same_file(st, m.st)) return errno = EAGAIN, false; // replaced meanwhile
    if (!get_flags(readable.get(), m.st, m.flags) || !get_xattrs(readable.get(), m.xattrs))
        return false;
#ifdef O_PATH
    return readable.close() == 0 && kept(keep, file);
#else
    return kept(keep, readable);
#endif
}

bool give_mode(int fd, mode_t mode) {
    struct stat st;
    if (fchmod(fd, mode & 07777) != 0 || fstat(fd, &st) != 0) return false;
    return (st.st_mode & 07777) == (mode & 07777) || (errno = EPERM, false);
}

bool may_give_set_id(const struct stat &st) {
    // Writing clears the set-group-ID bit with or without group execute,
    // as kernels since 6.2 do, for one outside the file's group.
    bool set_uid = (st.st_mode & S_ISUID) != 0, set_gid = (st.st_mode & S_ISGID) != 0;
    if (!set_uid && !set_gid) return true;
    // Its owner may change its mode, and so may one who may change any
    // file's; the kernel then quietly drops the set-group-ID bit from one
    // outside the file's group, but for one who may set it on any file.
    // A capability counts over a file only where its owner and group are
    // mapped into the process's user namespace.
    bool over_it = capable_over(st);
    if (st.st_uid != geteuid() && !(over_it && capable(cap_fowner))) return false;
    if (!set_gid || st.st_gid == getegid() || (over_it && capable(cap_fsetid))) return true;
    std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
    int n = getgroups(static_cast<int>(groups.size()), groups.data());
    return n > 0 && std::find(groups.begin(), groups.begin() + n, st.st_gid) != groups.begin() + n;
}

bool give_metadata(int fd, const metadata &old) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    // Ownership first, since changing it clears the set-ID bits and file
    // capabilities; the mode after an ACL, since the ACL's mask is the
    // group's bits.
    if ((st.st_uid != old.st.st_uid || st.st_gid != old.st.st_gid) &&
        fchown(fd, old.st.st_uid, old.st.st_gid) != 0)
        return false;
    if (!set_flags(fd, old.flags) || !set_xattrs(fd, old.xattrs) || !give_mode(fd, old.st.st_mode))
        return false;
    metadata now;
    if (fstat(fd, &now.st) != 0 || !get_flags(fd, now.st, now.flags) || !get_xattrs(fd, now.xattrs))
        return false;
    bool same = now.st.st_uid == old.st.st_uid && now.st.st_gid == old.st.st_gid &&
                (now.st.st_mode & 07777) == (old.st.st_mode & 07777) && now.flags == old.flags &&
                now.xattrs == old.xattrs;
    return same || (errno = EPERM, false);
}

bool frozen(const metadata &m) {
    return (m.flags & frozen_flags) != 0;
}

bool frozen_dir(int dir, bool &frozen) {
    frozen = false;
#if defined(STATX_ATTR_APPEND) && defined(STATX_ATTR_IMMUTABLE)
    struct statx sx;
    if (statx(dir, "", AT_EMPTY_PATH, 0, &sx) != 0) return unsupported(errno);
    frozen = (sx.stx_attributes & sx.stx_attributes_mask &
              (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0;
#elif defined(UF_APPEND)
    struct stat st;
    if (fstat(dir, &st) != 0) return false;
    frozen = (st.st_flags & frozen_flags) != 0;
#else
    (void)dir;
#endif
    return true;
}

bool plain_local_fs(int fd) {
#ifdef __linux__
    struct statfs fs;
    if (fstatfs(fd, &fs) != 0) return false;
    switch (static_cast<uint32_t>(fs.f_type)) {
    case 0xEF53u:     // ext2, ext3, ext4
    case 0x01021994u: // tmpfs
    case 0x58465342u: // xfs
    case 0x9123683Eu: // btrfs
    case 0xF2F52010u: // f2fs
        return true;
    default:
        return false;
    }
#else
    (void)fd;
    return false;
#endif
}
