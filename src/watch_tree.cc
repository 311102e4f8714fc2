// zelmor-batch -w's tree of watched directories, and its events.
#include "watch.h"

#include "metadata.h"
#include "progress.h"
#include "resolve.h"
#include "takeback.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/inotify.h>
#endif

namespace {

#ifdef __linux__
// What is asked of each directory: a file closed after writing, or moved
// in or out, and a directory made or removed in it; and of itself, its
// end.  Never a file's creation or a write alone.  (A directory removed
// sends no end of its own while its descriptor is held: its parent's
// event says it, and a DIR given is looked at at an interval.)
constexpr uint32_t events = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE |
                            IN_MOVE_SELF | IN_DELETE_SELF | IN_ONLYDIR;
#endif

std::string proc_value(const char *file) {
    std::string v(32, '\0');
    int fd = open(file, O_RDONLY | O_CLOEXEC);
    ssize_t n = fd < 0 ? -1 : read(fd, v.data(), v.size());
    if (fd >= 0) close(fd);
    v.resize(n > 0 ? static_cast<size_t>(n) : 0);
    while (!v.empty() && v.back() == '\n') v.pop_back();
    return v.empty() ? "unknown" : v;
}

// Watches node `n` by its descriptor.  Past the system's limit of watches,
// it is searched at an interval instead, which is said once.
void add_watch(tree &t, int32_t n) {
    watched &w = t.nodes[static_cast<size_t>(n)];
#ifdef __linux__
    std::string self = "/proc/self/fd/" + std::to_string(w.fd.get());
    w.wd = inotify_add_watch(t.inotify, self.c_str(), events);
#else
    w.wd = -1, errno = ENOSYS;
#endif
    if (w.wd >= 0) {
        // A directory moved here from a node not yet forgotten is this
        // one's: that node's events, and so its names, are no longer known.
        auto [owner, added] = t.by_wd.try_emplace(w.wd, n);
        if (!added && owner->second != n) unlist(t, t.nodes[static_cast<size_t>(owner->second)]);
        owner->second = n;
        return;
    }
    int err = errno;
    w.polled = err == ENOSPC;
    if (err != ENOSPC)
        return complain(quoted(path_of(t, n)) + ": cannot watch: " + std::strerror(err));
    if (t.limit_said) return;
    t.limit_said = true;
    complain(quoted(path_of(t, n)) + ": cannot watch: the limit of watches (fs.inotify." +
             "max_user_watches = " + proc_value("/proc/sys/fs/inotify/max_user_watches") +
             ") is reached; directories not watched are searched every 5 s");
}

int32_t new_node(tree &t, int32_t parent, const std::string &name, unique_fd fd,
                 const struct stat &st) {
    int32_t n;
    if (!t.free.empty()) n = t.free.back(), t.free.pop_back();
    else n = static_cast<int32_t>(t.nodes.size()), t.nodes.emplace_back();
    watched &w = t.nodes[static_cast<size_t>(n)];
    w.used = true, w.parent = parent, w.name = name, w.id = id_of(st), w.fd = std::move(fd);
    w.wd = -1, w.polled = false, w.children.clear();
    if (parent >= 0) t.nodes[static_cast<size_t>(parent)].children.push_back(n);
    return n;
}

// Opens the directory `name` in node `parent` not following a link, and
// checks that it is a directory; none if it is gone or is not one.  Past
// the limit of descriptors, `parent` is searched at an interval instead.
unique_fd open_sub(tree &t, int32_t parent, const std::string &name, struct stat &st) {
    watched &p = t.nodes[static_cast<size_t>(parent)];
#ifdef O_PATH
    constexpr int lookup = O_PATH;
#else
    constexpr int lookup = O_RDONLY;
#endif
    unique_fd fd(openat(p.fd.get(), name.c_str(), lookup | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.valid() && t.room > 0 && fd.get() >= t.room) fd = unique_fd(), errno = EMFILE;
    if (!fd.valid() && (errno == EMFILE || errno == ENFILE)) {
        if (!p.polled)
            complain(quoted(path_of(t, parent) + "/" + name) + ": cannot watch: " +
                     std::strerror(errno) + "; its directory is searched every 5 s");
        p.polled = true;
    }
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISDIR(st.st_mode)) return unique_fd();
    return fd;
}

// The names of the directories in node `n`, as the listing says (a name
// of an unknown type among them).  The names that hold ".tmp" are the
// node's list from then on, where it is watched: its events keep it.
std::vector<std::string> subdirectories(tree &t, int32_t n) {
    std::vector<std::string> names;
    watched &w = t.nodes[static_cast<size_t>(n)];
    unlist(t, w);
    // Elsewhere than on a plain local file system, another machine, or a
    // server, may make names that send no event.
    w.listed = w.wd >= 0 && plain_local_fs(w.fd.get());
    int fd = openat(w.fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = fd < 0 ? nullptr : fdopendir(fd);
    if (d == nullptr) {
        if (fd >= 0) close(fd);
        unlist(t, w);
        return names;
    }
    errno = 0;
    for (dirent *e; (e = readdir(d)) != nullptr; errno = 0) {
        std::string name = e->d_name;
        note_name(t, n, name, true);
        if (name != "." && name != ".." && (e->d_type == DT_DIR || e->d_type == DT_UNKNOWN))
            names.push_back(std::move(name));
    }
    if (errno != 0) unlist(t, w); // a listing cut short
    closedir(d);
    return names;
}

#ifdef __linux__
// Stops watching node `n` and every node below it.
void forget(tree &t, int32_t n) {
    if (int32_t parent = t.nodes[static_cast<size_t>(n)].parent; parent >= 0) {
        auto &siblings = t.nodes[static_cast<size_t>(parent)].children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), n), siblings.end());
    }
    std::vector<int32_t> left{n};
    while (!left.empty()) {
        int32_t m = left.back();
        left.pop_back();
        watched &w = t.nodes[static_cast<size_t>(m)];
        left.insert(left.end(), w.children.begin(), w.children.end());
        auto owner = t.by_wd.find(w.wd);
        if (w.wd >= 0 && owner != t.by_wd.end() && owner->second == m) {
            (void)inotify_rm_watch(t.inotify, w.wd);
            t.by_wd.erase(owner);
        }
        t.waiting.erase(t.waiting.lower_bound({m, ""}), t.waiting.lower_bound({m + 1, ""}));
        t.to_search.erase(m);
        unlist(t, w);
        w = watched{};
        t.free.push_back(m);
    }
}

