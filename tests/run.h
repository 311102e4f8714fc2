// Running the built program as a user does, in a temporary directory.
#ifndef ZELMOR_TESTS_RUN_H
#define ZELMOR_TESTS_RUN_H

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

inline const std::string failure = "\nzelmor reports problem with file operations\n";
inline const std::string usage = "usage: zelmor PATH\n";
inline const std::string line_in = "((e1 (x + 1) (y)))\n";
inline const std::string line_out = "((e1 (\"x\" \"+\" \"1\") (\"y\")))\n";

inline std::string repeat(const std::string &s, size_t n) {
    std::string r;
    r.reserve(s.size() * n);
    for (size_t i = 0; i < n; ++i) r += s;
    return r;
}

inline std::string slurp(const fs::path &p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// Sets or clears file flags on `p`, as chattr(1) takes them ("+i", "-a").
inline void chattr(const char *flags, const fs::path &p) {
    std::string cmd = std::string("chattr ") + flags + " '" + p.string() + "'";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error(cmd);
}

inline void spit(const fs::path &p, const std::string &s) {
    std::ofstream(p, std::ios::binary) << s;
}

// A directory that is removed with everything in it when the test ends.
struct temp_dir {
    fs::path path;
    temp_dir() {
        std::string t = (fs::temp_directory_path() / "zelmor-test-XXXXXX").string();
        if (mkdtemp(t.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path = t;
    }
    ~temp_dir() {
        std::error_code ec;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path, ec);
    }
};

// What standard input and output hold, open for reading and writing, while
// the program runs: neither may change, whatever the case.
inline const std::string stdin_guard = "standard input, never to be written\n";
inline const std::string stdout_guard = "standard output, never to be written\n";

struct run_result {
    int status; // exit status, or 128 + signal
    std::string out, err;
    bool signaled = false; // ended by the signal, not by an exit with its status
};

// The command that runs a program built for another CPU ("" natively),
// split into words: ZELMOR_TEST_EMULATOR's, if set, such as qemu-x86_64
// with the CPU model to run this machine's program as on another.
inline std::vector<std::string> emulator() {
    std::vector<std::string> words;
    const char *other = std::getenv("ZELMOR_TEST_EMULATOR");
    std::istringstream in(other != nullptr ? other : ZELMOR_EMULATOR);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// The program as a shell would run it, under the emulator if there is one:
// each word in single quotes, for a command line that script(1) runs.
inline std::string shell_words(const std::string &program) {
    std::string line;
    std::vector<std::string> words = emulator();
    words.push_back(program);
    for (const std::string &w : words) line += (line.empty() ? "'" : " '") + w + "'";
    return line;
}

// Thrown by a setup whose case an emulator cannot run: qemu's -L prefix
// takes absolute paths into the target's root, and it needs descriptors
// of its own.
struct native_only {};
inline void needs_native() {
    if (!emulator().empty()) throw native_only{};
}

// The program under test: the one built here, or another given in
// ZELMOR_TEST_PROGRAM, such as an earlier build to compare with.
inline std::string program_path() {
    const char *other = std::getenv("ZELMOR_TEST_PROGRAM");
    return other != nullptr && *other != '\0' ? other : ZELMOR_BIN;
}

// Exit statuses of the child before the program runs.
constexpr int cannot_switch_user = 125;   // setgroups, setgid or setuid failed
constexpr int cannot_reach_program = 124; // the other user cannot execute the program

struct run_options {
    mode_t umask = 022;
    rlim_t max_file_size = RLIM_INFINITY;
    rlim_t stack_size = RLIM_INFINITY; // left as it is when infinite
    rlim_t max_files = RLIM_INFINITY;  // left as it is when infinite
    uid_t user = 0; // run as this user (and group, no others) instead, when nonzero and root
    bool close_stdin_stderr = false;
    int ignored_signal = 0; // started with this signal ignored, as under nohup
    int blocked_signal = 0; // started with this signal blocked
    std::string program = program_path();
    std::vector<std::string> wrapper = {}; // a command that runs the program, such as strace
    bool host_tool = false; // the program is this machine's, such as script(1): never emulated
    std::optional<std::string> input = {}; // what standard input holds instead of its guard
    bool output = false; // standard output starts empty, and is what the program writes
};

// Starts the program with `args` in `dir`, under the wrapper if there is
// one, and returns its process ID.  Its standard input and output are files
// in `capture` holding the guards, its standard error a file there too, not
// in `dir`, so that they do not count as files it made.
inline pid_t start(const fs::path &dir, const std::vector<std::string> &args,
                   const run_options &opts, const fs::path &capture) {
    fs::path in = capture / "stdin", out = capture / "stdout", err = capture / "stderr";
    spit(in, opts.input.value_or(stdin_guard));
    spit(out, opts.output ? "" : stdout_guard);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed"); // never a pid of -1 to signal
    if (pid == 0) {
        std::vector<char *> argv;
        std::vector<std::string> prefix = opts.wrapper;
        std::vector<std::string> emu = opts.host_tool ? std::vector<std::string>{} : emulator();
        prefix.insert(prefix.end(), emu.begin(), emu.end());
        for (const std::string &w : prefix) argv.push_back(const_cast<char *>(w.c_str()));
        argv.push_back(const_cast<char *>(opts.program.c_str()));
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        int i = open(in.c_str(), O_RDWR), o = open(out.c_str(), O_RDWR);
        int e = open(err.c_str(), O_WRONLY | O_CREAT, 0600);
        rlimit fsize{opts.max_file_size, opts.max_file_size};
        rlimit stack{opts.stack_size, opts.stack_size}, files{opts.max_files, opts.max_files};
        rlimit no_core{0, 0};
        if (i < 0 || o < 0 || e < 0 || dup2(i, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 ||
            chdir(dir.c_str()) != 0 || setrlimit(RLIMIT_FSIZE, &fsize) != 0 ||
            setrlimit(RLIMIT_CORE, &no_core) != 0 ||
            (opts.stack_size != RLIM_INFINITY && setrlimit(RLIMIT_STACK, &stack) != 0) ||
            (opts.max_files != RLIM_INFINITY && setrlimit(RLIMIT_NOFILE, &files) != 0))
            _exit(126);
        close_range(3, ~0u, 0); // only 0, 1 and 2 are the program's
        if (opts.user != 0 && geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(opts.user) != 0 || setuid(opts.user) != 0))
            _exit(cannot_switch_user);
        if (opts.user != 0 && access(opts.program.c_str(), X_OK) != 0) _exit(cannot_reach_program);
        umask(opts.umask);
        sigset_t mask;
        sigemptyset(&mask);
        if (opts.blocked_signal != 0) sigaddset(&mask, opts.blocked_signal);
        sigprocmask(SIG_SETMASK, &mask, nullptr);
        for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
        if (opts.ignored_signal != 0) signal(opts.ignored_signal, SIG_IGN);
        if (opts.close_stdin_stderr) close(0), close(2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Waits for a started program to end; `out` is what standard output holds
// if it changed, "" if not.
inline run_result finish(pid_t pid, const fs::path &capture, const run_options &opts = {}) {
    int ws = 0;
    waitpid(pid, &ws, 0);
    int status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    EXPECT_EQ(slurp(capture / "stdin"), opts.input.value_or(stdin_guard))
        << "standard input was written";
    std::string out = slurp(capture / "stdout");
    return {status, out == stdout_guard ? "" : out, slurp(capture / "stderr"),
            WIFSIGNALED(ws) != 0};
}

inline run_result run(const fs::path &dir, const std::vector<std::string> &args,
                      const run_options &opts = {}) {
    temp_dir capture;
    return finish(start(dir, args, opts, capture.path), capture.path, opts);
}

// The processes that `pid` started and that run still, in one read.
inline std::vector<pid_t> children(pid_t pid) {
    std::istringstream list(
        slurp("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
    std::vector<pid_t> found;
    for (pid_t child; list >> child;) found.push_back(child);
    return found;
}

// The `i`th process that `pid` started, from one read; 0 if there are fewer.
inline pid_t child(pid_t pid, size_t i = 0) {
    std::vector<pid_t> all = children(pid);
    return i < all.size() ? all[i] : 0;
}

// Sends `sig` to the process `pid`, or to its group, never to 0 or -1,
// which name the sender's group, or every process there is.
inline void signal_process(pid_t pid, int sig, bool group = false) {
    if (pid > 1) kill(group ? -pid : pid, sig);
}

// Whether the process `pid` is in the system call `nr`.
inline bool in_syscall(pid_t pid, long nr) {
#ifdef ZELMOR_HOST_X86_64
    // Built for another CPU, the program runs under qemu-user, and the
    // kernel shows the emulator's own call, by the x86-64 host's number:
    // compared as built, every wait for a call ran to its limit.
    const std::pair<long, long> host[] = {
        {SYS_read, 0}, {SYS_write, 1}, {SYS_openat, 257}, {SYS_wait4, 61}, {SYS_waitid, 247}};
    for (const auto &[ours, theirs] : host)
        if (nr == ours) nr = theirs;
#endif
    long now = -1;
    if (pid > 0) std::istringstream(slurp("/proc/" + std::to_string(pid) + "/syscall")) >> now;
    return now == nr;
}

// Whether the process `pid` waits in the open of a FIFO for the other end
// (where the kernel does not say where a process waits, in any open).
inline bool waits_on_fifo(pid_t pid) {
    std::string where = pid > 0 ? slurp("/proc/" + std::to_string(pid) + "/wchan") : "";
    return in_syscall(pid, SYS_openat) && (where == "wait_for_partner" || where == "0");
}

// A started program that is killed, with every process below it, and
// reaped when the test leaves its scope without finishing it, as when an
// assertion fails.  Each process is stopped before its children are read,
// so that none of them is reaped and its pid reused meanwhile.
struct started_tree {
    pid_t pid;
    static bool stopped(pid_t p) { // stopped, traced, a zombie, or gone
        std::string stat = slurp("/proc/" + std::to_string(p) + "/stat");
        size_t at = stat.rfind(") ");
        return at == std::string::npos || at + 2 >= stat.size() ||
               std::string("TtZX").find(stat[at + 2]) != std::string::npos;
    }
    ~started_tree() {
        siginfo_t si{};
        // Reaped by finish() already (ECHILD): nothing of it is left to end.
        if (pid <= 0 ||
            waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOHANG | WNOWAIT) != 0)
            return;
        std::vector<pid_t> tree{pid};
        for (size_t i = 0; i < tree.size(); ++i) {
            kill(tree[i], SIGSTOP);
            for (int n = 0; n < 1000 && !stopped(tree[i]); ++n) usleep(1000);
            for (pid_t c : children(tree[i])) tree.push_back(c);
        }
        for (pid_t p : tree) kill(p, SIGKILL);
        int ws = 0;
        while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {}
    }
};

// Whether the started program `pid` ends within `ms` milliseconds; it is
// left to be finished.
inline bool ends_within(pid_t pid, int ms) {
    for (int waited = 0; waited < ms; waited += 10, usleep(10000)) {
        siginfo_t si{};
        if (waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            si.si_pid == pid)
            return true;
    }
    return false;
}

// The file's inode number, following links; 0 if there is none.
inline ino_t inode(const fs::path &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

// The files a run left that only an unfinished run should: its new file.
inline std::vector<std::string> partial_files(const fs::path &dir) {
    std::vector<std::string> found;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        if (e.path().filename().string().rfind(".zelmor-partial-", 0) == 0)
            found.push_back(e.path().string());
    return found;
}

#endif
