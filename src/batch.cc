// zelmor-batch [-j N] [-n] [-0] [PATH...]: convert many temporary files into
// their equation files, each exactly as zelmor converts one.
//
// The driver of many conversions: the command line, the plan, the workers
// and the exit status.  First it gathers the inputs (PATHs that are files as
// they are, directories searched for regular files named *.tmp without
// following links, or a list on standard input) and computes each one's
// equation file; two inputs that name the same equation file, or an input
// it cannot use, stop it before it converts anything.  Then worker
// processes, forked once each, convert the files one after another
// in-process (convert.h), each taking back its current file if a signal
// ends it; the parent names every failure, keeps a progress line on a
// terminal, and passes a signal that ends the batch on to the workers
// before it ends by that signal itself.
//
// Exit status: 0 when every input was converted, 1 when any failed, 2 for a
// usage error or a plan refused; ended by a signal, by that signal.
#include "convert.h"
#include "takeback.h"
#include "zelmor.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <exception>
#include <fcntl.h>
#include <getopt.h>
#include <map>
#include <memory>
#include <new>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace {

constexpr char usage_text[] =
    "usage: zelmor-batch [-j N] [-n] [-0] [PATH...]\n"
    "Converts each temporary file into its equation file, as zelmor does.\n"
    "  PATH  a file, or a directory searched for regular files named *.tmp;\n"
    "        with no PATH, or with -0, the files listed on standard input\n"
    "  -j N  convert with N worker processes (default: the CPUs available)\n"
    "  -n    print each input and its equation file, and convert nothing\n"
    "  -0    the list on standard input, and what -n prints, end each name\n"
    "        with a NUL byte rather than a newline\n";
constexpr unsigned max_jobs = 1024;
constexpr long redraw_ms = 250; // the progress line's least interval

// ---- Talking to the user ----

// Writes all of `s`; false, with errno set, if it cannot.
bool put(int fd, const std::string &s) {
    for (size_t at = 0; at < s.size();) {
        ssize_t w = write(fd, s.data() + at, s.size() - at);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return w == 0 ? (errno = EIO, false) : false;
        at += static_cast<size_t>(w);
    }
    return true;
}

void complain(const std::string &what) {
    (void)put(STDERR_FILENO, "zelmor-batch: " + what + "\n"); // nowhere else to say it
}

// The exit status after writing to standard output: 0, or 1 having said
// why the output was lost.
int written(bool ok) {
    if (ok) return 0;
    complain(std::string("standard output: ") + std::strerror(errno));
    return 1;
}

long now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// ---- The command line ----

struct options {
    unsigned jobs = 0; // 0: the CPUs available
    bool plan_only = false;
    bool nul = false;
    std::vector<std::string> paths;
};

// Reads the options; returns -1 to go on, or the exit status.
int parse(int argc, char **argv, options &o) {
    static const option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, 'V'},
                                          {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "j:n0", long_options, nullptr)) != -1;) {
        switch (c) {
        case 'j': {
            char *end = nullptr;
            errno = 0;
            unsigned long n = std::strtoul(optarg, &end, 10);
            if (errno != 0 || *end != '\0' || *optarg == '-' || n == 0 || n > max_jobs) {
                complain(std::string("-j ") + optarg + ": not a number of jobs from 1 to " +
                         std::to_string(max_jobs));
                return 2;
            }
            o.jobs = static_cast<unsigned>(n);
            break;
        }
        case 'n':
            o.plan_only = true;
            break;
        case '0':
            o.nul = true;
            break;
        case 'h':
            return written(put(STDOUT_FILENO, usage_text));
        case 'V':
            return written(put(STDOUT_FILENO, "zelmor-batch " ZELMOR_VERSION "\n"));
        default:
            complain(std::string("unknown option ") + argv[optind - 1]);
            (void)put(STDERR_FILENO, usage_text);
            return 2;
        }
    }
    o.paths.assign(argv + optind, argv + argc);
    if (o.nul && !o.paths.empty()) {
        complain("-0 reads the list of files from standard input: no PATH goes with it");
        return 2;
    }
    return -1;
}

