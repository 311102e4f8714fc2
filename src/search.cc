// zelmor-batch's search, and a worker's way back to what it found.
#include "search.h"

#include "progress.h"
#include "resolve.h"
#include "takeback.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

#ifdef O_PATH
constexpr int lookup_flags = O_PATH;
#else
constexpr int lookup_flags = O_RDONLY;
#endif

// Opens the directory `name` in `dir` for lookups, not following a link,
// and checks that it is `id`: ESTALE if it is not, or if it has become a
// link or something else, or gone.
unique_fd open_below(int dir, const char *name, const file_id &id) {
    unique_fd sub(openat(dir, name, lookup_flags | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!sub.valid() && (errno == ELOOP || errno == ENOTDIR || errno == ENOENT)) errno = ESTALE;
    struct stat st;
    if (!sub.valid() || fstat(sub.get(), &st) != 0) return unique_fd();
    if (!(id_of(st) == id)) return errno = ESTALE, unique_fd();
    return sub;
}

// The directory `path`, reached as zelmor reaches a name it is given, and
// checked to be `id` when one is given.
unique_fd open_top(const std::string &path, const file_id *id, struct stat &st) {
    unique_fd top = open_dir_walked(AT_FDCWD, path.c_str());
    if (!top.valid() || fstat(top.get(), &st) != 0) return unique_fd();
    if (id != nullptr && !(id_of(st) == *id)) return errno = ESTALE, unique_fd();
    return top;
}

// The search's way down: the directories open from the PATH to the one
// being listed, their nodes, where each one's name starts in `path`, and
// `path`, the listed directory's path with a slash.
struct trail {
    std::vector<unique_fd> fds;
    std::vector<int32_t> nodes;
    std::vector<size_t> starts;
    std::string path;
    size_t found = 0; // files planned
};

// Plans the file `t.path`, found in the directory of the trail's end; its
// name starts at `at`.  Its equation file's directory is the one that
// holds the name the rule cuts: the file's own, one on the way, or, if the
// rule cuts the PATH, one that the path leads to from the working
// directory.
void found(plan &pl, trail &t, size_t at, const struct stat &st) {
    ++t.found;
    job j;
    j.seen.id = id_of(st);
    j.size = static_cast<uint64_t>(st.st_size);
    j.dir = t.nodes.back();
    j.name_at = static_cast<uint32_t>(at);
    std::string output;
    make_filename(t.path.c_str(), output);
    size_t cut = name_cut(t.path.c_str());
    size_t level = t.starts.size();
    while (level > 0 && t.starts[level - 1] > cut) --level; // the level whose name holds the cut
    int out_dir = AT_FDCWD;
    if (cut >= at) {
        out_dir = t.fds.back().get(), j.out_dir = t.nodes.back();
        j.out_at = static_cast<uint32_t>(at);
    } else if (level > 1) {
        out_dir = t.fds[level - 2].get(), j.out_dir = t.nodes[level - 2];
        j.out_at = static_cast<uint32_t>(t.starts[level - 1]);
    }
    plan_found(pl, j, t.path, st, out_dir, output.c_str() + j.out_at);
}

using entry = std::pair<std::string, struct stat>;

// The directories and the *.tmp files in the directory at the trail's end,
// each looked at rather than taken from the listing, last name first.
std::vector<entry> listing(plan &pl, const trail &t) {
    std::vector<entry> entries;
    int dir = t.fds.back().get();
    std::string here = t.path.substr(0, t.path.size() - 1);
    int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = fd < 0 ? nullptr : fdopendir(fd);
    if (d == nullptr) {
        int err = errno;
        if (fd >= 0) close(fd);
        refuse(pl, here, std::strerror(err));
        return entries;
    }
    errno = 0;
    for (dirent *e; forwarded_signal() == 0 && (e = readdir(d)) != nullptr; errno = 0) {
        std::string name = e->d_name;
        struct stat st;
        if (name == "." || name == "..") continue;
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            // Gone since the listing, as in a busy spool: nothing to plan.
            if (errno != ENOENT) refuse(pl, t.path + name, std::strerror(errno));
        } else if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && named_tmp(name)))
            entries.emplace_back(std::move(name), st);
    }
    if (errno != 0) refuse(pl, here, std::strerror(errno));
    closedir(d);
    std::sort(entries.begin(), entries.end(),
              [](const entry &a, const entry &b) { return a.first > b.first; });
    return entries;
}

