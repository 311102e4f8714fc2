// The program when the system fails it: strace makes one call on the input
// or on the equation file fail, at the first call, then the second, and so
// on until the run no longer meets the failure and succeeds.  A real failure
// must end with the one message, status 1, the input unchanged and no
// equation file; an interrupted call must be retried and change nothing.
#include "bytes.h"
#include "run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct fault {
    const char *what; // the failure, as a user would meet it
    const char *call; // the system call that fails
    const char *error;
    bool on_output; // a call on the equation file, not on the input
    bool retried;   // the program must retry the call and succeed
};

const fault faults[] = {
    {"read error", "read", "EIO", false, false},
    {"full disk", "write", "ENOSPC", true, false},
    {"failed close", "close", "EIO", true, false},
    {"interrupted read", "read", "EINTR", false, true},
    {"interrupted write", "write", "EINTR", true, true},
};

bool have_strace() {
    return std::system("strace -V >/dev/null 2>&1") == 0;
}

// Several reads and writes of 128 KiB.
const std::string input = repeat(line_in, 40000);
const std::string output = repeat(line_out, 40000);

// Converts data.tmp in a new directory under strace, which traces `call` on
// the input or on the equation file, with `extra` options; checks that the
// input is left as it was, and returns the result and what strace wrote.
struct traced_run {
    run_result result;
    temp_dir dir, log_dir;
    std::string log;
};

void trace(traced_run &t, const fault &f, const std::vector<std::string> &extra) {
    spit(t.dir.path / "data.tmp", input);
    fs::path target = t.dir.path / (f.on_output ? "data.eqn-file" : "data.tmp");
    fs::path log = t.log_dir.path / "strace.log";
    run_options opts;
    // LeakSanitizer, in a sanitizer build, cannot work under a tracer.
    opts.wrapper = {
        "strace", "-qq",           "-E", "ASAN_OPTIONS=detect_leaks=0", "-o", log.string(),
        "-P",     target.string(), "-e", std::string("trace=") + f.call};
    opts.wrapper.insert(opts.wrapper.end(), extra.begin(), extra.end());
    t.result = run(t.dir.path, {"data.tmp"}, opts);
    t.log = slurp(log);
    EXPECT_EQ(slurp(t.dir.path / "data.tmp"), input) << "input changed";
    EXPECT_EQ(t.result.out, "") << "standard output written";
}

// How many times a run without faults makes the call.
int count_calls(const fault &f) {
    traced_run t;
    trace(t, f, {});
    const std::string start = std::string(f.call) + "(";
    std::istringstream lines(t.log);
    int calls = 0;
    for (std::string line; std::getline(lines, line);) calls += line.rfind(start, 0) == 0;
    return calls;
}

TEST(Faults, EveryCallFailsInTurn) {
    if (!have_strace()) GTEST_SKIP() << "needs strace (apt-get install strace)";
    for (const fault &f : faults) {
        int calls = count_calls(f);
        ASSERT_GT(calls, 0) << f.what << ": the call was never made";
        for (int n = 1; n <= calls + 1; ++n) {
            SCOPED_TRACE(std::string(f.what) + " at call " + std::to_string(n) + " of " +
                         std::to_string(calls));
            traced_run t;
            trace(t, f,
                  {"-e", std::string("inject=") + f.call + ":error=" + f.error +
                             ":when=" + std::to_string(n)});
            if (n > calls || f.retried) {
                EXPECT_EQ(t.result.status, 0);
                EXPECT_EQ(t.result.err, "");
                EXPECT_TRUE(same_bytes(output, slurp(t.dir.path / "data.eqn-file")));
            } else {
                EXPECT_EQ(t.result.status, 1);
                EXPECT_TRUE(same_bytes(failure, t.result.err));
                EXPECT_FALSE(fs::exists(t.dir.path / "data.eqn-file")) << "incomplete output left";
            }
        }
    }
}

} // namespace
