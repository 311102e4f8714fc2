// zelmor-batch, run the way a user runs it, in a fresh temporary directory
// per case: exit status, what it says, and the files afterwards.
#include "bytes.h"
#include "run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <tuple>
#include <vector>

namespace {

// The program under test: the one built here, or another given in
// ZELMOR_TEST_BATCH_PROGRAM, such as an earlier build to compare with.
const std::string batch = [] {
    const char *other = std::getenv("ZELMOR_TEST_BATCH_PROGRAM");
    return std::string(other != nullptr && *other != '\0' ? other : ZELMOR_BATCH_BIN);
}();

// The equation file's name, by the name rule.
std::string eqn_of(const std::string &input) {
    return input.substr(0, input.find(".tmp")) + ".eqn-file";
}

// What zelmor writes for `input`: every output must be the same.
std::string zelmor_output(const std::string &input) {
    temp_dir dir;
    spit(dir.path / "x.tmp", input);
    EXPECT_EQ(run(dir.path, {"x.tmp"}).status, 0);
    return slurp(dir.path / "x.eqn-file");
}

// Inputs whose equation files' names are too long for the file system.
const std::string long_tmp = std::string(250, 'a') + ".tmp",
                  long_eqn = std::string(250, 'a') + ".eqn-file";
const std::string long_tmp2 = std::string(250, 'b') + ".tmp",
                  long_eqn2 = std::string(250, 'b') + ".eqn-file";

// Inputs of different shapes, each converted by zelmor for comparison.
const std::vector<std::string> shapes = {line_in, repeat(line_in, 20000), "(((a  b )))(( x",
                                         std::string("((\0 (\t\" ))", 10), ""};

struct batch_case {
    const char *fault;
    std::vector<std::string> inputs; // made, each holding the next of `shapes`
    std::vector<std::string> args;
    int status;
    std::string err;
    std::vector<std::string> converted; // these inputs' equation files are zelmor's output
    std::vector<std::string> absent;    // these names do not exist afterwards
    run_options opts = {};
    std::function<void(const fs::path &)> setup = nullptr;
    std::string out = "";                                  // standard output, with opts.output
    std::function<void(const fs::path &)> check = nullptr; // anything the above cannot say
};

// A chain of `levels` directories below `top`, made and opened through
// descriptors, since its path passes PATH_MAX: the last one's descriptor.
int deep_dir(const fs::path &top, int levels) {
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < levels && fd >= 0; ++i) {
        std::string name = "directory-" + std::to_string(i);
        (void)mkdirat(fd, name.c_str(), 0755);
        int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
    }
    return fd;
}
// The file `name` in the deep chain below `top`, written or read.
const int deep = 330; // 4,620 bytes of path
void deep_spit(const fs::path &top, const char *name, const std::string &bytes, int levels = deep) {
    int dir = deep_dir(top, levels), fd = openat(dir, name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd), close(dir);
}
std::string deep_slurp(const fs::path &top, const char *name, int levels = deep) {
    int dir = deep_dir(top, levels), fd = openat(dir, name, O_RDONLY);
    std::string got(1 << 16, '\0');
    got.resize(static_cast<size_t>(std::max<ssize_t>(0, read(fd, got.data(), got.size()))));
    close(fd), close(dir);
    return got;
}

const std::string usage = "usage: zelmor-batch [-j N] [-n] [-u] [-0] [PATH...]\n"
                          "       zelmor-batch [-j N] -w DIR...\n"
                          "Converts each temporary file into its equation file, as zelmor does.\n"
                          "  PATH  a file, or a directory searched for regular files named *.tmp;\n"
                          "        with no PATH, or with -0, the files listed on standard input\n"
                          "  -j N  convert with N worker processes (default: the CPUs available)\n"
                          "  -n    print each input and its equation file, and convert nothing\n"
                          "  -u    convert only inputs newer than their equation files\n"
                          "  -0    the list on standard input, and what -n prints, end each name\n"
                          "        with a NUL byte rather than a newline\n"
                          "  -w    as -u, then watch each DIR, converting each *.tmp file as its\n"
                          "        writer closes it, or as it is moved in\n";

// Equation files made, to the nanosecond, after their inputs (a), before
// them (b), at the same time (c), and before in the same second (d).
// An earlier conversion, no shorter than a conversion is: one that is
// shorter cannot be up to date.
const std::string old_conversion = "old, as long as a conversion of any shape";
void older_inputs(const fs::path &d) {
    using namespace std::chrono_literals;
    auto input =
        std::chrono::time_point_cast<std::chrono::seconds>(fs::file_time_type::clock::now() - 1h) +
        500ms;
    const std::pair<const char *, fs::file_time_type> made[] = {
        {"a", input + 1h}, {"b", input - 2h}, {"c", input}, {"d", input - 300ms}};
    for (const auto &[name, when] : made) {
        std::string base = name;
        spit(d / (base + ".eqn-file"), old_conversion);
        fs::last_write_time(d / (base + ".tmp"), input);
        fs::last_write_time(d / (base + ".eqn-file"), when);
    }
}

// Inputs whose plan, at 415 bytes a line, is more than a pipe's worth:
// the arguments that name them with -n, and the plan printed.
const std::vector<std::string> many_long = [] {
    std::vector<std::string> names;
    for (int i = 100; i < 300; ++i)
        names.push_back(std::to_string(i) + std::string(197, 'a') + ".tmp");
    return names;
}();
std::vector<std::string> with_n(std::vector<std::string> names) {
    names.insert(names.begin(), "-n");
    return names;
}
std::string plan_of(const std::vector<std::string> &names) {
    std::string plan;
    for (const std::string &name : names) plan += name + '\t' + eqn_of(name) + '\n';
    return plan;
}

const std::vector<std::string> odd = {
    "tree/a b.tmp",   "tree/q\"uote.tmp",  "tree/new\nline.tmp",    "tree/tab\there.tmp",
    "tree/-dash.tmp", "tree/sub/deep.tmp", "tree/proj.tmp/only.tmp"};

