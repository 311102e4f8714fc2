// zelmor-batch -w, run as a user runs it, over a tree d in a fresh
// directory per row.  What would race is held open: the watcher stopped
// (SIGSTOP) while the tree changes, and a last file, zz.tmp, whose
// conversion shows that every event before it was taken.  Every row ends
// the watcher it started.
#include "bytes.h"
#include "run.h"

#include <cstring>
#include <functional>
#include <sys/file.h>

namespace {

const std::string batch = ZELMOR_BATCH_BIN;

// Whether `p` comes to exist, within a bounded time.
bool appears(const fs::path &p) {
    for (int i = 0; i < 2000 && !fs::exists(fs::symlink_status(p)); ++i) usleep(5000);
    return fs::exists(fs::symlink_status(p));
}

// A watcher started in `dir`, ended with `sig` by stop(), or killed if the
// row fails first.
struct watcher {
    temp_dir capture;
    pid_t pid;
    bool ended = false;
    watcher(const fs::path &dir, const std::vector<std::string> &args)
        : pid(start(dir, args, {.program = batch}, capture.path)) {}
    run_result stop(int sig) {
        kill(pid, sig);
        ended = true;
        return finish(pid, capture.path);
    }
    ~watcher() {
        if (!ended) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    }
};

// The files written while the watcher is held stopped.
void stopped(pid_t pid, const std::function<void()> &change) {
    kill(pid, SIGSTOP);
    change();
    kill(pid, SIGCONT);
}

// Sets a sysctl for the start of a row, and puts it back when the watcher
// has its queue, or when the row fails.  Suites run at once share it: each
// holds a lock meanwhile, or one takes another's value for the one to put
// back, and leaves it set for good.
struct sysctl {
    int lock = open("/tmp/zelmor-tests-sysctl.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    fs::path file;
    std::string was;
    sysctl(const char *name, const std::string &value) : file(name) {
        if (lock < 0 || flock(lock, LOCK_EX) != 0) throw std::runtime_error("sysctl lock");
        was = slurp(file);
        spit(file, value);
    }
    void put_back() {
        if (!was.empty()) spit(file, was);
        was.clear();
        if (lock >= 0) close(lock);
        lock = -1;
    }
    ~sysctl() { put_back(); }
};

struct watch_case {
    const char *fault;
    std::function<void(const fs::path &, pid_t)> change; // after the start, in the directory
    std::vector<std::string> converted;                  // each holds line_in's conversion
    std::vector<std::string> absent;
    std::string err = "";
    int sig = SIGTERM;
    bool root = false;                     // needs root: another user, or a sysctl
    int small_queue = 0;                   // fs.inotify.max_queued_events while the watcher starts
    std::string made = "";                 // in d before the start, holding line_in
    std::vector<std::string> dirs = {"d"}; // given; the first holds start.tmp and zz.tmp
};

// Writes f0.tmp to f`n - 1`.tmp into `dir`, holding line_in.
void many(const fs::path &dir, int n) {
    for (int i = 0; i < n; ++i) { // appended: concatenation trips a false -Wrestrict
        std::string name = "f";
        spit(dir / (name += std::to_string(i) += ".tmp"), line_in);
    }
}

// Whether a file `name`.tmp, written now, is converted: every event
// before it was taken.  In a directory just made it may be converted
// twice, once by that directory's search and once on its event, so a row
// that moves or removes it afterwards puts it in a directory watched
// before.
bool taken(const fs::path &name) {
    // Written whole, then moved in: a directory just made is searched, and
    // the search may find it half written, changed while it is read.
    spit(name.string() + ".part", line_in);
    fs::rename(name.string() + ".part", name.string() + ".tmp");
    return appears(name.string() + ".eqn-file");
}

const watch_case cases[] = {
    {"directory made and written into before its watch missed",
     [](const fs::path &d, pid_t pid) {
         stopped(pid, [&] {
             fs::create_directories(d / "d/a/b/c");
             spit(d / "d/a/b/c/x.tmp", line_in);
         });
     },
     {"d/a/b/c/x.tmp"},
     {}},
    {"file or directory moved in unseen",
     [](const fs::path &d, pid_t) {
         fs::create_directories(d / "out/sub");
         spit(d / "out/m.tmp", line_in), spit(d / "out/sub/n.tmp", line_in);
         fs::rename(d / "out/m.tmp", d / "d/m.tmp");
         fs::rename(d / "out/sub", d / "d/sub");
     },
     {"d/m.tmp", "d/sub/n.tmp"},
     {}},
    {"file converted before its writer closed it",
     [](const fs::path &d, pid_t) {
         int w = open((d / "d/a.tmp").c_str(), O_WRONLY | O_CREAT, 0644);
         EXPECT_EQ(write(w, line_in.data(), 5), 5);
         spit(d / "d/zy.tmp", line_in);
         EXPECT_TRUE(appears(d / "d/zy.eqn-file"));
         EXPECT_FALSE(fs::exists(d / "d/a.eqn-file")) << "converted while open";
         EXPECT_EQ(write(w, line_in.data() + 5, line_in.size() - 5), ssize_t(line_in.size() - 5));
         close(w);
     },
     {"d/a.tmp"},
     {}},
    {"new file beside one whose equation file it shares converted over it",
     [](const fs::path &d, pid_t) { spit(d / "d/x.tmp", "((other))"); },
     {"d/x.tmp.tmp"},
     {},
     "zelmor-batch: d/x.tmp and d/x.tmp.tmp both name d/x.eqn-file\n",
     SIGTERM,
     false,
     0,
     "x.tmp.tmp"},
    {"new file beside one moved in since the start converted over it",
     [](const fs::path &d, pid_t) {
         fs::create_directory(d / "out");
         spit(d / "out/y.tmp.tmp", line_in);
         fs::rename(d / "out/y.tmp.tmp", d / "d/y.tmp.tmp");
         ASSERT_TRUE(appears(d / "d/y.eqn-file"));
         spit(d / "d/y.tmp", "((other))");
     },
     {"d/y.tmp.tmp"},
     {},
     "zelmor-batch: d/y.tmp and d/y.tmp.tmp both name d/y.eqn-file\n"},
    {"name exchanged into place forgotten, a new file beside it converted over it",
     [](const fs::path &d, pid_t) {
         spit(d / "d/new", line_in); // a new b.tmp swapped in whole, its old one let go
         ASSERT_EQ(syscall(SYS_renameat2, AT_FDCWD, (d / "d/new").c_str(), AT_FDCWD,
                           (d / "d/b.tmp").c_str(), 2 /* RENAME_EXCHANGE */),
                   0);
         fs::remove(d / "d/new");
         ASSERT_TRUE(taken(d / "d/ready"));
         spit(d / "d/b.tmp.tmp", "((other))");
     },
     {"d/b.tmp"},
     {},
     "zelmor-batch: d/b.tmp.tmp and d/b.tmp both name d/b.eqn-file\n",
     SIGTERM,
     false,
     0,
     "b.tmp"},
    {"signal not ending the watch by it", nullptr, {"d/start.tmp"}, {}, "", SIGHUP},
    {"another user's link followed",
     [](const fs::path &d, pid_t) {
         fs::create_directory(d / "out");
         spit(d / "out/in.tmp", line_in), spit(d / "secret.tmp", line_in);
         fs::permissions(d, fs::perms::others_exec, fs::perm_options::add);
         fs::permissions(d / "d", fs::perms::all);
         pid_t child = fork();
         if (child == 0) // a rename, which is an event that converts
             _exit(setgid(65534) != 0 || setuid(65534) != 0 ||
                   symlink("../secret.tmp", (d / "d/new").c_str()) != 0 ||
                   rename((d / "d/new").c_str(), (d / "d/ln.tmp").c_str()) != 0 ||
                   symlink("../out", (d / "d/lndir").c_str()) != 0);
         int status = -1;
         waitpid(child, &status, 0);
         EXPECT_EQ(status, 0) << "could not plant the links";
     },
     {},
     {"secret.eqn-file", "out/in.eqn-file", "d/ln.eqn-file"},
     "",
     SIGTERM,
     true},
    // Also: more directories than the queue holds, each of whose watches
    // taken down and put back overflowed it again, for ever; and a file
    // whose event was taken before the overflow, dated older than its
    // equation file, left as up to date.
    {"events lost in an overflow of the queue never made up",
     [](const fs::path &d, pid_t pid) {
         for (int i = 0; i < 20; ++i) fs::create_directories(d / "d/s" / std::to_string(i));
         fs::create_directory(d / "out");
         spit(d / "out/old.tmp", line_in), spit(d / "d/old.eqn-file", "stale");
         const timespec long_ago[2] = {{1000, 0}, {1000, 0}};
         ASSERT_EQ(utimensat(AT_FDCWD, (d / "out/old.tmp").c_str(), long_ago, 0), 0);
         ASSERT_TRUE(taken(d / "d/s/19/ready"));
         stopped(pid, [&] {
             fs::rename(d / "out/old.tmp", d / "d/old.tmp");
             many(d / "d", 40);
         });
     },
     {"d/f0.tmp", "d/f17.tmp", "d/f39.tmp", "d/old.tmp"},
     {},
     "",
     SIGTERM,
     true,
     8},
    {"DIR removed and made again by another taken for the one watched",
     [](const fs::path &d, pid_t pid) {
         stopped(pid, [&] {
             fs::remove_all(d / "d");
             fs::create_directory(d / "d");
             spit(d / "d/x.tmp", line_in);
             many(d / "e", 40);
         });
     },
     {"e/f0.tmp"},
     {"d/x.eqn-file"},
     "zelmor-batch: d: gone; no longer watched\n",
     SIGTERM,
     true,
     8,
     "",
     {"e", "d"}},
    {"two directories exchanged, one left unwatched",
     [](const fs::path &d, pid_t) {
         fs::create_directories(d / "d/a"), fs::create_directories(d / "d/b");
         ASSERT_TRUE(taken(d / "d/ready"));
         ASSERT_EQ(syscall(SYS_renameat2, AT_FDCWD, (d / "d/a").c_str(), AT_FDCWD,
                           (d / "d/b").c_str(), 2 /* RENAME_EXCHANGE */),
                   0);
         ASSERT_TRUE(taken(d / "d/zx"));
         spit(d / "d/a/x.tmp", line_in), spit(d / "d/b/y.tmp", line_in);
     },
     {"d/a/x.tmp", "d/b/y.tmp"},
     {}},
    {"removed directories held for ever",
     [](const fs::path &d, pid_t pid) {
         auto held = [&] {
             return std::distance(
                 fs::directory_iterator(fs::path("/proc") / std::to_string(pid) / "fd"), {});
         };
         auto before = held();
         for (int i = 0; i < 20; ++i) fs::create_directories(d / "d/r" / std::to_string(i));
         ASSERT_TRUE(taken(d / "d/ready"));
         fs::remove_all(d / "d/r");
         ASSERT_TRUE(taken(d / "d/zx"));
         EXPECT_EQ(held(), before);
     },
     {},
     {}},
    {"collision missed below a DIR given inside another",
     [](const fs::path &d, pid_t) { spit(d / "d/p.tmpx/f.tmp", "((other))"); },
     {"d/p.tmp"},
     {},
     "zelmor-batch: d/p.tmpx/f.tmp and d/p.tmp both name d/p.eqn-file\n",
     SIGTERM,
     false,
     0,
     "p.tmp",
     {"d", "d/p.tmpx"}},
};

// One test, its rows one after another: a small queue, set for one row,
// must be no other row's.
TEST(Watch, Table) {
    bool root = geteuid() == 0 && access("/proc/sys/fs/inotify/max_queued_events", W_OK) == 0;
    for (const watch_case &c : cases) {
        if (c.root && !root) continue; // said below
        SCOPED_TRACE(c.fault);
        temp_dir dir;
        for (const std::string &given : c.dirs) fs::create_directories(dir.path / given);
        const fs::path first = dir.path / c.dirs[0];
        spit(first / "start.tmp", line_in);
        if (!c.made.empty()) spit(dir.path / "d" / c.made, line_in);
        std::optional<sysctl> queue;
        if (c.small_queue != 0)
            queue.emplace("/proc/sys/fs/inotify/max_queued_events", std::to_string(c.small_queue));
        std::vector<std::string> args = {"-j1", "-w"};
        args.insert(args.end(), c.dirs.begin(), c.dirs.end());
        watcher w(dir.path, args);
        ASSERT_TRUE(appears(first / "start.eqn-file")) << slurp(w.capture.path / "stderr");
        if (queue) queue->put_back(); // the watcher has its queue
        if (c.change) c.change(dir.path, w.pid);
        spit(first / "zz.tmp", line_in);
        EXPECT_TRUE(appears(first / "zz.eqn-file"));
        for (const std::string &name : c.converted)
            EXPECT_TRUE(appears(dir.path / (name.substr(0, name.find(".tmp")) + ".eqn-file")) &&
                        same_bytes(line_out, slurp(dir.path / (name.substr(0, name.find(".tmp")) +
                                                               ".eqn-file"))))
                << name;
        run_result r = w.stop(c.sig);
        EXPECT_EQ(r.status, 128 + c.sig);
        std::string end = std::string("zelmor-batch: ended by ") + strsignal(c.sig) + ": ";
        EXPECT_TRUE(same_bytes(c.err + end, r.err.substr(0, c.err.size() + end.size())));
        for (const std::string &name : c.absent)
            EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path / name))) << name;
        EXPECT_EQ(partial_files(dir.path), std::vector<std::string>{});
    }
    if (!root) GTEST_SKIP() << "its rows for another user and a small queue need root";
}

