// The program when the system fails it: strace makes one call on a file of
// the run fail, at the first such call, then the second, and so on, and
// then lets the run through.  A real failure must end with the one message,
// status 1, the input unchanged and the previous equation file in place,
// with no unfinished file left; an interrupted call must be retried and
// change nothing.
#include "bytes.h"
#include "run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <tuple>
#include <vector>

namespace {

struct fault {
    const char *what;  // the failure, as a user would meet it
    const char *calls; // the system calls that fail, as strace names them
    const char *error;
    bool retried; // the program must retry the call and succeed
};

const fault faults[] = {
    {"read error", "read", "EIO", false},
    {"full disk", "write", "ENOSPC", false},
    {"failed close", "close", "EIO", false},
    {"failed rename", "/^rename(at2?)?$", "EIO", false},
    {"no room for the new file", "openat", "ENOSPC", false},
    {"failed status", "newfstatat", "EIO", false}, // fstat and fstatat alike, in glibc
    {"failed status of the directory", "statx", "EIO", false},
    {"failed check for write access", "faccessat2", "EIO", false},
    {"failed mode change", "fchmod", "EIO", false},
    {"failed list of extended attributes", "flistxattr", "EIO", false},
    {"failed file flags", "ioctl", "EIO", false},
    {"failed read of an extended attribute", "fgetxattr", "EIO", false},
    {"failed extended attribute set", "fsetxattr", "EIO", false},
    {"failed extended attribute removal", "fremovexattr", "EIO", false},
    {"interrupted read", "read", "EINTR", true},
    {"interrupted write", "write", "EINTR", true},
};

bool have_strace() {
    return std::system("strace -V >/dev/null 2>&1") == 0;
}

// Several reads and writes of 128 KiB.
const std::string input = repeat(line_in, 40000);
const std::string output = repeat(line_out, 40000);

// Converts data.tmp, over an equation file holding "old" (with a hard link,
// so that it is written in place, when `in_place`), in a new directory
// under strace, which traces `f.calls` with `extra` options and
// shows the files behind descriptors, calling `meanwhile` while it runs;
// checks that the input is left as it was, and keeps the result and what
// strace wrote.
struct traced_run {
    run_result result;
    temp_dir dir, log_dir;
    std::string log;
};

// A default ACL that names a user, which a new file inherits as an access
// ACL of its own: little-endian version 2, then tag, permissions and ID of
// the owner, user 65534, the group, the mask and others.
const std::string default_acl = [] {
    std::string s;
    auto put = [&](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) s += static_cast<char>(v >> 8 * i & 0xff);
    };
    put(2, 4);
    for (auto [tag, perm, id] : {std::tuple{1u, 7u, ~0u},
                                 {2u, 7u, 65534u},
                                 {4u, 5u, ~0u},
                                 {0x10u, 7u, ~0u},
                                 {0x20u, 5u, ~0u}})
        put(tag, 2), put(perm, 2), put(id, 4);
    return s;
}();

void trace(traced_run &t, const fault &f, bool in_place, const std::vector<std::string> &extra) {
    spit(t.dir.path / "data.tmp", input);
    spit(t.dir.path / "data.eqn-file", "old");
    // An attribute to carry over, and an ACL the new file gains and must lose.
    fs::path eqn = t.dir.path / "data.eqn-file";
    if (setxattr(eqn.c_str(), "user.fault", "1", 1, 0) != 0 ||
        setxattr(t.dir.path.c_str(), "system.posix_acl_default", default_acl.data(),
                 default_acl.size(), 0) != 0)
        ADD_FAILURE() << "setxattr";
    if (in_place) fs::create_hard_link(t.dir.path / "data.eqn-file", t.dir.path / "twin");
    fs::path log = t.log_dir.path / "strace.log";
    run_options opts;
    // LeakSanitizer, in a sanitizer build, cannot work under a tracer.
    opts.wrapper = {"strace",
                    "-qq",
                    "-y",
                    "-E",
                    "ASAN_OPTIONS=detect_leaks=0",
                    "-o",
                    log.string(),
                    "-e",
                    std::string("trace=") + f.calls};
    opts.wrapper.insert(opts.wrapper.end(), extra.begin(), extra.end());
    // A full path, so that strace shows every path of the run in full.
    pid_t tracer = start(t.dir.path, {(t.dir.path / "data.tmp").string()}, opts, t.log_dir.path);
    t.result = finish(tracer, t.log_dir.path);
    t.log = slurp(log);
    EXPECT_EQ(slurp(t.dir.path / "data.tmp"), input) << "input changed";
    EXPECT_EQ(t.result.out, "") << "standard output written";
}