const batch_case cases[] = {
    {"odd names lost or converted unlike zelmor",
     odd,
     {"-j", "2", "tree"},
     0,
     "",
     odd,
     {"tree/lnk.eqn-file", "outside/in.eqn-file", "tree/notes.eqn-file"},
     {},
     [](const fs::path &d) {
         spit(d / "tree/notes.txt", line_in);
         spit(d / "tree/.tmp", line_in); // named *.tmp as find -name '*.tmp' sees it
         fs::create_directory(d / "outside");
         spit(d / "outside/in.tmp", line_in);
         fs::create_directory_symlink("../outside", d / "tree/linked");
         fs::create_symlink("a b.tmp", d / "tree/lnk.tmp");
     },
     "",
     [](const fs::path &d) {
         EXPECT_EQ(slurp(d / "tree/.eqn-file"), line_out) << "a file named .tmp";
     }},
    {"leading dash taken for an option",
     {"-dash.tmp"},
     {"--", "-dash.tmp"},
     0,
     "",
     {"-dash.tmp"},
     {}},
    {"directory named proj.tmp given its own equation file",
     {"proj.tmp/only.tmp"},
     {"proj.tmp"},
     0,
     "",
     {"proj.tmp/only.tmp"},
     {"proj.tmp/only.eqn-file"}},
    {"file two levels below the name the rule cuts given the wrong directory",
     {"tree/p.tmpx/sub/x.tmp"},
     {"tree"},
     0,
     "",
     {"tree/p.tmpx/sub/x.tmp"},
     {"tree/p.tmpx/sub/x.eqn-file"}},
    {"equation file above, linked to the input, taken for another file",
     {"tree/p.tmpx/sub/x.tmp"},
     {"tree"},
     2,
     "zelmor-batch: tree/p.tmpx/sub/x.tmp: its equation file tree/p.eqn-file is the input itself\n",
     {},
     {},
     {},
     [](const fs::path &d) { fs::create_symlink("p.tmpx/sub/x.tmp", d / "tree/p.eqn-file"); }},
    {"equation file linked to the input, listed after a subdirectory, looked for there",
     {"tree/a/x.tmp", "tree/b.tmp"},
     {"tree"},
     2,
     "zelmor-batch: tree/b.tmp: its equation file tree/b.eqn-file is the input itself\n",
     {},
     {"tree/a/x.eqn-file"},
     {},
     [](const fs::path &d) { fs::create_symlink("b.tmp", d / "tree/b.eqn-file"); }},
    {"equation file linked to the worker's reports written into them",
     {"a.tmp"},
     {"-j1", "a.tmp"},
     1,
     "zelmor-batch: a.tmp: cannot write a.eqn-file: Operation not permitted\n",
     {},
     {},
     {},
     [](const fs::path &d) {
         needs_native(); // an emulator holds descriptors of its own
         fs::create_symlink("/proc/self/fd/4", d / "a.eqn-file");
     }},
    {"equation file linked to the worker's orders written into them",
     {"a.tmp"},
     {"-j1", "a.tmp"},
     1,
     "zelmor-batch: a.tmp: cannot write a.eqn-file: Operation not permitted\n",
     {},
     {},
     {},
     [](const fs::path &d) {
         needs_native();
         fs::create_symlink("/proc/self/fd/7", d / "a.eqn-file");
     }},
    {"files naming one equation file from two levels converted over each other",
     {"tree/p.tmpx/sub/x.tmp", "tree/p.tmpy.tmp"},
     {"tree"},
     2,
     "zelmor-batch: tree/p.tmpx/sub/x.tmp and tree/p.tmpy.tmp both name tree/p.eqn-file\n",
     {},
     {"tree/p.eqn-file"}},
    {"searched and named file naming one equation file converted over each other",
     {"real/sub/x.tmp", "real/sub/x.tmpq"},
     {"real/sub", "alias/sub/x.tmpq"},
     2,
     "zelmor-batch: real/sub/x.tmp and alias/sub/x.tmpq: their equation files real/sub/x.eqn-file "
     "and alias/sub/x.eqn-file are one file\n",
     {},
     {"real/sub/x.eqn-file"},
     {},
     [](const fs::path &d) { fs::create_directory_symlink("real", d / "alias"); }},
    {"descriptors leaked, or the reason lost, when the search runs out of them",
     {},
     {"-j1", "."},
     2,
     "zelmor-batch: ./n/n/n/n/n/n/n/n: Too many open files\n",
     {},
     {},
     {.max_files = 16},
     [](const fs::path &d) {
         needs_native(); // an emulator holds descriptors of its own
         fs::path bottom = d;
         for (int i = 0; i < 30; ++i) bottom /= "n";
         fs::create_directories(bottom);
         spit(bottom / "x.tmp", line_in);
     }},
    {"collision passed over where the walk to the equation file fails",
     {"a.tmp", "a.tmp.tmp"},
     {"a.tmp", "a.tmp.tmp"},
     2,
     "zelmor-batch: a.tmp and a.tmp.tmp both name a.eqn-file\n",
     {},
     {},
     {},
     [](const fs::path &d) { fs::create_symlink("a.eqn-file", d / "a.eqn-file"); }},
    {"colliding names converted",
     {"x.tmp", "x.tmp.tmp", "y.tmp", "y.tmpold.tmp", "z.tmp"},
     {"."},
     2,
     "zelmor-batch: ./x.tmp and ./x.tmp.tmp both name ./x.eqn-file\n"
     "zelmor-batch: ./y.tmp and ./y.tmpold.tmp both name ./y.eqn-file\n",
     {},
     {"x.eqn-file", "y.eqn-file", "z.eqn-file"}},
    {"files under proj.tmp converted over each other",
     {"proj.tmp/a.tmp", "proj.tmp/b.tmp", "proj.tmp/c.tmp"},
     {"proj.tmp", "-j1"},
     2,
     "zelmor-batch: proj.tmp/a.tmp, proj.tmp/b.tmp and proj.tmp/c.tmp all name proj.eqn-file\n",
     {},
     {"proj.eqn-file"}},
    {"a file given twice converted twice",
     {"a.tmp"},
     {"-n", "a.tmp", "./a.tmp", "a.tmp"},
     0,
     "",
     {},
     {"a.eqn-file"},
     {.output = true},
     nullptr,
     "a.tmp\ta.eqn-file\n"},
    {"input given twice around another counted as two writers",
     {"x.tmp", "x.tmp.tmp"},
     {"x.tmp", "x.tmp.tmp", "./x.tmp"},
     2,
     "zelmor-batch: x.tmp and x.tmp.tmp both name x.eqn-file\n",
     {},
     {"x.eqn-file"}},
    {"plan converted",
     {"a.tmp", "sub/b.tmp"},
     {"-n", "."},
     0,
     "",
     {},
     {"a.eqn-file"},
     {.output = true},
     nullptr,
     "./a.tmp\t./a.eqn-file\n./sub/b.tmp\t./sub/b.eqn-file\n"},
    {"list split at spaces",
     {"a b.tmp", "c.tmp"},
     {},
     0,
     "",
     {"a b.tmp", "c.tmp"},
     {},
     {.input = "a b.tmp\n\nc.tmp"}},
    {"list split at newlines",
     {"new\nline.tmp", "tab\there.tmp"},
     {"-0"},
     0,
     "",
     {"new\nline.tmp", "tab\there.tmp"},
     {},
     {.input = std::string("new\nline.tmp\0tab\there.tmp\0", 27)}},
    {"plan of a list cut at newlines",
     {"new\nline.tmp"},
     {"-n", "-0"},
     0,
     "",
     {},
     {"new\nline.eqn-file"},
     {.input = std::string("new\nline.tmp\0", 13), .output = true},
     nullptr,
     std::string("new\nline.tmp\0new\nline.eqn-file\0", 31)},
    {"missing input skipped",
     {"a.tmp"},
     {"nope.tmp", "a.tmp"},
     2,
     "zelmor-batch: nope.tmp: No such file or directory\n",
     {},
     {"a.eqn-file"}},
    {"problem found before a searched PATH forgotten",
     {"tree/a.tmp"},
     {"nope.tmp", "tree"},
     2,
     "zelmor-batch: nope.tmp: No such file or directory\n",
     {},
     {"tree/a.eqn-file"}},
    {"equation file's name too long failed for no reason given",
     {std::string(251, 'a') + ".tmp", "b.tmp"},
     {"."},
     1,
     "zelmor-batch: ./" + std::string(251, 'a') + ".tmp: cannot write ./" + std::string(251, 'a') +
         ".eqn-file: File name too long\n",
     {"b.tmp"},
     {}},
    {"input without .tmp converted over itself",
     {"a.tmp"},
     {},
     2,
     "zelmor-batch: notes.txt: no .tmp in the name, so no equation file of its own\n",
     {},
     {"a.eqn-file"},
     {.input = "a.tmp\nnotes.txt\n"},
     [](const fs::path &d) { spit(d / "notes.txt", line_in); }},
    {"hard link to the input converted over it",
     {"a.tmp"},
     {"a.tmp"},
     2,
     "zelmor-batch: a.tmp: its equation file a.eqn-file is the input itself\n",
     {},
     {},
     {},
     [](const fs::path &d) { fs::create_hard_link(d / "a.tmp", d / "a.eqn-file"); }},
    {"-0 with a PATH",
     {"a.tmp"},
     {"-0", "a.tmp"},
     2,
     "zelmor-batch: -0 reads the list of files from standard input: no PATH goes with it\n",
     {},
     {"a.eqn-file"}},
    {"no jobs accepted",
     {"a.tmp"},
     {"-j", "0", "a.tmp"},
     2,
     "zelmor-batch: -j 0: not a number of jobs from 1 to 1024\n",
     {},
     {"a.eqn-file"}},
    {"number of jobs after a sign accepted",
     {"a.tmp"},
     {"-j", "+3", "a.tmp"},
     2,
     "zelmor-batch: -j +3: not a number of jobs from 1 to 1024\n",
     {},
     {"a.eqn-file"}},
    {"option's value and unknown option printed raw to the terminal",
     {},
     {"-j\x1b]2;x\a", "-\x7f"},
     2,
     "zelmor-batch: -j '\\x1b]2;x\\x07': not a number of jobs from 1 to 1024\n",
     {},
     {}},
    {"long option given a value blamed on its letter",
     {},
     {"--help=\x1b"},
     2,
     "zelmor-batch: unknown option '--help=\\x1b'\n" + usage,
     {},
     {}},
    {"unknown option's control byte printed raw",
     {},
     {"-\x1b"},
     2,
     "zelmor-batch: unknown option '-\\x1b'\n" + usage,
     {},
     {}},
    {"DEL in a name printed raw",
     {},
     {"del\x7f.tmp"},
     2,
     "zelmor-batch: 'del\\x7f.tmp': No such file or directory\n",
     {},
     {}},
    {"input dated in the future converted on every run without a word",
     {"a.tmp"},
     {"-u", "a.tmp", "./a.tmp"},
     0,
     "zelmor-batch: a.tmp: modified in the future, so -u converts it on every run\n",
     {"a.tmp"},
     {},
     {},
     [](const fs::path &d) {
         fs::last_write_time(d / "a.tmp", fs::file_time_type::clock::now() + std::chrono::hours(1));
     }},
    {"up-to-date input left out of the collision check",
     {"x.tmp", "x.tmp.tmp"},
     {"-u", "x.tmp", "x.tmp.tmp"},
     2,
     "zelmor-batch: x.tmp and x.tmp.tmp both name x.eqn-file\n",
     {},
     {},
     {},
     [](const fs::path &d) {
         spit(d / "x.eqn-file", "old");
         fs::last_write_time(d / "x.tmp",
                             fs::last_write_time(d / "x.eqn-file") - std::chrono::hours(1));
     },
     "",
     [](const fs::path &d) { EXPECT_EQ(slurp(d / "x.eqn-file"), "old"); }},
    {"unknown option taken for a file",
     {"a.tmp"},
     {"-x", "a.tmp"},
     2,
     "zelmor-batch: unknown option -x\n" + usage,
     {},
     {"a.eqn-file"}},
    {"help", {}, {"--help"}, 0, "", {}, {}, {.output = true}, nullptr, usage},
    {"version",
     {},
     {"--version"},
     0,
     "",
     {},
     {},
     {.output = true},
     nullptr,
     "zelmor-batch " ZELMOR_VERSION "\n"},
    {"nothing to do", {}, {}, 0, "", {}, {}, {.input = ""}},
    {"equation file linked to another's converted over it",
     {"x.tmp", "y.tmp", "z.tmp"},
     {"."},
     2,
     "zelmor-batch: ./x.tmp and ./y.tmp: their equation files ./x.eqn-file and ./y.eqn-file are "
     "one file\n",
     {},
     {"y.eqn-file", "z.eqn-file"},
     {},
     [](const fs::path &d) { fs::create_symlink("y.eqn-file", d / "x.eqn-file"); }},
    {"hard-linked equation files converted over each other",
     {"x.tmp", "y.tmp"},
     {"-j1", "x.tmp", "y.tmp"},
     2,
     "zelmor-batch: x.tmp and y.tmp: their equation files x.eqn-file and y.eqn-file are one file\n",
     {},
     {},
     {},
     [](const fs::path &d) {
         spit(d / "x.eqn-file", "old");
         fs::create_hard_link(d / "x.eqn-file", d / "y.eqn-file");
     }},
    {"equation file linked to another input replaced it",
     {"x.tmp", "y.tmp"},
     {"."},
     2,
     "zelmor-batch: ./x.tmp: its equation file ./x.eqn-file is the input ./y.tmp\n",
     {},
     {"y.eqn-file"},
     {},
     [](const fs::path &d) { fs::create_symlink("y.tmp", d / "x.eqn-file"); }},
    {"collision spelled through a linked directory converted",
     {"real/x.tmp", "real/x.tmp.tmp"},
     {"real/x.tmp", "alias/x.tmp.tmp"},
     2,
     "zelmor-batch: real/x.tmp and alias/x.tmp.tmp: their equation files real/x.eqn-file and "
     "alias/x.eqn-file are one file\n",
     {},
     {"real/x.eqn-file"},
     {},
     [](const fs::path &d) { fs::create_directory_symlink("real", d / "alias"); }},
    {"hard link of another input skipped",
     {"a.tmp"},
     {"."},
     0,
     "",
     {"a.tmp"},
     {},
     {},
     [](const fs::path &d) { fs::create_hard_link(d / "a.tmp", d / "b.tmp"); },
     "",
     [](const fs::path &d) { EXPECT_EQ(slurp(d / "b.eqn-file"), slurp(d / "a.eqn-file")); }},
    {"socket equation file reported as a FIFO with no reader",
     {"x.tmp", "y.tmp"},
     {"x.tmp", "y.tmp"},
     1,
     "zelmor-batch: x.tmp: cannot write x.eqn-file: it is a socket\n",
     {"y.tmp"},
     {},
     {},
     [](const fs::path &d) {
         sockaddr_un at{};
         at.sun_family = AF_UNIX;
         std::string path = (d / "x.eqn-file").string();
         if (path.size() >= sizeof at.sun_path) throw std::runtime_error("path too long");
         path.copy(at.sun_path, path.size());
         int s = socket(AF_UNIX, SOCK_STREAM, 0);
         bool bound = s >= 0 && bind(s, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0;
         if (s >= 0) close(s);
         if (!bound) throw std::runtime_error("bind");
     }},
    {"FIFO equation file with no reader waited on",
     {"x.tmp", "y.tmp"},
     {"x.tmp", "y.tmp"},
     1,
     "zelmor-batch: x.tmp: cannot write x.eqn-file: a FIFO with no reader\n",
     {"y.tmp"},
     {},
     {},
     [](const fs::path &d) { mkfifo((d / "x.eqn-file").c_str(), 0600); }},
    {"tree deeper than PATH_MAX, or than a small stack holds, refused",
     {},
     {"."},
     0,
     "",
     {},
     {},
     {.stack_size = 128 << 10, // a recursion would need 200 KiB
      .wrapper = {"sh", "-c", "ulimit -S -n 64 && exec \"$@\"", "sh"}}, // fewer than the depth
     [](const fs::path &d) { deep_spit(d, "deep.tmp", line_in); },
     "",
     [](const fs::path &d) {
         EXPECT_EQ(deep_slurp(d, "deep.eqn-file"), line_out);
         EXPECT_EQ(std::system(("rm -rf '" + (d / "directory-0").string() + "'").c_str()), 0);
     }},
    {"order longer than the pipe taken from its first part", // 2,000 levels: 70 KB
     {},
     {"-j1", "."},
     0,
     "",
     {},
     {},
     {},
     [](const fs::path &d) { deep_spit(d, "deep.tmp", line_in, 2000); },
     "",
     [](const fs::path &d) {
         EXPECT_EQ(deep_slurp(d, "deep.eqn-file", 2000), line_out);
         EXPECT_EQ(std::system(("rm -rf '" + (d / "directory-0").string() + "'").c_str()), 0);
     }},
    {"plan printed with standard output closed",
     {"a.tmp"},
     {"-n", "a.tmp"},
     1,
     "zelmor-batch: standard output is closed: the plan has nowhere to go\n",
     {},
     {"a.eqn-file"},
     {.wrapper = {"sh", "-c", "exec \"$@\" >&-", "sh"}}},
    {"closed standard output reopened read-only, the version lost",
     {},
     {"--version"},
     0,
     "",
     {},
     {},
     {.wrapper = {"sh", "-c", "exec \"$@\" >&-", "sh"}}},
    {"plan past a pipe's worth printed with its start again",
     many_long,
     with_n(many_long),
     0,
     "",
     {},
     {},
     {.output = true},
     nullptr,
     plan_of(many_long)},
    {"plan lost on a full disk",
     {"a.tmp"},
     {"-n", "a.tmp"},
     1,
     "zelmor-batch: standard output: No space left on device\n",
     {},
     {"a.eqn-file"},
     {.wrapper = {"sh", "-c", "exec \"$@\" >/dev/full", "sh"}}}, // written by the shell alone
    {"letter in a group misnamed",
     {"a.tmp"},
     {"-qn", "a.tmp"},
     2,
     "zelmor-batch: unknown option -q\n" + usage,
     {},
     {"a.eqn-file"}},
    {"file that looks like an option blamed on the one before",
     {"a.tmp"},
     {"-n", "-x.tmp"},
     2,
     "zelmor-batch: unknown option -x\n" + usage,
     {},
     {"a.eqn-file"}},
    {"-j without its number called unknown",
     {},
     {"-j"},
     2,
     "zelmor-batch: -j needs a number\n" + usage,
     {},
     {}},
    {"name with a newline printed as it is",
     {"new\nline.tmp"},
     {"-n", "new\nline.tmp"},
     0,
     "",
     {},
     {},
     {.output = true},
     nullptr,
     "'new\\nline.tmp'\t'new\\nline.eqn-file'\n"},
    {"name with a carriage return said as it is",
     {},
     {"bad\r.tmp"},
     2,
     "zelmor-batch: 'bad\\r.tmp': No such file or directory\n",
     {},
     {}},
    {"directory without *.tmp files passed over in silence",
     {},
     {"empty"},
     0,
     "zelmor-batch: empty: no *.tmp files\n",
     {},
     {},
     {},
     [](const fs::path &d) { fs::create_directory(d / "empty"); }},
    {"input no newer than its equation file converted with -u",
     {"a.tmp", "b.tmp", "c.tmp", "d.tmp"},
     {"-u", "a.tmp", "b.tmp", "c.tmp", "d.tmp"},
     0,
     "",
     {"b.tmp", "d.tmp"},
     {},
     {},
     older_inputs,
     "",
     [](const fs::path &d) {
         EXPECT_EQ(slurp(d / "a.eqn-file"), old_conversion);
         EXPECT_EQ(slurp(d / "c.eqn-file"), old_conversion);
     }},
    {"equation file a failed run emptied, and could not date, taken for up to date",
     {"a.tmp"},
     {"-u", "a.tmp"},
     0,
     "",
     {"a.tmp"},
     {},
     {},
     [](const fs::path &d) {
         spit(d / "a.eqn-file", "");
         fs::last_write_time(d / "a.tmp",
                             fs::last_write_time(d / "a.eqn-file") - std::chrono::hours(1));
     }},
    {"input no newer than its equation file planned with -u",
     {"a.tmp", "b.tmp", "c.tmp", "d.tmp"},
     {"-n", "-u", "a.tmp", "b.tmp", "c.tmp", "d.tmp"},
     0,
     "zelmor-batch: 2 up to date, not listed\n",
     {},
     {},
     {.output = true},
     older_inputs,
     "b.tmp\tb.eqn-file\nd.tmp\td.eqn-file\n"},
    {"unreachable equation file taken for up to date",
     {long_tmp, "b.tmp"},
     {"-u", "."},
     1,
     "zelmor-batch: ./" + long_tmp + ": cannot write ./" + long_eqn + ": File name too long\n",
     {"b.tmp"},
     {}},
    {"two unreachable equation files taken for one",
     {long_tmp, long_tmp2},
     {"-j1", "."},
     1,
     "zelmor-batch: ./" + long_tmp + ": cannot write ./" + long_eqn + ": File name too long\n" +
         "zelmor-batch: ./" + long_tmp2 + ": cannot write ./" + long_eqn2 +
         ": File name too long\n",
     {},
     {}},
    {"number of jobs with letters taken",
     {},
     {"-j", "1a"},
     2,
     "zelmor-batch: -j 1a: not a number of jobs from 1 to 1024\n",
     {},
     {}},
    {"most jobs refused",
     {"a.tmp"},
     {"-n", "-j", "1024", "a.tmp"},
     0,
     "",
     {},
     {"a.eqn-file"},
     {.output = true},
     nullptr,
     "a.tmp\ta.eqn-file\n"},
    {"unknown long option misnamed",
     {},
     {"--frobnicate"},
     2,
     "zelmor-batch: unknown option --frobnicate\n" + usage,
     {},
     {}},
    {"list that cannot be read taken for an empty one",
     {},
     {},
     2,
     "zelmor-batch: standard input: Bad file descriptor\n",
     {},
     {},
     {.wrapper = {"sh", "-c", "exec \"$@\" 0>/dev/null", "sh"}}},
    {"PATH that is a link to a directory not searched",
     {"real/a.tmp"},
     {"alias"},
     0,
     "",
     {},
     {},
     {},
     [](const fs::path &d) { fs::create_directory_symlink("real", d / "alias"); },
     "",
     [](const fs::path &d) { EXPECT_EQ(slurp(d / "alias/a.eqn-file"), zelmor_output(line_in)); }},
    {"equation files linked to one standard output converted",
     {"x.tmp", "y.tmp"},
     {"x.tmp", "y.tmp"},
     2,
     "zelmor-batch: x.tmp and y.tmp: their equation files x.eqn-file and y.eqn-file are one "
     "file\n",
     {},
     {},
     {},
     [](const fs::path &d) {
         needs_native();
         for (const char *name : {"x.eqn-file", "y.eqn-file"})
             fs::create_symlink("/dev/stdout", d / name);
     }},
    {"input linked to standard input refused",
     {},
     {"x.tmp"},
     0,
     "",
     {},
     {},
     {},
     [](const fs::path &d) {
         needs_native();
         fs::create_symlink("/dev/stdin", d / "x.tmp");
     },
     "",
     [](const fs::path &d) { EXPECT_EQ(slurp(d / "x.eqn-file"), stdin_guard); }},
    {"workers that could not start taken for none needed",
     {"a.tmp"},
     {"a.tmp"},
     1,
     "zelmor-batch: pipe: Too many open files\n",
     {},
     {"a.eqn-file"},
     {.max_files = 4},
     [](const fs::path &) { needs_native(); }},
};

TEST(Batch, Table) {
    for (const batch_case &c : cases) {
        SCOPED_TRACE(c.fault);
        temp_dir dir;
        std::vector<std::string> want;
        for (size_t i = 0; i < c.inputs.size(); ++i) {
            fs::create_directories((dir.path / c.inputs[i]).parent_path());
            spit(dir.path / c.inputs[i], shapes[i % shapes.size()]);
        }
        try {
            if (c.setup) c.setup(dir.path);
        } catch (const native_only &) {
            continue;
        }
        run_options opts = c.opts;
        opts.program = batch;
        run_result r = run(dir.path, c.args, opts);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(same_bytes(c.err, r.err)) << "standard error";
        EXPECT_TRUE(same_bytes(c.out, r.out)) << "standard output";
        for (const std::string &name : c.converted) {
            auto i = static_cast<size_t>(std::find(c.inputs.begin(), c.inputs.end(), name) -
                                         c.inputs.begin());
            EXPECT_TRUE(same_bytes(zelmor_output(shapes[i % shapes.size()]),
                                   slurp(dir.path / eqn_of(name))))
                << eqn_of(name);
        }
        for (const std::string &name : c.absent)
            EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path / name))) << name << " exists";
        if (c.check) c.check(dir.path);
        EXPECT_EQ(partial_files(dir.path), std::vector<std::string>{});
    }
}