unsigned cpus_available() {
#ifdef __linux__
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
#endif
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1;
}

// ---- Gathering the inputs ----

bool named_tmp(const std::string &name) {
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0;
}

// Adds the regular files named *.tmp below the directory `path`, in the
// order of their names, not following links; false, having said why, if a
// directory cannot be read.
bool search(const std::string &path, std::vector<std::string> &found) {
    DIR *d = opendir(path.c_str());
    if (d == nullptr) return complain(path + ": " + std::strerror(errno)), false;
    std::vector<std::pair<std::string, bool>> entries; // name, and whether a directory
    bool ok = true;
    errno = 0;
    for (dirent *e; (e = readdir(d)) != nullptr; errno = 0) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (fstatat(dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            complain(path + "/" + name + ": " + std::strerror(errno));
            ok = false;
        } else if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && named_tmp(name))) {
            entries.emplace_back(name, S_ISDIR(st.st_mode));
        }
    }
    if (errno != 0) complain(path + ": " + std::strerror(errno)), ok = false;
    closedir(d);
    std::sort(entries.begin(), entries.end());
    std::string prefix = path.back() == '/' ? path : path + "/";
    for (const auto &[name, is_dir] : entries) {
        if (is_dir) ok = search(prefix + name, found) && ok;
        else found.push_back(prefix + name);
    }
    return ok;
}

// Reads the list of inputs from standard input, one name ending at each
// `end` byte (or at the end of the input); empty names are passed over.
bool read_list(char end, std::vector<std::string> &found) {
    std::string all;
    char buf[65536];
    for (;;) {
        ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return complain(std::string("standard input: ") + std::strerror(errno)), false;
        if (n == 0) break;
        all.append(buf, static_cast<size_t>(n));
    }
    for (size_t at = 0; at < all.size();) {
        size_t stop = std::min(all.find(end, at), all.size());
        if (stop > at) found.push_back(all.substr(at, stop - at));
        at = stop + 1;
    }
    return true;
}

// ---- The plan ----

// One conversion: the input and its equation file.
struct job {
    std::string input, output;
};

// Where a name leads: its directory's device and inode and its last
// component, so that two spellings of one place compare equal whether or
// not the file exists yet.
struct place_key {
    dev_t dev;
    ino_t ino;
    std::string name;
    bool operator<(const place_key &o) const {
        return std::tie(dev, ino, name) < std::tie(o.dev, o.ino, o.name);
    }
};

place_key key_of(const std::string &path) {
    size_t slash = path.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) return {0, 0, path}; // the conversion will say why
    return {st.st_dev, st.st_ino, name};
}

// Computes every input's equation file: the same file given twice is
// converted once, and an input that cannot be converted, or two that name
// one equation file, refuse the plan, each said.
bool make_plan(const std::vector<std::string> &inputs, std::vector<job> &jobs) {
    bool ok = true;
    std::map<std::pair<dev_t, ino_t>, std::vector<place_key>> seen; // input file -> its places
    std::map<place_key, std::vector<std::string>> outputs;          // equation file -> inputs
    for (const std::string &input : inputs) {
        struct stat st, out_st;
        if (stat(input.c_str(), &st) != 0) {
            complain(input + ": " + std::strerror(errno));
            ok = false;
            continue;
        }
        job j{input, ""};
        make_filename(input.c_str(), j.output);
        if (j.output == input) {
            complain(input + ": no .tmp in the name, so no equation file of its own");
            ok = false;
            continue;
        }
        if (stat(j.output.c_str(), &out_st) == 0 && out_st.st_dev == st.st_dev &&
            out_st.st_ino == st.st_ino) {
            complain(input + ": its equation file " + j.output + " is the input itself");
            ok = false;
            continue;
        }
        place_key key = key_of(j.output);
        std::vector<place_key> &places = seen[{st.st_dev, st.st_ino}];
        if (std::find_if(places.begin(), places.end(), [&](const place_key &k) {
                return !(k < key) && !(key < k);
            }) != places.end())
            continue; // given before
        places.push_back(key);
        outputs[key].push_back(input);
        jobs.push_back(std::move(j));
    }
    for (const auto &[key, names] : outputs) {
        if (names.size() < 2) continue;
        std::string all;
        for (size_t i = 0; i < names.size(); ++i)
            all += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
        std::string output;
        make_filename(names[0].c_str(), output);
        complain(all + (names.size() == 2 ? " both" : " all") + " name " + output);
        ok = false;
    }
    return ok;
}