// Which of the traced calls of a run without faults, counted from 1, touch
// a file of the run (the loader and the sanitizers make others), and how
// many calls there are in all.  A file of the run shows as a path in the
// run's directory, or as a name relative to a descriptor of it.
std::vector<int> calls_on_files(const fault &f, bool in_place, int &all) {
    traced_run t;
    trace(t, f, in_place, {});
    std::istringstream lines(t.log);
    std::vector<int> ours;
    all = 0;
    for (std::string line; std::getline(lines, line);) {
        ++all;
        std::string dir = t.dir.path.string();
        size_t rel = line.find(dir + ">, \"");
        if (line.find(dir + "/") != std::string::npos ||
            (rel != std::string::npos && line[rel + dir.size() + 4] != '/'))
            ours.push_back(all);
    }
    return ours;
}

// In place, a failed run leaves the previous file, if it failed before
// emptying it, or an empty one: never part of a conversion.
TEST(Faults, EveryCallFailsInTurn) {
    if (!have_strace()) GTEST_SKIP() << "needs strace (apt-get install strace)";
    if (!emulator().empty()) GTEST_SKIP() << "under an emulator, strace would trace the emulator";
    for (bool in_place : {false, true})
        for (const fault &f : faults) {
            int all = 0;
            std::vector<int> ours = calls_on_files(f, in_place, all);
            if (in_place && ours.empty()) continue; // a call that only replacing makes
            ASSERT_FALSE(ours.empty()) << f.what << ": the call was never made";
            ours.push_back(all + 1); // past the last call: nothing fails
            for (int n : ours) {
                SCOPED_TRACE(std::string(f.what) + " at call " + std::to_string(n) + " of " +
                             std::to_string(all) + (in_place ? ", in place" : ""));
                traced_run t;
                trace(t, f, in_place,
                      {"-e", std::string("inject=") + f.calls + ":error=" + f.error +
                                 ":when=" + std::to_string(n)});
                bool fails = n <= all && !f.retried;
                std::string eqn = slurp(t.dir.path / "data.eqn-file");
                EXPECT_EQ(t.result.status, fails ? 1 : 0);
                EXPECT_TRUE(same_bytes(fails ? failure : "", t.result.err));
                bool emptied = fails && in_place && eqn.empty();
                EXPECT_TRUE(same_bytes(emptied ? "" : fails ? "old" : output, eqn));
                if (in_place) {
                    EXPECT_TRUE(same_bytes(eqn, slurp(t.dir.path / "twin")));
                }
                EXPECT_EQ(partial_files(t.dir.path), std::vector<std::string>{});
            }
        }
}

} // namespace

// A run that strace holds on entering one call while something happens:
// the first call of `calls` (one system call, numbered `nr`) whose traced
// line holds `marker`, as a run without the hold shows.  Whatever happens
// meanwhile, the run must end as the case says, leaving no new file.
struct held_case {
    const char *fault;
    std::function<void(const fs::path &dir)> setup;
    std::string path; // the program's argument
    const char *calls;
    long nr;
    const char *marker;
    std::function<void(const fs::path &dir, pid_t program)> meanwhile;
    int status;
    std::vector<std::pair<std::string, std::optional<std::string>>> after;
    int ignored_signal = 0;
    std::function<void(const fs::path &dir)> check = nullptr;
    const char *when = "delay_enter"; // or delay_exit: held once the call is made
    int occurrence = 1;               // held at this match of the marker
    bool batch = false;               // zelmor-batch -j1 PATH, not zelmor PATH
};

// The program that `tracer` runs, once it has sat in the call `nr` for two
// looks in a row; 0 if it never does.
pid_t held_in(pid_t tracer, long nr) {
    std::string children =
        "/proc/" + std::to_string(tracer) + "/task/" + std::to_string(tracer) + "/children";
    for (int seen = 0, i = 0; i < 300; ++i, usleep(10000)) {
        pid_t program = 0;
        long now = -1;
        std::istringstream(slurp(children)) >> program;
        std::istringstream(slurp("/proc/" + std::to_string(program) + "/syscall")) >> now;
        seen = now == nr ? seen + 1 : 0;
        if (seen == 2) return program;
    }
    return 0;
}

