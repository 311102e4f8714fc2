// zelmor-batch -w: the start as -u, then rounds of conversions, each
// planned from what the events asked for since the last.
#include "watch.h"

#include "crew.h"
#include "progress.h"
#include "search.h"
#include "takeback.h"
#include "zelmor.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <map>
#include <memory>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/inotify.h>
#endif

namespace {

constexpr long poll_interval_ms = 5000; // for directories that could not be watched
constexpr long tick_ms = 5;             // events taken while files convert, at most so often
constexpr size_t slice_files = 8;       // the next round planned so many at a time meanwhile
constexpr size_t first_files = 64;      // a round with none planned meanwhile starts with so many

long now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// On a terminal: what was converted, what failed, and what is watched.
void draw_watch(progress &p, const tree &t, bool force) {
    long now = now_ms();
    if (!p.shown || (!force && p.drawn != 0 && now - p.drawn < 250)) return;
    p.drawn = now;
    char line[160];
    size_t watching = t.by_wd.size();
    (void)std::snprintf(line, sizeof line, "watching %zu director%s: %zu converted, %zu failed%s",
                        watching, watching == 1 ? "y" : "ies", p.converted, p.failed,
                        t.waiting.empty() ? "" : ", more to do");
    winsize w{};
    size_t columns = ioctl(STDERR_FILENO, TIOCGWINSZ, &w) == 0 && w.ws_col > 0 ? w.ws_col : 80;
    std::string shown = "\r";
    shown.append(line, std::min(std::strlen(line), columns - 1));
    shown += "\033[K";
    (void)put(STDERR_FILENO, shown);
}

// One round's plan: its nodes for the tree's, added from the DIR down as
// they are needed.
struct watch_round {
    tree &t;
    plan pl;
    std::set<std::pair<int32_t, std::string>> planned; // the files events named, planned
    std::pair<int32_t, std::string> from;              // where the next slice looks in t.waiting
    std::map<int32_t, int32_t> in_plan;
    std::map<int32_t, std::set<std::string>> rivals; // names cut so, to be checked in each node
    std::vector<int32_t> chain;
    std::vector<size_t> starts;
    std::vector<held_dir> way;
    std::string path;
    std::vector<std::pair<std::string, struct stat>> files;
};

// The way from the DIR down to node `n`, into r.way and r.path.  A node
// forgotten since a slice of the round was planned, and its slot taken by
// another directory, is a directory of its own in the plan.
void way_to(watch_round &r, int32_t n) {
    r.chain.clear(), r.starts.clear(), r.way.clear();
    r.path = path_of(r.t, n, &r.chain, &r.starts);
    for (size_t i = 0; i < r.chain.size(); ++i) {
        const watched &w = r.t.nodes[static_cast<size_t>(r.chain[i])];
        int32_t parent = i == 0 ? -1 : r.way.back().node;
        auto at = r.in_plan.find(r.chain[i]);
        if (at == r.in_plan.end() || !(r.pl.dirs[static_cast<size_t>(at->second)].id == w.id) ||
            r.pl.dirs[static_cast<size_t>(at->second)].name != w.name ||
            r.pl.dirs[static_cast<size_t>(at->second)].parent != parent) {
            at = r.in_plan.insert_or_assign(r.chain[i], static_cast<int32_t>(r.pl.dirs.size()))
                     .first;
            r.pl.dirs.push_back({parent, w.name, w.id});
        }
        r.way.push_back({w.fd.get(), at->second, r.starts[i]});
    }
}

// Plans the files that events named in node `n`, converted however old
// their equation files are: the events say they were written.  What else
// could write their equation files is to be looked for: the names in the
// directory that holds each cut at the same place, and what is below a
// directory whose name holds the cut.
void plan_waiting(watch_round &r, int32_t n, const std::vector<std::string> &names) {
    r.files.clear();
    for (const std::string &name : names) {
        struct stat st; // gone, or not a regular file (a link is never followed): passed over
        if (fstatat(r.t.nodes[static_cast<size_t>(n)].fd.get(), name.c_str(), &st,
                    AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode))
            r.files.emplace_back(name, st);
    }
    way_to(r, n);
    plan_held(r.pl, r.way, r.path, r.files);
    for (const auto &[name, st] : r.files) {
        std::string input = r.path + (r.path.back() == '/' ? "" : "/") + name;
        size_t cut = name_cut(input.c_str()), at = input.size() - name.size();
        if (cut >= at) {
            if (may_have_rival(r.t.nodes[static_cast<size_t>(n)], name, cut - at))
                r.rivals[n].insert(name.substr(0, cut - at));
            continue;
        }
        size_t k = r.starts.size() - 1;
        while (k > 0 && r.starts[k] > cut) --k;
        r.t.to_search.insert(r.chain[k]);
        const watched &holder = r.t.nodes[static_cast<size_t>(r.chain[k])];
        if (k > 0) r.rivals[r.chain[k - 1]].insert(holder.name.substr(0, cut - r.starts[k]));
    }
}

// Plans, as -u does, the files and the directories in node `n` whose names
// cut as one of `cuts`.
void plan_rivals(watch_round &r, int32_t n, const std::set<std::string> &cuts) {
    int dir = r.t.nodes[static_cast<size_t>(n)].fd.get();
    int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = fd < 0 ? nullptr : fdopendir(fd);
    if (d == nullptr) {
        if (fd >= 0) close(fd);
        return;
    }
    r.files.clear();
    for (dirent *e; (e = readdir(d)) != nullptr;) {
        std::string name = e->d_name;
        size_t cut = name.find(".tmp");
        struct stat st;
        if (cut == std::string::npos || cuts.count(name.substr(0, cut)) == 0 ||
            r.planned.count({n, name}) != 0 || // planned already
            fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            for (int32_t c : r.t.nodes[static_cast<size_t>(n)].children)
                if (r.t.nodes[static_cast<size_t>(c)].name == name) r.t.to_search.insert(c);
        } else if (S_ISREG(st.st_mode) && named_tmp(name)) {
            r.files.emplace_back(std::move(name), st);
        }
    }
    closedir(d);
    way_to(r, n);
    plan_held(r.pl, r.way, r.path, r.files);
}

// Plans up to `most` of the files waiting, in one directory, into `r`,
// from where the last slice ended.  Those that `busy`, the round being
// converted, holds, and those planned already, are passed over: they wait
// for the round after.  Returns how many it planned.
size_t plan_slice(watch_round &r, const watch_round *busy, size_t most) {
    std::vector<std::string> names;
    int32_t node = -1;
    for (auto at = r.t.waiting.lower_bound(r.from); at != r.t.waiting.end();) {
        if (names.size() == most || (!names.empty() && at->first != node)) break;
        r.from = *at;
        if (r.planned.count(*at) != 0 || (busy != nullptr && busy->planned.count(*at) != 0)) {
            ++at;
            continue;
        }
        node = at->first;
        names.push_back(at->second);
        r.planned.insert(*at);
        at = r.t.waiting.erase(at);
    }
    if (!names.empty()) plan_waiting(r, node, names);
    return names.size();
}

// Makes a round of what was planned of it while the last converted, or,
// if nothing was, of the first few files waiting: the workers start on
// those while the rest is planned a slice at a time for the round after,
// rather than wait for the whole of a burst to be planned.  Collisions are
// named and left out; the rest stands.
void plan_round(watch_round &r) {
    r.from = {INT32_MIN, {}};
    for (size_t left = r.planned.empty() ? first_files : 0; left > 0;) {
        size_t planned = plan_slice(r, nullptr, left);
        if (planned == 0) break;
        left -= planned;
    }
    r.pl.update = true;
    for (const auto &[n, cuts] : r.rivals) plan_rivals(r, n, cuts);
    for (int32_t n : r.t.to_search) {
        way_to(r, n);
        search_held(r.pl, r.way, r.path);
    }
    r.t.to_search.clear();
    (void)plan_checked(r.pl); // each problem said; what is not refused is converted
}

std::unique_ptr<watch_round> new_round(tree &t) {
    auto r = std::unique_ptr<watch_round>(
        new watch_round{t, {}, {}, {INT32_MIN, {}}, {}, {}, {}, {}, {}, {}, {}});
    r->pl.leave_out = true;
    return r;
}

bool has_work(const tree &t, const watch_round *next) {
    return !t.waiting.empty() || !t.to_search.empty() ||
           (next != nullptr && !next->planned.empty());
}

} // namespace