// Refused before anything is converted: status 2, and why.
TEST(Watch, Refused) {
    temp_dir dir;
    fs::create_directory(dir.path / "d");
    spit(dir.path / "d/a.tmp", line_in);
    bool traced = std::system("strace -V >/dev/null 2>&1") == 0 && emulator().empty();
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{"-w", "-n", "d"}, "-w goes with neither -n nor -0"},
        {{"-w", "-0"}, "-w goes with neither -n nor -0"},
        {{"-w", "d/a.tmp"}, "-w watches directories: d/a.tmp is not one"},
        {{"-w"}, "-w needs a DIR to watch"},
        {{"-qq", "-E", "ASAN_OPTIONS=detect_leaks=0", "-o", "/dev/null", "-e",
          "inject=inotify_init1:error=ENOSYS", batch, "-w", "d"},
         "-w: this system has no inotify, so directories cannot be watched"},
    };
    for (const auto &[args, said] : rows) {
        SCOPED_TRACE(said);
        bool strace = args[0] == "-qq";
        if (strace && !traced) continue; // without inotify, as on macOS: needs strace, natively
        run_options opts{.program = strace ? "strace" : batch, .host_tool = strace};
        run_result r = run(dir.path, args, opts);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "zelmor-batch: " + said);
        EXPECT_FALSE(fs::exists(dir.path / "d/a.eqn-file"));
    }
}

} // namespace