void hold(const held_case &c) {
    SCOPED_TRACE(c.fault);
    auto traced = [&](const fs::path &dir, const fs::path &logs, const std::string &inject) {
        run_options opts{.ignored_signal = c.ignored_signal};
        opts.wrapper = {"strace",
                        "-qq",
                        "-y",
                        "-E",
                        "ASAN_OPTIONS=detect_leaks=0",
                        "-o",
                        (logs / "strace.log").string(),
                        "-e",
                        std::string("trace=") + c.calls};
        if (!inject.empty()) opts.wrapper.insert(opts.wrapper.end(), {"-e", inject});
        if (c.batch) opts.program = ZELMOR_BATCH_BIN;
        return start(dir, c.batch ? std::vector<std::string>{"-j1", c.path} : std::vector{c.path},
                     opts, logs);
    };
    int n = 1;
    {
        temp_dir dry, logs;
        c.setup(dry.path);
        finish(traced(dry.path, logs.path, ""), logs.path);
        std::istringstream lines(slurp(logs.path / "strace.log"));
        std::string line;
        for (int seen = 0; std::getline(lines, line); ++n)
            if (line.find(c.marker) != std::string::npos && ++seen == c.occurrence) break;
        ASSERT_FALSE(lines.fail()) << c.marker << ": no such call";
    }
    temp_dir dir, logs;
    c.setup(dir.path);
    pid_t tracer = traced(dir.path, logs.path,
                          std::string("inject=") + c.calls + ":" + c.when +
                              "=1000000:when=" + std::to_string(n));
    pid_t program = held_in(tracer, c.nr);
    EXPECT_NE(program, 0) << "never held";
    if (program != 0) c.meanwhile(dir.path, program);
    run_result r = finish(tracer, logs.path);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(same_bytes(c.status == 0 ? "" : failure, r.err) || c.status > 128 || c.batch);
    for (const auto &[name, bytes] : c.after) {
        fs::path p = dir.path / name;
        if (!bytes) EXPECT_FALSE(fs::exists(fs::symlink_status(p))) << name << " exists";
        else EXPECT_TRUE(same_bytes(*bytes, slurp(p))) << "contents of " << name;
    }
    if (c.check) c.check(dir.path);
    EXPECT_EQ(partial_files(dir.path), std::vector<std::string>{}) << "unfinished file left";
}