// ---- The workers ----

// What the parent sends a worker for each file: the file's place in the
// plan and the length of its name, then the name.
struct order {
    uint64_t index;
    uint64_t length;
};

// What a worker tells the parent of each file, in one write to a pipe that
// all workers share, which keeps writes this small whole.
struct report {
    uint64_t index;
    uint64_t bytes;
    uint32_t worker;
    int32_t err; // 0: converted
};

// Reads exactly n bytes; false at the end of the input or on an error.
bool read_all(int fd, void *buf, size_t n) {
    auto *p = static_cast<unsigned char *>(buf);
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// A worker: converts the files the parent sends it, one after another,
// until its orders end.  It is started before the plan is made, so that it
// holds nothing of it: as small as zelmor, whatever the number of files.  A
// signal that ends the batch ends it too, taking back its current file;
// between files, nothing is armed and it just ends.
[[noreturn]] void work(uint32_t me, int orders, int reports) {
    std::unique_ptr<conversion_buffers> buffers(new (std::nothrow) conversion_buffers);
    std::string path;
    try {
        for (order o; read_all(orders, &o, sizeof o);) {
            path.resize(o.length);
            if (!read_all(orders, path.data(), path.size())) break;
            report r{o.index, 0, me, 0};
            r.err = buffers == nullptr ? ENOMEM : convert_file(path.c_str(), *buffers, r.bytes);
            if (write(reports, &r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(3);
            release_signals(); // held from the commit: one that came ends the worker here
        }
    } catch (...) {
        _exit(3); // out of memory for a name: the parent names the file
    }
    _exit(0);
}

// The parent's side of a worker.
struct worker {
    pid_t pid = 0;
    int orders = -1;               // the pipe that sends it files; -1 once closed
    uint64_t current = UINT64_MAX; // the file it converts, if any
};

// The workers and the pipe their reports come by.
struct crew {
    std::vector<worker> workers;
    std::vector<pid_t> pids; // for the forwarding of signals
    int reports = -1;
};

// Starts n workers, with the signals held, so that one that arrives
// meanwhile is passed on to every worker started; false, having said why,
// if none could be.
bool start_workers(unsigned n, crew &c) {
    int report_pipe[2];
    if (pipe(report_pipe) != 0)
        return complain(std::string("pipe: ") + std::strerror(errno)), false;
    c.reports = report_pipe[0];
    c.workers.reserve(n);
    c.pids.reserve(n);
    catch_ending_signals();
    hold_signals();
    for (uint32_t i = 0; i < n; ++i) {
        int order_pipe[2];
        if (pipe(order_pipe) != 0) {
            complain(std::string("pipe: ") + std::strerror(errno));
            break;
        }
        pid_t pid = fork();
        if (pid == 0) {
            // Only its own orders, and the reports: a worker holding
            // another's orders would keep that one from seeing their end.
            for (const worker &w : c.workers) close(w.orders);
            close(order_pipe[1]);
            close(report_pipe[0]);
            forward_ending_signals(nullptr, 0);
#ifdef __linux__
            (void)prctl(PR_SET_PDEATHSIG, SIGTERM); // a parent killed outright ends its workers
#endif
            release_signals();
            work(i, order_pipe[0], report_pipe[1]);
        }
        close(order_pipe[0]);
        if (pid < 0) {
            close(order_pipe[1]);
            complain(std::string("fork: ") + std::strerror(errno));
            break;
        }
        c.workers.push_back({pid, order_pipe[1], UINT64_MAX});
        c.pids.push_back(pid);
        forward_ending_signals(c.pids.data(), c.pids.size());
    }
    close(report_pipe[1]);
    release_signals();
    return !c.workers.empty();
}

// Ends the process by `sig`, which the parent passed on to its workers,
// once they have ended.
[[noreturn]] void end_by(int sig, crew &c) {
    for (worker &w : c.workers) {
        if (w.orders >= 0) close(w.orders);
        while (waitpid(w.pid, nullptr, 0) < 0 && errno == EINTR) {}
    }
    hold_signals();
    forward_ending_signals(nullptr, 0);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(sig, &dfl, nullptr);
    (void)raise(sig);
    release_signals(); // ends the process by the signal
    _exit(128 + sig);  // not reached
}

// Lets the workers go with nothing to do.
void stop_workers(crew &c) {
    for (worker &w : c.workers) {
        if (w.orders >= 0) close(w.orders);
        w.orders = -1;
        while (waitpid(w.pid, nullptr, 0) < 0 && errno == EINTR) {}
    }
    if (c.reports >= 0) close(c.reports);
    if (int sig = forwarded_signal(); sig != 0) end_by(sig, c);
}

// ---- The parent ----

// The progress line, on a terminal only.
struct progress {
    bool shown = false; // on standard error, a terminal
    long start = 0, drawn = 0;
    size_t total = 0, converted = 0, failed = 0;
    uint64_t bytes = 0;
};

void clear_line(progress &p) {
    if (p.shown) (void)put(STDERR_FILENO, "\r\033[K");
}

void draw(progress &p, bool force) {
    long now = now_ms();
    if (!p.shown || (!force && now - p.drawn < redraw_ms)) return;
    p.drawn = now;
    double seconds = static_cast<double>(now - p.start) / 1000,
           mib = static_cast<double>(p.bytes) / 1048576.0;
    char line[160];
    (void)std::snprintf(line, sizeof line, "\r%zu/%zu files, %.1f MiB, %.1f MiB/s%s\033[K",
                        p.converted + p.failed, p.total, mib, seconds > 0 ? mib / seconds : 0.0,
                        p.failed > 0 ? (", " + std::to_string(p.failed) + " failed").c_str() : "");
    (void)put(STDERR_FILENO, line);
}

// Counts a file converted, or names it failed, with `why` or the system's
// text for its error.
void take(progress &p, const std::vector<job> &jobs, const report &r, const char *why = nullptr) {
    if (r.err == 0 && why == nullptr) {
        ++p.converted;
        p.bytes += r.bytes;
        return;
    }
    ++p.failed;
    clear_line(p);
    complain(jobs[r.index].input + ": " + (why != nullptr ? why : std::strerror(r.err)));
    draw(p, true);
}

// Converts the plan with the workers, sending each the next file as it
// reports the last; returns the exit status, or ends by the signal that
// ended the batch.
int convert_all(const std::vector<job> &jobs, crew &c) {
    progress p;
    p.shown = isatty(STDERR_FILENO) == 1;
    p.start = now_ms();
    p.total = jobs.size();
    uint64_t next = 0;
    // Sends a worker the next file, or closes its orders when there is none
    // or it has ended.
    auto send = [&](worker &w) {
        const std::string *name = next < jobs.size() ? &jobs[next].input : nullptr;
        order o{next, name != nullptr ? name->size() : 0};
        if (name != nullptr &&
            put(w.orders, std::string(reinterpret_cast<const char *>(&o), sizeof o) + *name)) {
            w.current = next++;
            return;
        }
        close(w.orders);
        w.orders = -1;
    };
    for (worker &w : c.workers) send(w);

    std::vector<bool> reported(jobs.size(), false);
    for (bool open = true; open && forwarded_signal() == 0;) {
        pollfd pfd{c.reports, POLLIN, 0};
        int ready = poll(&pfd, 1, p.shown ? static_cast<int>(redraw_ms) : -1);
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0) {
            report r;
            ssize_t got = read(c.reports, &r, sizeof r);
            if (got == static_cast<ssize_t>(sizeof r) && r.index < jobs.size() &&
                r.worker < c.workers.size()) {
                reported[r.index] = true;
                take(p, jobs, r);
                c.workers[r.worker].current = UINT64_MAX;
                send(c.workers[r.worker]);
            } else if (got == 0 || (got < 0 && errno != EINTR)) {
                open = false; // every worker has ended
            }
        }
        draw(p, false);
    }
    if (int sig = forwarded_signal(); sig != 0) {
        clear_line(p);
        end_by(sig, c);
    }
    close(c.reports);

    // A worker that ended otherwise (killed alone, out of memory) leaves its
    // current file taken back and not reported: name it as failed.
    for (worker &w : c.workers) {
        int status = 0;
        while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {}
        if (w.current < jobs.size() && !reported[w.current]) {
            std::string why = "its worker ended";
            if (WIFSIGNALED(status)) why += std::string(" by ") + strsignal(WTERMSIG(status));
            take(p, jobs, {w.current, 0, 0, EIO}, why.c_str());
            reported[w.current] = true;
        }
        if (w.orders >= 0) close(w.orders);
    }
    if (int sig = forwarded_signal(); sig != 0) end_by(sig, c);
    // Files no worker was left to take (they could not start, or ended).
    for (uint64_t i = 0; i < jobs.size(); ++i)
        if (!reported[i])
            take(p, jobs, {i, 0, 0, EIO}, "not converted: no worker was left to take it");
    clear_line(p);
    long took = now_ms() - p.start;
    if (p.shown && took > 1000) {
        char line[128];
        (void)std::snprintf(line, sizeof line, "%zu converted, %zu failed in %.1f s\n", p.converted,
                            p.failed, static_cast<double>(took) / 1000);
        (void)put(STDERR_FILENO, line);
    }
    return p.failed > 0 ? 1 : 0;
}

} // namespace

int main(int argc, char **argv) {
    if (!start_process()) return 1;
    try {
        options o;
        if (int status = parse(argc, argv, o); status >= 0) return status;
        // The workers first, before anything of the plan is in memory.
        crew c;
        if (!o.plan_only) {
            unsigned n = o.jobs != 0 ? o.jobs : std::min(cpus_available(), max_jobs);
            if (!start_workers(n, c)) return 1;
        }
        std::vector<std::string> inputs;
        bool ok = true;
        if (o.paths.empty()) ok = read_list(o.nul ? '\0' : '\n', inputs);
        for (const std::string &path : o.paths) {
            struct stat st;
            if (stat(path.c_str(), &st) != 0) {
                complain(path + ": " + std::strerror(errno));
                ok = false;
            } else if (S_ISDIR(st.st_mode)) {
                ok = search(path, inputs) && ok;
            } else {
                inputs.push_back(path);
            }
        }
        std::vector<job> jobs;
        ok = make_plan(inputs, jobs) && ok;
        if (!ok || jobs.empty()) stop_workers(c);
        if (!ok) return 2;
        if (o.plan_only) {
            std::string out;
            for (const job &j : jobs)
                out += j.input + (o.nul ? '\0' : '\t') + j.output + (o.nul ? '\0' : '\n');
            return written(put(STDOUT_FILENO, out));
        }
        return jobs.empty() ? 0 : convert_all(jobs, c);
    } catch (const std::bad_alloc &) {
        complain("out of memory");
        return 1;
    } catch (const std::exception &e) {
        complain(e.what());
        return 1;
    }
}