// The child of node `n` named `name`, or -1.
int32_t child(const tree &t, int32_t n, const std::string &name) {
    for (int32_t c : t.nodes[static_cast<size_t>(n)].children)
        if (t.nodes[static_cast<size_t>(c)].name == name) return c;
    return -1;
}

// Whether child `c` of node `n` is still there under its name: not moved
// away, removed, or exchanged with another directory.
bool still_there(const tree &t, int32_t n, int32_t c) {
    const watched &w = t.nodes[static_cast<size_t>(c)];
    struct stat st;
    return fstatat(t.nodes[static_cast<size_t>(n)].fd.get(), w.name.c_str(), &st,
                   AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(st.st_mode) && id_of(st) == w.id;
}

// Events were lost: every directory of the tree is listed again, what is
// gone forgotten and what is new watched, and the whole tree searched, as
// -u searches it.  No watch is taken down for nothing: each would queue an
// event, and a tree larger than the queue would overflow it again.  A DIR
// given is never opened again by its path, which another user may have
// taken over since.
void resync(tree &t) {
    (void)forget_removed(t);
    for (size_t i = 0; i < t.nodes.size(); ++i) {
        auto n = static_cast<int32_t>(i);
        if (!t.nodes[i].used) continue;
        std::vector<int32_t> children = t.nodes[i].children;
        for (int32_t c : children)
            if (!still_there(t, n, c)) forget(t, c);
        for (const std::string &name : subdirectories(t, n))
            if (child(t, n, name) < 0) (void)watch_below(t, n, name);
    }
    for (size_t n = 0; n < t.nodes.size(); ++n)
        if (t.nodes[n].used && t.nodes[n].parent < 0) t.to_search.insert(static_cast<int32_t>(n));
}

// Does what the event `e` on node `n` asks.
// A directory renamed away is forgotten on the event in its parent; a DIR
// given, on its own.
void take(tree &t, int32_t n, uint32_t mask, std::string name) {
    bool dir = (mask & IN_ISDIR) != 0, root = t.nodes[static_cast<size_t>(n)].parent < 0;
    if ((mask & IN_IGNORED) != 0 || ((mask & IN_MOVE_SELF) != 0 && root)) {
        if (root) complain(quoted(path_of(t, n)) + ": gone; no longer watched");
        return forget(t, n);
    }
    if ((mask & (IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE)) != 0)
        note_name(t, n, name, (mask & (IN_CREATE | IN_MOVED_TO)) != 0);
    if (dir && (mask & (IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE)) != 0) {
        int32_t old = child(t, n, name);
        if ((mask & (IN_MOVED_FROM | IN_DELETE)) != 0) {
            // Two directories exchanged send this for a name that holds
            // the other one already, as a node.
            if (old >= 0 && !still_there(t, n, old)) forget(t, old);
            return;
        }
        if (old >= 0) forget(t, old);
        // Watched first, then searched: what was written into it before
        // its watch took hold is found by the search.
        if (int32_t sub = watch_below(t, n, name); sub >= 0) t.to_search.insert(sub);
    } else if (!dir && (mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) != 0 && named_tmp(name)) {
        t.waiting.emplace(n, std::move(name));
    }
}
#endif

} // namespace

