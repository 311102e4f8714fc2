// The built program, run the way a user runs it, in a fresh temporary
// directory per case: exit status, standard output and error, and the files
// that exist afterwards, byte for byte.
#include "bytes.h"
#include "run.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace {

struct cli_case {
    const char *fault;                                      // what a failing case would mean
    std::vector<std::pair<std::string, std::string>> files; // made before the run
    std::vector<std::string> args;
    int status;
    std::string err;
    // Afterwards: each name holds these bytes, or does not exist (nullopt).
    std::vector<std::pair<std::string, std::optional<std::string>>> after;
    std::function<void(const fs::path &)> setup = nullptr; // anything `files` cannot make
    run_options opts = {};
};

const std::string big_in = repeat(line_in, 60000); // crosses many buffer refills
const std::string long_token = std::string(300000, 'x');
const std::string long_name = std::string(250, 'n');         // fits; with ".eqn-file" it does not
const std::string deep_dir = repeat("directory-level-", 12); // path > 128 bytes

const cli_case cli_cases[] = {
    {"conversion wrong",
     {{"data.tmp", line_in}},
     {"data.tmp"},
     0,
     "",
     {{"data.tmp", line_in}, {"data.eqn-file", line_out}}},
    {"empty input gives no file", {{"e.tmp", ""}}, {"e.tmp"}, 0, "", {{"e.eqn-file", ""}}},
    {"old output not replaced",
     {{"data.tmp", line_in}, {"data.eqn-file", repeat("old", 100)}},
     {"data.tmp"},
     0,
     "",
     {{"data.eqn-file", line_out}}},
    {"further arguments used",
     {{"data.tmp", line_in}, {"b.tmp", line_in}},
     {"data.tmp", "b.tmp", "-v"},
     0,
     "",
     {{"data.eqn-file", line_out}, {"b.eqn-file", std::nullopt}}},
    {"dash read as an option",
     {{"-x.tmp", line_in}},
     {"-x.tmp"},
     0,
     "",
     {{"-x.eqn-file", line_out}}},
    {"directory part of the name ignored",
     {{"d.tmpdir/b.tmp", line_in}},
     {"d.tmpdir/b.tmp"},
     0,
     "",
     {{"d.eqn-file", line_out}, {"d.tmpdir/b.eqn-file", std::nullopt}}},
    {"buffer refills lose bytes",
     {{"big.tmp", big_in}},
     {"big.tmp"},
     0,
     "",
     {{"big.eqn-file", repeat(line_out, 60000)}}},
    {"token across refills split",
     {{"t.tmp", "(((" + long_token + " y)))"}},
     {"t.tmp"},
     0,
     "",
     {{"t.eqn-file", "(((\"" + long_token + "\" \"y\")))"}}},
    {"long path cut short",
     {{deep_dir + "/" + deep_dir + "/p.tmp", line_in}},
     {deep_dir + "/" + deep_dir + "/p.tmp"},
     0,
     "",
     {{deep_dir + "/" + deep_dir + "/p.eqn-file", line_out}}},
    {"missing argument not reported", {}, {}, 2, usage, {}},
    {"missing input not reported", {}, {"nope.tmp"}, 1, failure, {{"nope.eqn-file", std::nullopt}}},
    {"directory read as input",
     {{"dir.tmp/f", "x"}},
     {"dir.tmp"},
     1,
     failure,
     {{"dir.eqn-file", std::nullopt}}},
    {"directory input destroys old output",
     {{"dir.tmp/f", "x"}, {"dir.eqn-file", "old"}},
     {"dir.tmp"},
     1,
     failure,
     {{"dir.eqn-file", "old"}}},
    {"input without .tmp emptied",
     {{"notes.txt", line_in}},
     {"notes.txt"},
     1,
     failure,
     {{"notes.txt", line_in}}},
    {"message written into the input",
     {{"notes.txt", line_in}},
     {"notes.txt"},
     1,
     "",
     {{"notes.txt", line_in}},
     nullptr,
     {.close_stdin_stderr = true}},
    {"hard link to input emptied",
     {{"data.tmp", line_in}},
     {"data.tmp"},
     1,
     failure,
     {{"data.tmp", line_in}, {"data.eqn-file", line_in}},
     [](const fs::path &d) { fs::create_hard_link(d / "data.tmp", d / "data.eqn-file"); }},
    {"symbolic link to input emptied",
     {{"data.tmp", line_in}},
     {"data.tmp"},
     1,
     failure,
     {{"data.tmp", line_in}, {"data.eqn-file", line_in}},
     [](const fs::path &d) { fs::create_symlink("data.tmp", d / "data.eqn-file"); }},
    {"output name too long not reported",
     {{long_name + ".tmp", line_in}},
     {long_name + ".tmp"},
     1,
     failure,
     {{long_name + ".tmp", line_in}}},
    {"unopenable output not reported",
     {{"data.tmp", line_in}, {"data.eqn-file/keep", "k"}},
     {"data.tmp"},
     1,
     failure,
     {{"data.tmp", line_in}, {"data.eqn-file/keep", "k"}}},
    {"full disk reported as success",
     {{"data.tmp", line_in}},
     {"data.tmp"},
     1,
     failure,
     {{"data.tmp", line_in}},
     [](const fs::path &d) { fs::create_symlink("/dev/full", d / "data.eqn-file"); }},
    {"small stack overflowed",
     {{"data.tmp", big_in}},
     {"data.tmp"},
     0,
     "",
     {{"data.eqn-file", repeat(line_out, 60000)}},
     nullptr,
     {.stack_size = 256 * 1024}},
    {"partial output left behind",
     {{"big.tmp", big_in}},
     {"big.tmp"},
     1,
     failure,
     {{"big.tmp", big_in}, {"big.eqn-file", std::nullopt}},
     nullptr,
     {.max_file_size = 300000}},
    {"partial rewrite left behind",
     {{"big.tmp", big_in}, {"big.eqn-file", "old"}},
     {"big.tmp"},
     1,
     failure,
     {{"big.tmp", big_in}, {"big.eqn-file", std::nullopt}},
     nullptr,
     {.max_file_size = 300000}},
};

