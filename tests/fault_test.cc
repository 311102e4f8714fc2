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
#include <sstream>
#include <string>
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
// shows the files behind descriptors; checks that the input is left as it
// was, and keeps the result and what strace wrote.
struct traced_run {
    run_result result;
    temp_dir dir, log_dir;
    std::string log;
};

void trace(traced_run &t, const fault &f, const std::vector<std::string> &extra) {
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
    t.result = run(t.dir.path, {(t.dir.path / "data.tmp").string()}, opts);
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

// A signal that arrives while the new file is being renamed over the
// equation file, held there by strace: the run either ends by the signal
// with the previous file in place, or succeeds with the new one; never
// ends by the signal with the file replaced.
TEST(Faults, SignalAtRenameAgreesWithStatus) {
    if (!have_strace()) GTEST_SKIP() << "needs strace (apt-get install strace)";
    if (!emulator().empty()) GTEST_SKIP() << "under an emulator, strace would trace the emulator";
    temp_dir dir, capture;
    spit(dir.path / "data.tmp", input);
    spit(dir.path / "data.eqn-file", "old");
    run_options opts;
    // LeakSanitizer, in a sanitizer build, cannot work under a tracer.
    opts.wrapper = {"strace", "-qq",
                    "-E",     "ASAN_OPTIONS=detect_leaks=0",
                    "-o",     "/dev/null",
                    "-e",     "trace=/^rename(at2?)?$",
                    "-e",     "inject=/^rename(at2?)?$:delay_enter=1000000"};
    pid_t tracer = start(dir.path, {"data.tmp"}, opts, capture.path);
    // The program is the tracer's child.
    std::string children =
        "/proc/" + std::to_string(tracer) + "/task/" + std::to_string(tracer) + "/children";
    pid_t program = 0;
    for (int i = 0; i < 500 && program == 0; ++i, usleep(10000))
        std::istringstream(slurp(children)) >> program;
    ASSERT_NE(program, 0) << "no program under the tracer";
    usleep(300000); // by now held at the rename
    kill(program, SIGTERM);
    run_result r = finish(tracer, capture.path);
    std::string got = slurp(dir.path / "data.eqn-file");
    EXPECT_TRUE((r.status == 128 + SIGTERM && got == "old") || (r.status == 0 && got == output))
        << "status " << r.status << " with "
        << (got == "old" ? "the previous file" : "the new one");
}