int watch_all(const std::vector<std::string> &dirs, unsigned jobs) {
    tree t;
#ifdef __linux__
    unique_fd inotify(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify.valid() && errno == ENOSYS) {
#else
    unique_fd inotify;
    errno = ENOSYS;
    {
#endif
        complain("-w: this system has no inotify, so directories cannot be watched");
        return 2;
    }
    if (!inotify.valid()) return complain(std::string("inotify: ") + std::strerror(errno)), 1;
    t.inotify = inotify.get();
    t.dirs = dirs;
    // Room is kept below the limit of descriptors for the plan and the
    // conversions' lookups: past it, directories are searched at an
    // interval rather than held.
    if (rlimit lim{}; getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
        t.room = static_cast<int>(std::min<rlim_t>(lim.rlim_cur, INT32_MAX)) -
                 static_cast<int>(std::min<rlim_t>(64, lim.rlim_cur / 4));
    crew c;
    if (!start_workers(jobs, c)) return 1;
    // Watched before they are searched, so that nothing written meanwhile
    // is missed; searched as -u searches them.
    for (const std::string &dir : dirs) (void)watch_below(t, -1, dir);
    forget_covered(t);
    plan pl;
    pl.update = true, pl.say_empty = false; // a spool is empty as often as not
    for (const std::string &dir : dirs) search(pl, dir);
    bool ok = plan_checked(pl);
    if (!ok || forwarded_signal() != 0) stop_workers(c, pl.jobs.size());
    if (!ok) return 2;
    progress p;
    progress_start(p, 0);
    bool events_ok = true;
    // While files convert, their own writes bring events too: taken many
    // at a time, rather than a read for each report, so that the parent
    // leaves the cores to the workers.
    // And while a round converts, the next is planned a slice at a time,
    // so that the workers do not wait for it.
    long ticked = 0;
    std::unique_ptr<watch_round> now, next;
    auto later = [&] { // files waiting for a plan: not converted, if a signal ends it
        size_t n = t.waiting.size();
        if (next != nullptr)
            for (const auto &file : next->planned) n += t.waiting.count(file) == 0 ? 1U : 0U;
        return n;
    };
    auto tick = [&](progress &live) {
        if (forwarded_signal() != 0) return void(live.later = later());
        if (long ms = now_ms(); ms - ticked >= tick_ms) {
            ticked = ms;
            events_ok = events_ok && take_events(t);
            draw_watch(live, t, false);
        }
        if (now == nullptr) return;
        if (next == nullptr) next = new_round(t);
        (void)plan_slice(*next, now.get(), slice_files);
    };
    auto no_worker = [] { return complain("no worker is left; the watch ends"), 1; };
    if (!pl.jobs.empty() && !convert_more(pl, c, p, tick)) return no_worker();
    pl = plan{};
    long polled = now_ms();
    while (events_ok) {
        if (int sig = forwarded_signal(); sig != 0) {
            p.later = later();
            end_workers(c, p, sig);
        }
        if (now_ms() - polled >= poll_interval_ms) {
            polled = now_ms();
            if (!forget_removed(t)) {
                complain("no DIR is left to watch");
                stop_workers(c, 0);
                return 1;
            }
            for (size_t n = 0; n < t.nodes.size(); ++n)
                if (t.nodes[n].used && t.nodes[n].polled)
                    t.to_search.insert(static_cast<int32_t>(n));
        }
        if (has_work(t, next.get())) {
            now = next != nullptr ? std::move(next) : new_round(t);
            plan_round(*now);
            if (!now->pl.jobs.empty() && !convert_more(now->pl, c, p, tick)) return no_worker();
            now.reset();
            continue;
        }
        draw_watch(p, t, true);
        pollfd fds[2] = {{t.inotify, POLLIN, 0}, {c.wake[0], POLLIN, 0}};
        int wait = p.shown ? 1000 : static_cast<int>(poll_interval_ms);
        if (poll(fds, 2, wait) < 0 && errno != EINTR)
            return complain(std::string("poll: ") + std::strerror(errno)), 1;
        events_ok = take_events(t);
    }
    stop_workers(c, 0);
    return 1;
}