// Races held open: signals at the commit, and the equation file or the
// directories on its way changed by another user, or another run, between
// the walk and the rename.
TEST(Faults, HeldRaces) {
    if (!have_strace()) GTEST_SKIP() << "needs strace (apt-get install strace)";
    if (!emulator().empty()) GTEST_SKIP() << "under an emulator, strace would trace the emulator";
#ifdef SYS_renameat
    const long rename_nr = SYS_renameat;
#else
    const long rename_nr = SYS_renameat2;
#endif
    auto files = [](const fs::path &d) {
        spit(d / "data.tmp", input);
        spit(d / "data.eqn-file", "old");
    };
    auto in_place = [&](const fs::path &d) {
        files(d);
        fs::create_hard_link(d / "data.eqn-file", d / "twin");
    };
    auto signal = [](int sig) { return [sig](const fs::path &, pid_t p) { kill(p, sig); }; };
    const char *partial = ".zelmor-partial-";
    ino_t second = 0; // the equation file that another run published meanwhile
    std::vector<held_case> cases = {
        {"signal at the new file's close published the run",
         files,
         "data.tmp",
         "close",
         SYS_close,
         partial,
         signal(SIGHUP),
         128 + SIGHUP,
         {{"data.eqn-file", "old"}}},
        {"signal as the new file is made left it",
         files,
         "data.tmp",
         "openat",
         SYS_openat,
         partial,
         signal(SIGTERM),
         128 + SIGTERM,
         {{"data.eqn-file", "old"}},
         0,
         nullptr,
         "delay_exit"},
        {"signal at the rename lost a complete run",
         files,
         "data.tmp",
         "/^rename(at2?)?$",
         rename_nr,
         partial,
         signal(SIGTERM),
         0,
         {{"data.eqn-file", output}}},
        {"ignored signal at the close failed the run",
         files,
         "data.tmp",
         "close",
         SYS_close,
         partial,
         signal(SIGHUP),
         0,
         {{"data.eqn-file", output}},
         SIGHUP},
        // In place, the close publishes: held at the look for a signal before it.
        {"signal before the close in place left part of a conversion",
         in_place,
         "data.tmp",
         "rt_sigpending",
         SYS_rt_sigpending,
         "rt_sigpending",
         signal(SIGTERM),
         128 + SIGTERM,
         {{"data.eqn-file", ""}}},
        {"ignored signal before the close in place emptied the file",
         in_place,
         "data.tmp",
         "rt_sigpending",
         SYS_rt_sigpending,
         "rt_sigpending",
         signal(SIGHUP),
         0,
         {{"data.eqn-file", output}},
         SIGHUP},
        {"equation file replaced between the walk and reading what carries over",
         files,
         "data.tmp",
         "openat",
         SYS_openat,
         "\"data.eqn-file\", O_RDONLY",
         [](const fs::path &d, pid_t) {
             spit(d / "newer", "newer");
             fs::permissions(d / "newer", fs::perms::owner_read | fs::perms::owner_write);
             fs::rename(d / "newer", d / "data.eqn-file");
         },
         0,
         {{"data.eqn-file", output}},
         0,
         [](const fs::path &d) {
             EXPECT_EQ(fs::status(d / "data.eqn-file").permissions(),
                       fs::perms::owner_read | fs::perms::owner_write);
         }},
        {"mode narrowed at the new file's close widened",
         files,
         "data.tmp",
         "close",
         SYS_close,
         partial,
         [](const fs::path &d, pid_t) {
             fs::permissions(d / "data.eqn-file", fs::perms::owner_read | fs::perms::owner_write);
         },
         0,
         {{"data.eqn-file", output}},
         0,
         [](const fs::path &d) {
             EXPECT_EQ(fs::status(d / "data.eqn-file").permissions(),
                       fs::perms::owner_read | fs::perms::owner_write);
         }},
        {"equation file removed between the walk and reading what carries over",
         files,
         "data.tmp",
         "openat",
         SYS_openat,
         "\"data.eqn-file\", O_RDONLY",
         [](const fs::path &d, pid_t) { fs::remove(d / "data.eqn-file"); },
         0,
         {{"data.eqn-file", output}}},
        {"attributes added while listed lost, or the run failed",
         [&](const fs::path &d) {
             files(d);
             if (setxattr((d / "data.eqn-file").c_str(), "user.a", "1", 1, 0) != 0)
                 ADD_FAILURE() << "setxattr";
         },
         "data.tmp",
         "flistxattr",
         SYS_flistxattr,
         "data.eqn-file>, \"",
         [](const fs::path &d, pid_t) {
             const std::string later(300, 'b');
             if (setxattr((d / "data.eqn-file").c_str(), "user.added-while-listed", later.data(),
                          later.size(), 0) != 0)
                 ADD_FAILURE() << "setxattr";
         },
         0,
         {{"data.eqn-file", output}},
         0,
         [](const fs::path &d) {
             EXPECT_EQ(
                 getxattr((d / "data.eqn-file").c_str(), "user.added-while-listed", nullptr, 0),
                 300);
         }},
        {"attribute removed while listed read, or the run failed",
         [&](const fs::path &d) {
             files(d);
             for (const char *name : {"user.a", "user.removed-while-listed"})
                 if (setxattr((d / "data.eqn-file").c_str(), name, "1", 1, 0) != 0)
                     ADD_FAILURE() << "setxattr";
         },
         "data.tmp",
         "flistxattr",
         SYS_flistxattr,
         "data.eqn-file>, \"",
         [](const fs::path &d, pid_t) {
             if (removexattr((d / "data.eqn-file").c_str(), "user.removed-while-listed") != 0)
                 ADD_FAILURE() << "removexattr";
         },
         0,
         {{"data.eqn-file", output}},
         0,
         [](const fs::path &d) {
             EXPECT_EQ(getxattr((d / "data.eqn-file").c_str(), "user.a", nullptr, 0), 1);
         }},
        {"attribute grown while read lost, or the run failed",
         [&](const fs::path &d) {
             files(d);
             if (setxattr((d / "data.eqn-file").c_str(), "user.a", "1", 1, 0) != 0)
                 ADD_FAILURE() << "setxattr";
         },
         "data.tmp",
         "fgetxattr",
         SYS_fgetxattr,
         "\"user.a\", \"",
         [](const fs::path &d, pid_t) {
             const std::string longer(300, 'c');
             if (setxattr((d / "data.eqn-file").c_str(), "user.a", longer.data(), longer.size(),
                          0) != 0)
                 ADD_FAILURE() << "setxattr";
         },
         0,
         {{"data.eqn-file", output}},
         0,
         [](const fs::path &d) {
             EXPECT_EQ(getxattr((d / "data.eqn-file").c_str(), "user.a", nullptr, 0), 300);
         }},
        {"attribute shrunk while read carried with what it held before",
         [&](const fs::path &d) {
             files(d);
             const std::string longer(300, 'c');
             if (setxattr((d / "data.eqn-file").c_str(), "user.a", longer.data(), longer.size(),
                          0) != 0)
                 ADD_FAILURE() << "setxattr";
         },
         "data.tmp",
         "fgetxattr",
         SYS_fgetxattr,
         "data.eqn-file>, \"user.a\", \"",
         [](const fs::path &d, pid_t) {
             if (setxattr((d / "data.eqn-file").c_str(), "user.a", "1", 1, 0) != 0)
                 ADD_FAILURE() << "setxattr";
         },
         0,
         {{"data.eqn-file", output}},
         0,
         [](const fs::path &d) {
             EXPECT_EQ(getxattr((d / "data.eqn-file").c_str(), "user.a", nullptr, 0), 1);
         },
         "delay_enter",
         2}, // the second read, just before the rename
        {"new file open to others before it is narrowed",
         [&](const fs::path &d) {
             files(d);
             fs::permissions(d / "data.eqn-file", fs::perms::owner_read | fs::perms::owner_write);
         },
         "data.tmp",
         "fchmod",
         SYS_fchmod,
         partial,
         [](const fs::path &d, pid_t) {
             for (const std::string &p : partial_files(d))
                 EXPECT_EQ(fs::status(p).permissions() & fs::perms::mask,
                           fs::perms::owner_read | fs::perms::owner_write);
         },
         0,
         {{"data.eqn-file", output}}},
        {"link made to the equation file as it was replaced split it",
         files,
         "data.tmp",
         "close",
         SYS_close,
         partial,
         [](const fs::path &d, pid_t) { fs::create_hard_link(d / "data.eqn-file", d / "twin"); },
         1,
         {{"data.eqn-file", "old"}, {"twin", "old"}}},
        {"equation file removed before it was opened in place failed the run",
         in_place,
         "data.tmp",
         "openat",
         SYS_openat,
         "\"data.eqn-file\", O_WRONLY",
         [](const fs::path &d, pid_t) { fs::remove(d / "data.eqn-file"); },
         0,
         {{"data.eqn-file", output}, {"twin", "old"}}},
        {"another run's linked equation file truncated",
         [](const fs::path &d) {
             spit(d / "data.tmp", input);
             fs::create_directory(d / "store");
             spit(d / "store/target", "old");
             fs::create_symlink("store/target", d / "data.eqn-file");
         },
         "data.tmp",
         "openat",
         SYS_openat,
         partial,
         [&](const fs::path &d, pid_t) {
             EXPECT_EQ(run(d, {"data.tmp"}).status, 0);
             second = inode(d / "store/target");
         },
         0,
         {{"store/target", output}},
         0,
         [&](const fs::path &d) {
             EXPECT_TRUE(fs::is_symlink(d / "data.eqn-file"));
             EXPECT_NE(inode(d / "store/target"), second) << "written in place";
         }},
    };
    // Another user (65534) in a sticky directory that anyone may write.
    auto sticky = [](const fs::path &d) {
        fs::create_directory(d / "private");
        spit(d / "private/notes", "notes");
        fs::create_directory(d / "pub");
        fs::permissions(d / "pub", fs::perms::all | fs::perms::sticky_bit);
    };
    auto as_nobody = [](const fs::path &p) {
        if (lchown(p.c_str(), 65534, 65534) != 0) ADD_FAILURE() << "lchown " << p;
    };
    // A directory of one's own, with an equation file written in place,
    // that is opened to all, and given another user's file or link, between
    // the walk and the open.
    auto own = [](const fs::path &d) {
        fs::create_directory(d / "private");
        spit(d / "private/notes", "notes");
        fs::create_directory(d / "pub");
        spit(d / "pub/data.tmp", input);
        spit(d / "pub/data.eqn-file", "old");
        fs::create_hard_link(d / "pub/data.eqn-file", d / "pub/twin");
    };
    auto opened_to_all = [&](const fs::path &d,
                             const std::function<void(const fs::path &)> &plant) {
        fs::remove(d / "pub/data.eqn-file");
        plant(d / "pub/data.eqn-file");
        as_nobody(d / "pub/data.eqn-file");
        fs::permissions(d / "pub", fs::perms::all | fs::perms::sticky_bit);
    };
    const char *in_place_open = "\"data.eqn-file\", O_WRONLY";
    std::vector<held_case> root_cases = {
        {"another user's file opened in place after the walk written",
         own,
         "pub/data.tmp",
         "openat",
         SYS_openat,
         in_place_open,
         [&](const fs::path &d, pid_t) {
             opened_to_all(d, [](const fs::path &p) { spit(p, "theirs"); });
         },
         1,
         {{"pub/data.eqn-file", "theirs"}, {"pub/twin", "old"}}},
        {"another user's link opened in place after the walk followed",
         own,
         "pub/data.tmp",
         "openat",
         SYS_openat,
         in_place_open,
         [&](const fs::path &d, pid_t) {
             opened_to_all(d, [](const fs::path &p) { fs::create_symlink("../private/notes", p); });
         },
         1,
         {{"private/notes", "notes"}, {"pub/twin", "old"}}},
        {"link planted between the walk and the rename followed",
         [&](const fs::path &d) {
             sticky(d);
             spit(d / "pub/data.tmp", input);
             fs::create_symlink("b", d / "pub/data.eqn-file");
         },
         "pub/data.tmp",
         "openat",
         SYS_openat,
         partial,
         [&](const fs::path &d, pid_t) {
             fs::create_symlink("../private/notes", d / "pub/b");
             as_nobody(d / "pub/b");
         },
         1,
         {{"private/notes", "notes"}}},
        {"file planted before the rename given the conversion",
         [&](const fs::path &d) {
             sticky(d);
             spit(d / "pub/data.tmp", input);
         },
         "pub/data.tmp",
         "openat",
         SYS_openat,
         partial,
         [&](const fs::path &d, pid_t) {
             spit(d / "pub/data.eqn-file", "theirs");
             as_nobody(d / "pub/data.eqn-file");
         },
         1,
         {{"pub/data.eqn-file", "theirs"}}},
        {"directory swapped for a link mid-walk followed",
         [&](const fs::path &d) {
             sticky(d);
             fs::create_directory(d / "pub/sub");
             spit(d / "pub/sub/data.tmp", input);
             as_nobody(d / "pub/sub");
         },
         "pub/sub/data.tmp",
         "openat",
         SYS_openat,
         ", \"sub\", ",
         [&](const fs::path &d, pid_t) {
             fs::rename(d / "pub/sub", d / "pub/sub.old");
             fs::create_symlink("../private", d / "pub/sub");
             as_nobody(d / "pub/sub");
         },
         1,
         {{"private/data.eqn-file", std::nullopt}},
         0,
         nullptr,
         "delay_enter",
         1}, // the walk of the directory that holds the input and the equation file
        {"directory swapped for a link during the search followed",
         [&](const fs::path &d) {
             sticky(d);
             fs::create_directory(d / "pub/sub");
             spit(d / "pub/sub/data.tmp", input);
             spit(d / "private/data.tmp", input);
             as_nobody(d / "pub/sub");
         },
         "pub",
         "openat",
         SYS_openat,
         ", \"sub\", ",
         [&](const fs::path &d, pid_t) {
             fs::rename(d / "pub/sub", d / "pub/sub.old");
             fs::create_symlink("../private", d / "pub/sub");
             as_nobody(d / "pub/sub");
         },
         2,
         {{"private/data.eqn-file", std::nullopt}},
         0,
         nullptr,
         "delay_enter",
         1,
         true},
    };
    if (geteuid() == 0) cases.insert(cases.end(), root_cases.begin(), root_cases.end());
    for (const held_case &c : cases) hold(c);
    if (geteuid() != 0) GTEST_SKIP() << "cases of another user need root; they did not run";
}