// One input that cannot be read among many: named with the system's
// reason, the others converted, status 1.
TEST(Batch, UnreadableInputNamed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to run as uid 65534";
    temp_dir dir;
    fs::copy_file(batch, dir.path / "zelmor-batch");
    fs::permissions(dir.path, fs::perms::all);
    for (const char *name : {"a.tmp", "b.tmp", "c.tmp"}) {
        spit(dir.path / name, line_in);
        ASSERT_EQ(chown((dir.path / name).c_str(), 65534, 65534), 0);
    }
    fs::permissions(dir.path / "b.tmp", fs::perms::none);
    run_result r = run(dir.path, {"-j", "2", "."}, {.user = 65534, .program = "./zelmor-batch"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zelmor-batch: ./b.tmp: cannot read: Permission denied\n");
    EXPECT_EQ(slurp(dir.path / "a.eqn-file"), line_out);
    EXPECT_EQ(slurp(dir.path / "c.eqn-file"), line_out);
    EXPECT_FALSE(fs::exists(dir.path / "b.eqn-file"));
}

// Many files, some of them converted when a signal comes: sent to the batch,
// it ends every worker, each taking back its file, and the batch ends by it;
// sent to one worker alone, only that worker's file fails, named.  No new
// file is left anywhere, and every equation file there is is whole.
TEST(Batch, SignalMidBatch) {
    // Under an emulator, a fifth as much, which takes as long.
    const std::string input = repeat(line_in, emulator().empty() ? 100000 : 20000),
                      output = zelmor_output(input);
    for (bool alone : {false, true}) {
        SCOPED_TRACE(alone ? "to one worker" : "to the batch");
        temp_dir dir, capture;
        for (int i = 0; i < 300; ++i) {
            std::string name = "f"; // built by appending: concatenation trips a false -Wrestrict
            name += std::to_string(i);
            spit(dir.path / (name += ".tmp"), input);
        }
        pid_t pid = start(dir.path, {"-j", "2", "."}, {.program = batch}, capture.path);
        started_tree guard{pid};
        auto converted = [&] {
            int n = 0;
            for (const auto &e : fs::directory_iterator(dir.path))
                n += e.path().extension() == ".eqn-file";
            return n;
        };
        for (int i = 0; i < 1000 && converted() < 4; ++i) usleep(5000);
        pid_t target = alone ? child(pid) : pid;
        ASSERT_NE(target, 0) << "no worker running";
        kill(target, SIGTERM);
        run_result r = finish(pid, capture.path);
        if (alone) {
            // Mid-file, the worker's file fails, named; between files, nothing.
            bool mid_file = r.status == 1;
            EXPECT_EQ(r.err, mid_file ? r.err.substr(0, r.err.find(".tmp: ") + 4) +
                                            ": its worker ended by Terminated\n"
                                      : "");
            EXPECT_EQ(converted(), mid_file ? 299 : 300);
        } else {
            EXPECT_EQ(r.status, 128 + SIGTERM);
            EXPECT_LT(converted(), 300) << "the workers went on";
        }
        EXPECT_EQ(partial_files(dir.path), std::vector<std::string>{});
        for (const auto &e : fs::directory_iterator(dir.path))
            if (e.path().extension() == ".eqn-file") {
                EXPECT_TRUE(same_bytes(output, slurp(e.path()))) << e.path();
            }
    }
}

// Ended while workers wait on their input, or while it reads its list:
// the batch ends at once, by the signal, and each worker with it, taking
// back its new file.  Killed outright, its workers end all the same.
TEST(Batch, SignalEndsWaitingWorkers) {
    struct wait_case {
        const char *fault;
        int sig;
        bool list; // waiting on the list, not on the inputs
    };
    for (wait_case c : {wait_case{"workers left to finish their files", SIGTERM, false},
                        {"workers of a killed parent left to go on", SIGKILL, false},
                        {"signal while reading the list ignored", SIGTERM, true}}) {
        SCOPED_TRACE(c.fault);
        temp_dir dir, capture;
        for (const char *fifo : {"a.tmp", "b.tmp", "list"})
            ASSERT_EQ(mkfifo((dir.path / fifo).c_str(), 0600), 0);
        pid_t pid =
            c.list
                ? start(dir.path, {"-j", "2"},
                        {.program = batch, .wrapper = {"sh", "-c", "exec \"$@\" < list", "sh"}},
                        capture.path)
                : start(dir.path, {"-j", "2", "a.tmp", "b.tmp"}, {.program = batch}, capture.path);
        started_tree guard{pid};
        std::vector<int> writers;
        for (const char *fifo : {"a.tmp", "b.tmp"}) {
            int w = -1;
            for (int i = 0; i < 1000 && w < 0 && !c.list; ++i, usleep(5000))
                w = open((dir.path / fifo).c_str(), O_WRONLY | O_NONBLOCK);
            if (c.list) w = open((dir.path / "list").c_str(), O_WRONLY); // waits for the batch
            ASSERT_GE(w, 0) << fifo << " never opened";
            EXPECT_EQ(write(w, c.list ? "a.tmp\n" : "((e (x", 6), 6);
            writers.push_back(w);
            if (c.list) break;
        }
        // The workers are running, the signals caught, and each new file made.
        for (int i = 0; i < 1000 && children(pid).size() < 2; ++i) usleep(5000);
        for (int i = 0; i < 1000 && !c.list && partial_files(dir.path).size() < 2; ++i)
            usleep(5000);
        kill(pid, c.sig);
        EXPECT_TRUE(ends_within(pid, 5000)) << "still running with its input open";
        for (int i = 0; i < 1000 && !partial_files(dir.path).empty(); ++i) usleep(5000);
        for (int w : writers) close(w);
        run_result r = finish(pid, capture.path);
        EXPECT_EQ(r.status, 128 + c.sig);
        EXPECT_TRUE(r.signaled) << "exited with 128 + N rather than ended by the signal";
        EXPECT_EQ(partial_files(dir.path), std::vector<std::string>{});
        if (c.sig == SIGTERM) {
            std::string said = "zelmor-batch: ended by Terminated: 0 converted, 0 failed, ";
            EXPECT_EQ(r.err.rfind(said + (c.list ? "0" : "2") + " not converted in ", 0), 0u)
                << r.err;
        }
    }
}

// zelmor-batch at a terminal of `columns` columns, under script(1), with
// `args` (words without quotes): what the terminal showed, and the status.
run_result at_terminal(const fs::path &dir, const std::string &args, int columns,
                       const fs::path &capture) {
    std::string cmd =
        "stty cols " + std::to_string(columns) + " && exec " + shell_words(batch) + " " + args;
    run_options opts{.program = "script", .host_tool = true, .input = "", .output = true};
    return finish(start(dir, {"-qefc", cmd, "/dev/null"}, opts, capture), capture, opts);
}

// At a terminal: a usage line rather than a silent wait for a list, a
// summary however short the run, and a progress line that never wraps.
TEST(Batch, Terminal) {
    if (std::system("script -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs script(1)";
    struct terminal_case {
        const char *fault;
        std::string args;
        int status;
        std::string shown;       // what the terminal shows, among the rest
        std::string hidden = ""; // what it never shows
        bool native = false;     // a link into /proc that an emulator answers for itself
    };
    const terminal_case rows[] = {
        {"no PATH at a terminal waited on in silence", "", 2, "usage: zelmor-batch"},
        {"short run ended without a summary", "-j1 d/0.tmp", 0, "1 converted, 0 failed in "},
        {"inputs up to date left out of the summary", "-j1 -u d/0.tmp", 0,
         "0 converted, 0 failed, 1 up to date in "},
        {"no *.tmp files ended without a summary", "empty", 0,
         "empty: no *.tmp files\r\n0 converted, 0 failed in "},
        {"progress line wrapped on a narrow terminal", "-j1 d", 0,
         "\r0/100 files, 0.0 MiB, 0\x1b[K"},
        {"progress line drawn, or fitted, by standard output's terminal", "-j1 d >/dev/null", 0,
         "\r0/100 files, 0.0 MiB, 0\x1b[K"},
        {"progress line drawn when only standard output is a terminal", "-j1 d 2>/dev/null", 0, "",
         "files, "},
        {"another user's link to /proc/self/fd/2 wrote to the terminal", "-j1 t", 1,
         "t/x.tmp: cannot write t/x.eqn-file: Operation not permitted", "\"secret\"", true},
    };
    for (const terminal_case &c : rows) {
        if (c.native && !emulator().empty()) continue;
        SCOPED_TRACE(c.fault);
        temp_dir dir, capture;
        fs::create_directory(dir.path / "empty");
        fs::create_directory(dir.path / "d");
        for (int i = 0; i < 100; ++i) spit(dir.path / "d" / (std::to_string(i) += ".tmp"), "");
        spit(dir.path / "d/0.eqn-file", ""); // not older than its input
        fs::create_directory(dir.path / "t");
        spit(dir.path / "t/x.tmp", "((e (secret)))\n");
        fs::create_symlink("/proc/self/fd/2", dir.path / "t/x.eqn-file");
        run_result r = at_terminal(dir.path, c.args, 24, capture.path);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.out.find(c.shown), std::string::npos) << excerpt(r.out, 0);
        EXPECT_TRUE(c.hidden.empty() || r.out.find(c.hidden) == std::string::npos)
            << excerpt(r.out, 0);
        for (size_t at = 0; (at = r.out.find('\r', at)) != std::string::npos; ++at) {
            size_t end = r.out.find_first_of("\x1b\r\n", at + 1);
            EXPECT_LT(std::min(end, r.out.size()) - at - 1, 24u) << "wraps: " << excerpt(r.out, at);
        }
    }
}

// A large file, at a terminal: the line counts its bytes as they are
// converted, not once it is done.
TEST(Batch, ProgressMovesWithinAFile) {
    if (std::system("script -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs script(1)";
    temp_dir dir, capture;
    ASSERT_EQ(mkfifo((dir.path / "big.tmp").c_str(), 0600), 0);
    std::string cmd = "exec " + shell_words(batch) + " -j1 big.tmp";
    run_options opts{.program = "script", .host_tool = true, .input = "", .output = true};
    pid_t pid = start(dir.path, {"-qefc", cmd, "/dev/null"}, opts, capture.path);
    started_tree guard{pid};
    int w = open((dir.path / "big.tmp").c_str(), O_WRONLY);
    const std::string mib = repeat(line_in, (size_t{1} << 20) / line_in.size());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(write(w, mib.data(), mib.size()), ssize_t(mib.size()));
    bool moved = false;
    for (int i = 0; i < 500 && !moved; ++i, usleep(10000))
        moved = slurp(capture.path / "stdout").find("0/1 files, 3.0 MiB") != std::string::npos;
    EXPECT_TRUE(moved) << excerpt(slurp(capture.path / "stdout"), 0);
    close(w);
    EXPECT_EQ(finish(pid, capture.path, opts).status, 0);
}

// A worker ended alone is reaped, and a signal that ends the batch later
// goes to the workers left, never to the reaped worker's pid.
TEST(Batch, NoSignalToAReapedWorker) {
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs strace";
    if (!emulator().empty()) GTEST_SKIP() << "under an emulator, strace would trace the emulator";
    temp_dir dir, capture, logs;
    for (const char *fifo : {"a.tmp", "b.tmp"}) // never written: the workers wait
        ASSERT_EQ(mkfifo((dir.path / fifo).c_str(), 0600), 0);
    run_options opts{.program = batch};
    opts.wrapper = {"strace", "-qq", "-e", "trace=kill", "-o", (logs.path / "log").string()};
    pid_t tracer = start(dir.path, {"-j", "2", "a.tmp", "b.tmp"}, opts, capture.path), pid = 0;
    started_tree guard{tracer};
    std::vector<pid_t> workers;
    for (int i = 0; i < 1000 && workers.size() < 2; ++i, usleep(5000))
        workers = (pid = child(tracer)) == 0 ? std::vector<pid_t>{} : children(pid);
    ASSERT_EQ(workers.size(), 2u);
    // Each waits on its FIFO, which it has taken.
    for (int i = 0; i < 1000 && !(waits_on_fifo(workers[0]) && waits_on_fifo(workers[1])); ++i)
        usleep(5000);
    kill(workers[0], SIGKILL);
    for (int i = 0; i < 1000 && slurp(capture.path / "stderr").empty(); ++i) usleep(5000);
    EXPECT_NE(slurp(capture.path / "stderr").find(": its worker ended by Killed"),
              std::string::npos);
    signal_process(pid, SIGTERM);
    EXPECT_EQ(finish(tracer, capture.path).status, 128 + SIGTERM);
    EXPECT_EQ(slurp(logs.path / "log").find("ESRCH"), std::string::npos)
        << slurp(logs.path / "log");
}

// A worker killed on its first file, with two more queued behind it: the
// other, idle once its own are done, converts those two.
TEST(Batch, QueuedFilesOfAKilledWorkerConverted) {
    temp_dir dir, capture;
    ASSERT_EQ(mkfifo((dir.path / "a.tmp").c_str(), 0600), 0); // never written: its worker waits
    for (const char *name : {"b.tmp", "c.tmp", "d.tmp", "e.tmp"}) spit(dir.path / name, line_in);
    pid_t pid = start(dir.path, {"-j2", "a.tmp", "b.tmp", "c.tmp", "d.tmp", "e.tmp"},
                      {.program = batch}, capture.path);
    started_tree guard{pid};
    std::vector<pid_t> workers;
    auto idle = [&](pid_t p) { return children(pid).size() < 2 || in_syscall(p, SYS_read); };
    for (int i = 0; i < 1000 && !(workers.size() == 2 && waits_on_fifo(workers[0]) &&
                                  fs::exists(dir.path / "d.eqn-file") && idle(workers[1]));
         ++i, usleep(5000)) {
        workers = children(pid);
        if (workers.size() == 2 && waits_on_fifo(workers[1])) std::swap(workers[0], workers[1]);
    }
    ASSERT_EQ(workers.size(), 2u);
    kill(workers[0], SIGKILL);
    run_result r = finish(pid, capture.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zelmor-batch: a.tmp: its worker ended by Killed\n");
    for (const char *name : {"c.eqn-file", "e.eqn-file"})
        EXPECT_EQ(slurp(dir.path / name), line_out);
}

// An equation file that is a FIFO with a reader slower than the writer:
// the worker waits for room, as any writer does, rather than fail once
// the pipe is full.
TEST(Batch, SlowReaderOfAFifoGetsEverything) {
    temp_dir dir, capture;
    const std::string big = repeat(line_in, 20000); // many times a pipe's room
    spit(dir.path / "x.tmp", big);
    ASSERT_EQ(mkfifo((dir.path / "x.eqn-file").c_str(), 0600), 0);
    int reader = open((dir.path / "x.eqn-file").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    pid_t pid = start(dir.path, {"-j1", "x.tmp"}, {.program = batch}, capture.path);
    started_tree guard{pid};
    // Read nothing until the worker waits in a write, or the batch ends.
    for (int i = 0; i < 500 && !in_syscall(child(pid), SYS_write) && !ends_within(pid, 10); ++i) {}
    ASSERT_EQ(fcntl(reader, F_SETFL, 0), 0); // reads wait from now on
    std::string got;
    char buf[65536];
    for (ssize_t n; (n = read(reader, buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    close(reader);
    run_result r = finish(pid, capture.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(repeat(line_out, 20000), got));
}

// A signal while a worker publishes its file: the worker reports the file
// before it ends, and the summary counts it converted.
TEST(Batch, SignalAtACommitCountsTheFile) {
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs strace";
    if (!emulator().empty()) GTEST_SKIP() << "under an emulator, strace would trace the emulator";
    temp_dir dir, capture, logs;
    spit(dir.path / "a.tmp", line_in);
    run_options opts{.program = batch};
    opts.wrapper = {"strace",
                    "-f",
                    "-qq",
                    "-o",
                    (logs.path / "log").string(),
                    "-e",
                    "trace=renameat",
                    "-e",
                    "inject=renameat:delay_exit=1000000"};
    pid_t tracer = start(dir.path, {"-j1", "a.tmp"}, opts, capture.path), pid = 0;
    started_tree guard{tracer};
    // The worker has renamed its file, and is held there.
    for (int i = 0; i < 1000 && !in_syscall(child(pid = child(tracer)), SYS_renameat); ++i)
        usleep(5000);
    ASSERT_NE(pid, 0) << "the batch never started";
    kill(pid, SIGTERM);
    run_result r = finish(tracer, capture.path);
    EXPECT_EQ(r.status, 128 + SIGTERM);
    EXPECT_EQ(r.err.rfind("zelmor-batch: ended by Terminated: 1 converted, 0 failed, 0 not", 0), 0u)
        << r.err;
    EXPECT_EQ(slurp(dir.path / "a.eqn-file"), zelmor_output(line_in));
}

// A signal while strace holds the parent in a call: the batch ends by it,
// at once.  Sent to the group as Ctrl-C is, with two workers waiting on
// FIFOs and the second stopped, so that the parent sees the first one end
// while the reports are still open: both files are not converted, neither
// failed.
TEST(Batch, SignalWhileTheParentIsHeld) {
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs strace";
    if (!emulator().empty()) GTEST_SKIP() << "under an emulator, strace would trace the emulator";
    struct held_case {
        const char *fault;
        std::vector<std::string> args, held; // held: the call, then strace's -P paths
        std::string list;
        bool group;              // sent to the process group, as Ctrl-C is
        std::string err, unseen; // the end of standard error; a path never looked at
    };
    const held_case rows[] = {
        {"worker ended by Ctrl-C before the parent heard it counted as failed",
         {"-j2", "a.tmp", "b.tmp"},
         {"poll"},
         "",
         true,
         "zelmor-batch: ended by Interrupt: 0 converted, 0 failed, 2 not converted in ",
         ""},
        {"signal while planning a list heard only when the plan ends",
         {"-j1"},
         {"newfstatat", "-P", "c.tmp", "-P", "d.tmp"},
         "a.tmp\nc.tmp\nd.tmp\n",
         false,
         "zelmor-batch: ended by Terminated: ",
         "d.tmp"},
    };
    for (const held_case &c : rows) {
        SCOPED_TRACE(c.fault);
        temp_dir dir, capture, logs;
        for (const char *fifo : {"a.tmp", "b.tmp"}) // never written: their workers wait
            ASSERT_EQ(mkfifo((dir.path / fifo).c_str(), 0600), 0);
        spit(dir.path / "c.tmp", line_in), spit(dir.path / "d.tmp", line_in);
        run_options opts{.program = batch};
        if (!c.list.empty()) opts.input = c.list;
        opts.wrapper = {"strace", "-qq",
                        "-o",     (logs.path / "log").string(),
                        "-e",     "trace=" + c.held[0],
                        "-e",     "inject=" + c.held[0] + ":delay_enter=2000000"};
        opts.wrapper.insert(opts.wrapper.end(), c.held.begin() + 1, c.held.end());
        opts.wrapper.push_back("setsid"); // a group of its own, to send Ctrl-C's signal to
        pid_t tracer = start(dir.path, c.args, opts, capture.path), pid = 0;
        started_tree guard{tracer};
        std::vector<pid_t> workers;
        auto held = [&] { // held, its workers started and, with Ctrl-C, waiting
            workers = (pid = child(tracer)) == 0 ? std::vector<pid_t>{} : children(pid);
            return !workers.empty() && started_tree::stopped(pid) &&
                   (!c.group || (workers.size() == 2 && waits_on_fifo(workers[0]) &&
                                 waits_on_fifo(workers[1])));
        };
        for (int i = 0; i < 1000 && !held(); ++i) usleep(5000);
        ASSERT_FALSE(workers.empty());
        if (c.group) {
            ASSERT_EQ(getpgid(pid), pid) << "not in a group of its own";
            ASSERT_EQ(workers.size(), 2u);
            kill(workers[1], SIGSTOP);
            for (int i = 0; i < 1000 && !started_tree::stopped(workers[1]); ++i) usleep(1000);
        }
        signal_process(pid, c.group ? SIGINT : SIGTERM, c.group);
        if (c.group) { // the parent has seen the first end, and waits for the second
            for (int i = 0; i < 1000 && !in_syscall(pid, SYS_wait4) && !in_syscall(pid, SYS_waitid);
                 ++i)
                usleep(5000);
            kill(workers[1], SIGCONT);
        }
        run_result r = finish(tracer, capture.path, opts);
        EXPECT_EQ(r.status, 128 + (c.group ? SIGINT : SIGTERM));
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err; // after strace's words
        if (!c.unseen.empty()) {
            EXPECT_EQ(slurp(logs.path / "log").find(c.unseen), std::string::npos);
        }
    }
}

// A call of the plan failing as strace makes it fail: an entry gone between
// the listing and the look is passed over, any other error refuses, and so
// does a failed wait on the list.
TEST(Batch, PlanCallFails) {
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs strace";
    if (!emulator().empty()) GTEST_SKIP() << "under an emulator, strace would trace the emulator";
    struct fail_case {
        const char *fault;
        std::vector<std::string> strace, args; // the look at d/other.lock is named as the call
        int status;                            // names it
        std::string err;
    };
    auto look = [](const char *err) {
        return std::vector<std::string>{"-P", "other.lock",
                                        "-e", "trace=newfstatat",
                                        "-e", std::string("inject=newfstatat:error=") + err};
    };
    const fail_case rows[] = {
        {"entry gone between the listing and the look refused the plan",
         look("ENOENT"),
         {"-j1", "d"},
         0,
         ""},
        {"directory gone before the search entered it refused the plan",
         {"-P", "sub", "-e", "trace=openat,newfstatat", "-e", "inject=openat:error=ENOENT", "-e",
          "inject=newfstatat:error=ENOENT:when=2"},
         {"-j1", "d"},
         0,
         ""},
        {"directory changed during the search named for its error",
         {"-P", "sub", "-e", "trace=openat", "-e", "inject=openat:error=ENOTDIR"},
         {"-j1", "d"},
         2,
         "zelmor-batch: d/sub: changed during the search\n"},
        {"directory the search cannot enter said to have changed",
         {"-P", "sub", "-e", "trace=openat", "-e", "inject=openat:error=EACCES"},
         {"-j1", "d"},
         2,
         "zelmor-batch: d/sub: Permission denied\n"},
        {"look that failed otherwise passed over",
         look("EACCES"),
         {"-j1", "d"},
         2,
         "zelmor-batch: d/other.lock: Permission denied\n"},
        {"worker's last reports lost when it is reaped after a failed wait",
         {"-e", "trace=poll", "-e", "inject=poll:error=ENOMEM"},
         {"-j1", "d"},
         0,
         ""},
        {"failed wait on the list taken for its end",
         {"-e", "trace=poll", "-e", "inject=poll:error=ENOMEM:when=1"},
         {"-j1"},
         2,
         "zelmor-batch: poll: Cannot allocate memory\n"}};
    for (const fail_case &c : rows) {
        SCOPED_TRACE(c.fault);
        temp_dir dir;
        fs::create_directory(dir.path / "d");
        spit(dir.path / "d/a.tmp", line_in), spit(dir.path / "d/other.lock", "");
        fs::create_directory(dir.path / "d/sub");
        run_options opts{.program = batch, .input = "d/a.tmp\n"};
        opts.wrapper = {"strace", "-qq", "-E", "ASAN_OPTIONS=detect_leaks=0", "-o", "/dev/null"};
        opts.wrapper.insert(opts.wrapper.end(), c.strace.begin(), c.strace.end());
        run_result r = run(dir.path, c.args, opts);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(slurp(dir.path / "d/a.eqn-file"), c.status == 0 ? line_out : "");
    }
}

// Files changed after the plan, while the only worker waits on a FIFO it
// was given first: each is named, changed, and not converted, and nothing
// is followed to where the change points.
TEST(Batch, ChangedAfterThePlan) {
    struct change_case {
        const char *fault;
        std::string path; // given after the FIFO
        std::function<void(const fs::path &)> change;
        std::string err;
        std::string absent;
    };
    const change_case changes[] = {
        {"directory swapped for a link after the plan followed", "tree",
         [](const fs::path &d) {
             fs::rename(d / "tree/sub", d / "moved");
             fs::create_directory_symlink("../private", d / "tree/sub");
         },
         "tree/sub/z.tmp: changed since the search; not converted\n", "private/z.eqn-file"},
        {"file swapped for a FIFO after the plan waited on", "tree",
         [](const fs::path &d) {
             fs::remove(d / "tree/sub/z.tmp");
             mkfifo((d / "tree/sub/z.tmp").c_str(), 0600);
         },
         "tree/sub/z.tmp: changed since the search; not converted\n", "tree/sub/z.eqn-file"},
        {"directory removed after the plan taken for success", "tree",
         [](const fs::path &d) { fs::remove_all(d / "tree/sub"); },
         "tree/sub/z.tmp: changed since the search; not converted\n", "tree/sub/z.eqn-file"},
        {"directory replaced by another after the plan converted there", "tree",
         [](const fs::path &d) {
             fs::rename(d / "tree/sub", d / "moved");
             fs::create_directory(d / "tree/sub");
             spit(d / "tree/sub/z.tmp", line_in);
         },
         "tree/sub/z.tmp: changed since the search; not converted\n", "tree/sub/z.eqn-file"},
        {"PATH replaced after the plan converted there", "tree",
         [](const fs::path &d) {
             fs::rename(d / "tree", d / "moved");
             fs::create_directories(d / "tree/sub");
             spit(d / "tree/sub/z.tmp", line_in);
         },
         "tree/sub/z.tmp: changed since the search; not converted\n", "tree/sub/z.eqn-file"},
        {"named file replaced after the plan converted", "tree/sub/z.tmp",
         [](const fs::path &d) {
             spit(d / "other", line_in);
             fs::rename(d / "other", d / "tree/sub/z.tmp");
         },
         "tree/sub/z.tmp: changed since the plan; not converted\n", "tree/sub/z.eqn-file"},
    };
    for (const change_case &c : changes) {
        SCOPED_TRACE(c.fault);
        temp_dir dir, capture;
        ASSERT_EQ(mkfifo((dir.path / "wait.tmp").c_str(), 0600), 0);
        for (const char *name : {"tree/sub/z.tmp", "private/z.tmp"}) {
            fs::create_directories((dir.path / name).parent_path());
            spit(dir.path / name, line_in);
        }
        pid_t pid = start(dir.path, {"-j1", "wait.tmp", c.path}, {.program = batch}, capture.path);
        started_tree guard{pid};
        int w = open((dir.path / "wait.tmp").c_str(), O_WRONLY); // the plan is made
        c.change(dir.path);
        close(w);
        run_result r = finish(pid, capture.path);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "zelmor-batch: " + c.err);
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path / c.absent))) << c.absent;
        EXPECT_EQ(partial_files(dir.path), std::vector<std::string>{});
    }
}

// Pinned to one CPU and given no -j, the batch starts one worker, not one
// for each CPU of the machine.
TEST(Batch, OneWorkerPerUsableCpu) {
    if (std::system("taskset -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs taskset";
    temp_dir dir, capture;
    ASSERT_EQ(mkfifo((dir.path / "a.tmp").c_str(), 0600), 0);
    pid_t pid = start(dir.path, {"a.tmp"}, {.program = batch, .wrapper = {"taskset", "-c", "0"}},
                      capture.path);
    started_tree guard{pid};
    int w = open((dir.path / "a.tmp").c_str(), O_WRONLY); // a worker has it: all are started
    EXPECT_EQ(children(pid).size(), 1u);
    close(w);
    EXPECT_EQ(finish(pid, capture.path).status, 0);
}

// A signal while a worker waits for its next input: the file it converted
// before, written in place (its equation file has a second link), stays.
TEST(Batch, SignalBetweenFilesSparesTheLastConverted) {
    temp_dir dir, capture;
    spit(dir.path / "a.tmp", line_in);
    spit(dir.path / "a.eqn-file", "old");
    ASSERT_EQ(link((dir.path / "a.eqn-file").c_str(), (dir.path / "link").c_str()), 0);
    ASSERT_EQ(mkfifo((dir.path / "b.tmp").c_str(), 0600), 0); // never written: opening it waits
    pid_t pid = start(dir.path, {"-j", "1", "a.tmp", "b.tmp"}, {.program = batch}, capture.path);
    started_tree guard{pid};
    const std::string want = zelmor_output(line_in);
    // Past the report of a.tmp, the worker waits to open b.tmp.
    for (int i = 0; i < 1000 && !(slurp(dir.path / "link") == want && waits_on_fifo(child(pid)));
         ++i)
        usleep(5000);
    kill(pid, SIGTERM);
    EXPECT_EQ(finish(pid, capture.path).status, 128 + SIGTERM);
    EXPECT_EQ(slurp(dir.path / "link"), want);
}

} // namespace

// Short of memory: under every limit of address space from one the loader
// cannot start in to one that is plenty, each program that starts ends by an exit,
// never by the C++ runtime's abort: a conversion, or a failure said with
// the previous file kept.
TEST(Batch, ShortOfMemoryFailsWithoutAnAbort) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers need more address space than any limit here";
#endif
    if (!emulator().empty()) GTEST_SKIP() << "the limit would be the emulator's";
    size_t failed = 0;
    for (const std::string &program : {program_path(), batch})
        // In steps finer than the 80 KiB or so of limits where the C++
        // runtime's reserve for exceptions is missing and the rest is not.
        for (int kib = 1500; kib <= 12000; kib += 50) {
            SCOPED_TRACE(program + " under ulimit -v " + std::to_string(kib));
            temp_dir dir;
            spit(dir.path / "a.tmp", line_in), spit(dir.path / "a.eqn-file", "previous");
            run_options opts{.program = "sh", .host_tool = true};
            std::string limit = "ulimit -v " + std::to_string(kib) + " && exec \"$0\" ";
            // Below what the loader, or a static program's start, needs, no
            // program gets as far as its usage line.
            std::string probe = program == batch ? "-j 0" : "";
            int probed = run(dir.path, {"-c", limit + probe, program}, opts).status;
            ASSERT_LT(probed, 128) << "the usage line aborted";
            if (probed != 2) continue;
            run_result r = run(dir.path, {"-c", limit + "a.tmp", program}, opts);
            ASSERT_LT(r.status, 128) << r.err;
            EXPECT_EQ(slurp(dir.path / "a.eqn-file"), r.status == 0 ? line_out : "previous");
            failed += r.status == 0 ? 0 : 1;
        }
    EXPECT_GT(failed, 0u) << "no limit was short of the conversion's memory";
}