TEST(Cli, Table) {
    for (const cli_case &c : cli_cases) {
        SCOPED_TRACE(c.fault);
        temp_dir dir;
        for (const auto &[name, bytes] : c.files) {
            fs::create_directories((dir.path / name).parent_path());
            spit(dir.path / name, bytes);
        }
        if (c.setup) c.setup(dir.path);
        run_result r = run(dir.path, c.args, c.opts);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, "") << "standard output is never written";
        EXPECT_TRUE(same_bytes(c.err, r.err)) << "standard error";
        for (const auto &[name, bytes] : c.after) {
            fs::path p = dir.path / name;
            if (!bytes) EXPECT_FALSE(fs::exists(fs::symlink_status(p))) << name << " exists";
            else EXPECT_TRUE(same_bytes(*bytes, slurp(p))) << "contents of " << name;
        }
        if (c.args.empty()) {
            EXPECT_TRUE(fs::is_empty(dir.path)) << "no argument, yet files changed";
        }
    }
}

// New equation files get mode 0666 less the umask.
TEST(Cli, NewOutputModeFollowsUmask) {
    temp_dir dir;
    spit(dir.path / "a.tmp", line_in);
    ASSERT_EQ(run(dir.path, {"a.tmp"}, {.umask = 027}).status, 0);
    EXPECT_EQ(fs::status(dir.path / "a.eqn-file").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

// An existing equation file is rewritten in place: same file, same mode.
TEST(Cli, ExistingOutputRewrittenInPlace) {
    temp_dir dir;
    spit(dir.path / "a.tmp", line_in);
    spit(dir.path / "a.eqn-file", repeat("stale ", 1000));
    fs::permissions(dir.path / "a.eqn-file", fs::perms::owner_read | fs::perms::owner_write);
    struct stat before, after;
    ASSERT_EQ(stat((dir.path / "a.eqn-file").c_str(), &before), 0);
    ASSERT_EQ(run(dir.path, {"a.tmp"}).status, 0);
    ASSERT_EQ(stat((dir.path / "a.eqn-file").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(after.st_mode & 0777, 0600u);
    EXPECT_EQ(slurp(dir.path / "a.eqn-file"), line_out);
}

// A directory without write permission: the output cannot be created.  Root
// may write anywhere, so as root the program runs as the unprivileged "nobody".
TEST(Cli, UnwritableDirectory) {
    temp_dir dir;
    fs::create_directory(dir.path / "ro");
    spit(dir.path / "ro/a.tmp", line_in);
    fs::permissions(dir.path, fs::perms::all);
    fs::permissions(dir.path / "ro/a.tmp", fs::perms::all);
    fs::permissions(dir.path / "ro", fs::perms::owner_read | fs::perms::owner_exec |
                                         fs::perms::others_read | fs::perms::others_exec);
    run_result r = run(dir.path, {"ro/a.tmp"}, {.user = 65534});
    if (r.status == 125) GTEST_SKIP() << "cannot switch to an unprivileged user";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, failure);
    EXPECT_EQ(slurp(dir.path / "ro/a.tmp"), line_in);
    EXPECT_FALSE(fs::exists(dir.path / "ro/a.eqn-file"));
}

} // namespace