// Searches the directory at the trail's end and every directory below it,
// in the order of the names: a loop holding each level's entries still to
// see, not a recursion, so that depth is bound by descriptors, not by the
// stack.
void search_down(plan &pl, trail &t) {
    std::vector<std::vector<entry>> left;
    left.push_back(listing(pl, t));
    while (!left.empty() && forwarded_signal() == 0) {
        if (left.back().empty()) { // this directory is done: back up
            left.pop_back();
            t.path.resize(t.starts.back());
            t.fds.pop_back();
            t.nodes.pop_back();
            t.starts.pop_back();
            continue;
        }
        entry e = std::move(left.back().back());
        left.back().pop_back();
        const std::string &name = e.first;
        size_t at = t.path.size();
        t.path += name;
        if (!S_ISDIR(e.second.st_mode)) {
            found(pl, t, at, e.second);
            t.path.resize(at);
            continue;
        }
        unique_fd sub = open_below(t.fds.back().get(), name.c_str(), id_of(e.second));
        int err = errno;
        struct stat now;
        if (!sub.valid() && err == ESTALE &&
            fstatat(t.fds.back().get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 &&
            errno == ENOENT) {
            t.path.resize(at); // gone since the listing: nothing to plan
            continue;
        }
        errno = err;
        if (!sub.valid()) {
            refuse(pl, t.path,
                   errno == ESTALE ? "changed during the search" : std::strerror(errno));
            t.path.resize(at);
            continue;
        }
        pl.dirs.push_back({t.nodes.back(), name, id_of(e.second)});
        t.fds.push_back(std::move(sub));
        t.nodes.push_back(static_cast<int32_t>(pl.dirs.size() - 1));
        t.starts.push_back(at);
        t.path += '/';
        left.push_back(listing(pl, t));
    }
}

} // namespace

void search(plan &pl, const std::string &path) {
    trail t;
    struct stat st;
    unique_fd top = open_top(path, nullptr, st);
    if (!top.valid()) return refuse(pl, path, std::strerror(errno));
    pl.dirs.push_back({-1, path, id_of(st)});
    t.fds.push_back(std::move(top));
    t.nodes.push_back(static_cast<int32_t>(pl.dirs.size() - 1));
    t.starts.push_back(0);
    t.path = path.back() == '/' ? path : path + "/";
    // "No *.tmp files" only of a PATH searched everywhere, without a problem.
    const bool refused_before = pl.refused;
    pl.refused = false;
    search_down(pl, t);
    if (t.found == 0 && pl.say_empty && !pl.refused && forwarded_signal() == 0)
        complain(quoted(path) + ": no *.tmp files");
    pl.refused = pl.refused || refused_before;
}

int descend(descent &d, const std::vector<level> &levels) {
    size_t kept = 0;
    while (kept < levels.size() && kept < d.fds.size() && d.names[kept] == levels[kept].name &&
           d.ids[kept] == levels[kept].id)
        ++kept;
    d.names.resize(kept);
    d.ids.resize(kept);
    d.fds.resize(kept);
    for (size_t i = kept; i < levels.size(); ++i) {
        std::string name(levels[i].name);
        struct stat st;
        unique_fd fd = i == 0 ? open_top(name, &levels[i].id, st)
                              : open_below(d.fds.back().get(), name.c_str(), levels[i].id);
        if (!fd.valid()) return -1;
        d.names.push_back(std::move(name));
        d.ids.push_back(levels[i].id);
        d.fds.push_back(std::move(fd));
    }
    return d.fds.empty() ? (errno = EINVAL, -1) : d.fds.back().get();
}

namespace {

// A trail down to the last of `way`, of copies of its descriptors.
bool held_trail(const std::vector<held_dir> &way, const std::string &path, trail &t) {
    for (const held_dir &h : way) {
        t.fds.emplace_back(fcntl(h.fd, F_DUPFD_CLOEXEC, 0));
        if (!t.fds.back().valid()) return false;
        t.nodes.push_back(h.node);
        t.starts.push_back(h.start);
    }
    t.path = path.back() == '/' ? path : path + '/';
    return !way.empty();
}

} // namespace

void search_held(plan &pl, const std::vector<held_dir> &way, const std::string &path) {
    trail t;
    if (!held_trail(way, path, t)) return refuse(pl, path, std::strerror(errno));
    search_down(pl, t);
}

void plan_held(plan &pl, const std::vector<held_dir> &way, const std::string &path,
               const std::vector<std::pair<std::string, struct stat>> &files) {
    trail t;
    if (!held_trail(way, path, t)) return refuse(pl, path, std::strerror(errno));
    size_t at = t.path.size();
    for (const auto &[name, st] : files) {
        t.path.resize(at);
        t.path += name;
        found(pl, t, at, st);
    }
}

bool named_tmp(const std::string &name) {
    return name.size() >= 4 && name.compare(name.size() - 4, 4, ".tmp") == 0;
}