// Every worker gone (the OOM killer, an administrator): the watch ends,
// status 1, so that a service manager starts it again, rather than run on
// with none to convert.
TEST(Watch, EndsWithNoWorkerLeft) {
    temp_dir dir;
    fs::create_directory(dir.path / "d");
    spit(dir.path / "d/start.tmp", line_in);
    watcher w(dir.path, {"-j2", "-w", "d"});
    ASSERT_TRUE(appears(dir.path / "d/start.eqn-file"));
    std::vector<pid_t> workers = children(w.pid);
    // Each waiting for its next order, so that start.tmp's report is sent:
    // a worker killed before it would leave start.tmp unreported instead.
    auto waits_for_order = [](pid_t p) {
        return in_syscall(p, SYS_read) &&
               slurp("/proc/" + std::to_string(p) + "/wchan").find("pipe_read") !=
                   std::string::npos;
    };
    for (pid_t worker : workers)
        for (int n = 0; n < 10000 && !waits_for_order(worker); ++n) usleep(1000);
    for (pid_t worker : workers) signal_process(worker, SIGKILL);
    // Dead before the file comes, so that no worker can have begun it.
    for (pid_t worker : workers)
        for (int n = 0; n < 10000 && !started_tree::stopped(worker); ++n) usleep(1000);
    spit(dir.path / "d/a.tmp", line_in);
    ASSERT_TRUE(ends_within(w.pid, 20000)) << "runs on with no worker";
    w.ended = true;
    run_result r = finish(w.pid, w.capture.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("zelmor-batch: no worker is left; the watch ends\n"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("a.tmp: not converted: no worker was left to take it\n"),
              std::string::npos)
        << r.err;
}

// Past the limit of watches (every watch but the first refused, as the
// kernel refuses them): said once, naming the limit and the directory, and
// what it cannot watch is searched at an interval instead.  The watcher is
// known by its first conversion, and the whole tree is killed if the row
// fails.
TEST(Watch, PastTheLimitOfWatches) {
    if (std::system("strace -V >/dev/null 2>&1") != 0 || !emulator().empty())
        GTEST_SKIP() << "needs strace, natively";
    temp_dir dir, capture;
    fs::create_directories(dir.path / "d/sub");
    spit(dir.path / "d/start.tmp", line_in);
    run_options opts{.program = batch};
    opts.wrapper = {"strace",
                    "-f",
                    "-qq",
                    "-E",
                    "ASAN_OPTIONS=detect_leaks=0",
                    "-o",
                    "/dev/null",
                    "-e",
                    "inject=inotify_add_watch:error=ENOSPC:when=2+"};
    started_tree tracer{start(dir.path, {"-j1", "-w", "d"}, opts, capture.path)};
    ASSERT_TRUE(appears(dir.path / "d/start.eqn-file"));
    spit(dir.path / "d/sub/p.tmp", line_in);
    EXPECT_TRUE(appears(dir.path / "d/sub/p.eqn-file")) << "never searched";
    signal_process(child(tracer.pid), SIGTERM);
    ASSERT_TRUE(ends_within(tracer.pid, 20000));
    run_result r = finish(tracer.pid, capture.path);
    EXPECT_EQ(r.err.rfind("zelmor-batch: d/sub: cannot watch: the limit of watches "
                          "(fs.inotify.max_user_watches = ",
                          0),
              0u)
        << r.err;
    EXPECT_EQ(r.err.find("limit of watches", 60), std::string::npos) << "said again";
}
