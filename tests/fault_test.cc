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
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/syscall.h>
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
    {"interrupted read", "read", "EINTR", true},
    {"interrupted write", "write", "EINTR", true},
};

bool have_strace() {
    return std::system("strace -V >/dev/null 2>&1") == 0;
}

// Several reads and writes of 128 KiB.
const std::string input = repeat(line_in, 40000);
const std::string output = repeat(line_out, 40000);

// Converts data.tmp, over an equation file holding "old", in a new
// directory under strace, which traces `f.calls` with `extra` options and
// shows the files behind descriptors, calling `meanwhile` while it runs;
// checks that the input is left as it was, and keeps the result and what
// strace wrote.
struct traced_run {
    run_result result;
    temp_dir dir, log_dir;
    std::string log;
};

void trace(traced_run &t, const fault &f, const std::vector<std::string> &extra,
           const std::function<void(pid_t tracer)> &meanwhile = nullptr) {
    spit(t.dir.path / "data.tmp", input);
    spit(t.dir.path / "data.eqn-file", "old");
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
    if (meanwhile) meanwhile(tracer);
    t.result = finish(tracer, t.log_dir.path);
    t.log = slurp(log);
    EXPECT_EQ(slurp(t.dir.path / "data.tmp"), input) << "input changed";
    EXPECT_EQ(t.result.out, "") << "standard output written";
}

// Which of the traced calls of a run without faults, counted from 1, touch
// a file of the run (the loader and the sanitizers make others), and how
// many calls there are in all.  A file of the run shows as a path in the
// run's directory, or as a name relative to a descriptor of it.
std::vector<int> calls_on_files(const fault &f, int &all) {
    traced_run t;
    trace(t, f, {});
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

TEST(Faults, EveryCallFailsInTurn) {
    if (!have_strace()) GTEST_SKIP() << "needs strace (apt-get install strace)";
    if (!emulator().empty()) GTEST_SKIP() << "under an emulator, strace would trace the emulator";
    for (const fault &f : faults) {
        int all = 0;
        std::vector<int> ours = calls_on_files(f, all);
        ASSERT_FALSE(ours.empty()) << f.what << ": the call was never made";
        ours.push_back(all + 1); // past the last call: nothing fails
        for (int n : ours) {
            SCOPED_TRACE(std::string(f.what) + " at call " + std::to_string(n) + " of " +
                         std::to_string(all));
            traced_run t;
            trace(t, f,
                  {"-e", std::string("inject=") + f.calls + ":error=" + f.error +
                             ":when=" + std::to_string(n)});
            bool fails = n <= all && !f.retried;
            EXPECT_EQ(t.result.status, fails ? 1 : 0);
            EXPECT_TRUE(same_bytes(fails ? failure : "", t.result.err));
            EXPECT_TRUE(same_bytes(fails ? "old" : output, slurp(t.dir.path / "data.eqn-file")));
            EXPECT_EQ(partial_files(t.dir.path), std::vector<std::string>{});
        }
    }
}

} // namespace

// A signal that arrives while strace holds the program in a call of its
// publication: at the close of the new file, before the rename, it ends
// the run with the previous file in place; at the rename, the run is
// complete and succeeds.  Never does the run end by the signal with the
// file replaced.
TEST(Faults, SignalHeldBeforeOrAtRename) {
    if (!have_strace()) GTEST_SKIP() << "needs strace (apt-get install strace)";
    if (!emulator().empty()) GTEST_SKIP() << "under an emulator, strace would trace the emulator";
    struct held {
        const char *calls;
        long nr; // the call's number
        bool published;
    };
#ifdef SYS_renameat
    const long rename_nr = SYS_renameat;
#else
    const long rename_nr = SYS_renameat2;
#endif
    for (held h : {held{"close", SYS_close, false}, held{"/^rename(at2?)?$", rename_nr, true}}) {
        SCOPED_TRACE(h.calls);
        // Which of the calls is the new file's: the first so named.
        traced_run dry;
        trace(dry, {"", h.calls, "", false}, {});
        std::istringstream lines(dry.log);
        int n = 1;
        for (std::string line;
             std::getline(lines, line) && line.find(".zelmor-partial-") == std::string::npos;)
            ++n;
        traced_run t;
        std::string inject = std::string("inject=") + h.calls + ":delay_enter=2000000:when=";
        trace(t, {"", h.calls, "", false}, {"-e", inject + std::to_string(n)}, [&](pid_t tracer) {
            // The program is the tracer's child.  It stays in the held call
            // for two seconds; the others pass at once.
            std::string children =
                "/proc/" + std::to_string(tracer) + "/task/" + std::to_string(tracer) + "/children";
            pid_t program = 0;
            for (int seen = 0, i = 0; i < 200 && seen < 2; ++i, usleep(50000)) {
                std::istringstream(slurp(children)) >> program;
                long nr = -1;
                std::istringstream(slurp("/proc/" + std::to_string(program) + "/syscall")) >> nr;
                seen = nr == h.nr ? seen + 1 : 0;
            }
            kill(program, SIGTERM);
        });
        std::string got = slurp(t.dir.path / "data.eqn-file");
        EXPECT_EQ(t.result.status, h.published ? 0 : 128 + SIGTERM);
        EXPECT_TRUE(same_bytes(h.published ? output : "old", got));
    }
}