std::string path_of(const tree &t, int32_t n, std::vector<int32_t> *chain,
                    std::vector<size_t> *starts) {
    std::vector<int32_t> up;
    for (int32_t m = n; m >= 0; m = t.nodes[static_cast<size_t>(m)].parent) up.push_back(m);
    std::string path;
    for (auto m = up.rbegin(); m != up.rend(); ++m) {
        if (!path.empty() && path.back() != '/') path += '/';
        if (starts != nullptr) starts->push_back(path.size());
        path += t.nodes[static_cast<size_t>(*m)].name;
    }
    if (chain != nullptr) chain->assign(up.rbegin(), up.rend());
    return path;
}

int32_t watch_below(tree &t, int32_t parent, const std::string &name) {
    struct stat st;
    unique_fd fd =
        parent >= 0 ? open_sub(t, parent, name, st) : open_dir_walked(AT_FDCWD, name.c_str());
    if (!fd.valid() || (parent < 0 && fstat(fd.get(), &st) != 0)) return -1;
    int32_t top = new_node(t, parent, name, std::move(fd), st);
    std::vector<int32_t> left{top};
    while (!left.empty() && forwarded_signal() == 0) {
        int32_t n = left.back();
        left.pop_back();
        add_watch(t, n);
        for (const std::string &sub : subdirectories(t, n)) {
            unique_fd below = open_sub(t, n, sub, st);
            if (below.valid()) left.push_back(new_node(t, n, sub, std::move(below), st));
        }
    }
    return top;
}

bool take_events(tree &t) {
#ifdef __linux__
    alignas(inotify_event) char buf[65536];
    for (;;) {
        ssize_t got = read(t.inotify, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN) return true;
        if (got <= 0)
            return complain(std::string("inotify: ") + std::strerror(got < 0 ? errno : EIO)), false;
        for (char *at = buf; at < buf + got;) {
            inotify_event e;
            std::memcpy(&e, at, sizeof e);
            const char *name = at + sizeof e;
            at += sizeof e + e.len;
            if ((e.mask & IN_Q_OVERFLOW) != 0) {
                resync(t);
                continue;
            }
            auto n = t.by_wd.find(e.wd);
            if (n == t.by_wd.end()) continue; // a watch already forgotten
            // A file's name without ".tmp", as those of the conversions'
            // own files, asks for nothing.
            std::string_view named(name, strnlen(name, e.len));
            if ((e.mask & (IN_ISDIR | IN_IGNORED | IN_MOVE_SELF)) == 0 &&
                named.find(".tmp") == std::string_view::npos)
                continue;
            take(t, n->second, e.mask, std::string(named));
        }
    }
#else
    (void)t;
    return true;
#endif
}

void forget_covered(tree &t) {
#ifdef __linux__
    bool any = false;
    for (size_t r = 0; r < t.nodes.size(); ++r) {
        if (!t.nodes[r].used || t.nodes[r].parent >= 0) continue;
        for (const watched &w : t.nodes)
            if (w.used && w.parent >= 0 && w.id == t.nodes[r].id) {
                forget(t, static_cast<int32_t>(r)), any = true;
                break;
            }
    }
    if (!any) return;
    // The two shared their watches, which may have gone with it: each is
    // asked again, and is the node's that is left.
    t.by_wd.clear();
    for (size_t n = 0; n < t.nodes.size(); ++n)
        if (t.nodes[n].used && t.nodes[n].wd >= 0) add_watch(t, static_cast<int32_t>(n));
#else
    (void)t;
#endif
}

bool forget_removed(tree &t) {
    bool left = false;
#ifdef __linux__
    for (size_t i = 0; i < t.nodes.size(); ++i) {
        const watched &w = t.nodes[i];
        bool root = w.parent < 0;
        struct stat st;
        // A directory watched in a watched directory is forgotten on the
        // event there.
        bool told = !root && w.wd >= 0 && t.nodes[static_cast<size_t>(w.parent)].wd >= 0;
        if (!w.used || told || fstat(w.fd.get(), &st) != 0 || st.st_nlink > 0) {
            left = left || (w.used && root);
            continue;
        }
        if (root)
            complain(quoted(path_of(t, static_cast<int32_t>(i))) + ": gone; no longer watched");
        forget(t, static_cast<int32_t>(i));
    }
#else
    left = !t.dirs.empty();
#endif
    return left;
}
