// zelmor-batch [-j N] [-n] [-u] [-0] [PATH...]: convert many temporary files
// into their equation files, each exactly as zelmor converts one; with -w
// DIR..., go on converting them as they are written (watch.h).
//
// The driver: the command line and the exit status.  It starts the workers
// (crew.h), makes the plan (plan.h: PATHs that are directories searched,
// search.h; other PATHs, or the files listed on standard input, as they
// are), prints it with -n, and has the workers convert it; what the user
// sees meanwhile is progress.h's.
//
// Exit status: 0 when every input was converted, 1 when any failed, 2 for a
// usage error or a plan refused; ended by a signal, by that signal.
#include "crew.h"
#include "plan.h"
#include "progress.h"
#include "search.h"
#include "takeback.h"
#include "watch.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <getopt.h>
#include <new>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char usage_text[] =
    "usage: zelmor-batch [-j N] [-n] [-u] [-0] [PATH...]\n"
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
constexpr unsigned max_jobs = 1024;

// The exit status after writing to standard output: 0, or 1 having said
// why the output was lost.
int written(bool ok) {
    if (ok) return 0;
    complain(std::string("standard output: ") + std::strerror(errno));
    return 1;
}

struct options {
    unsigned jobs = 0; // 0: the CPUs available
    bool plan_only = false;
    bool update = false;
    bool nul = false;
    bool watch = false;
    std::vector<std::string> paths;
};

// -w watches directories, and goes with no list and no plan alone.
int watch_usage(const options &o) {
    std::string wrong = o.plan_only || o.nul ? "-w goes with neither -n nor -0"
                        : o.paths.empty()    ? "-w needs a DIR to watch"
                                             : "";
    for (const std::string &path : o.paths) {
        struct stat st;
        if (wrong.empty() && (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
            wrong = "-w watches directories: " + quoted(path) + " is not one";
    }
    if (wrong.empty()) return -1;
    complain(wrong);
    (void)put(STDERR_FILENO, usage_text);
    return 2;
}

// Reads the options; returns -1 to go on, or the exit status.
int parse(int argc, char **argv, options &o) {
    static const option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, 'V'},
                                          {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":j:nu0w", long_options, nullptr)) != -1;) {
        switch (c) {
        case 'j': {
            char *end = nullptr;
            errno = 0;
            unsigned long n = std::strtoul(optarg, &end, 10);
            // Digits alone: strtoul would also take spaces and a sign first.
            if (errno != 0 || *end != '\0' ||
                std::isdigit(static_cast<unsigned char>(*optarg)) == 0 || n == 0 || n > max_jobs) {
                complain("-j " + quoted(optarg) + ": not a number of jobs from 1 to " +
                         std::to_string(max_jobs));
                return 2;
            }
            o.jobs = static_cast<unsigned>(n);
            break;
        }
        case 'n':
            o.plan_only = true;
            break;
        case 'u':
            o.update = true;
            break;
        case '0':
            o.nul = true;
            break;
        case 'w':
            o.watch = true;
            break;
        case 'h':
            return written(put(STDOUT_FILENO, usage_text));
        case 'V':
            return written(put(STDOUT_FILENO, "zelmor-batch " ZELMOR_VERSION "\n"));
        case ':': // only -j takes a value
            complain(quoted(std::string("-") + static_cast<char>(optopt)) + " needs a number");
            (void)put(STDERR_FILENO, usage_text);
            return 2;
        default: // a letter refused, or a long option; the latter's text is all there is
            // A long option's text, with any value it was given, is its own.
            bool is_long = std::strncmp(argv[optind - 1], "--", 2) == 0;
            complain("unknown option " + quoted(optopt != 0 && !is_long
                                                    ? std::string("-") + static_cast<char>(optopt)
                                                    : std::string(argv[optind - 1])));
            (void)put(STDERR_FILENO, usage_text);
            return 2;
        }
    }
    o.paths.assign(argv + optind, argv + argc);
    if (o.nul && !o.paths.empty()) {
        complain("-0 reads the list of files from standard input: no PATH goes with it");
        return 2;
    }
    if (o.watch) return watch_usage(o);
    // A list typed at a terminal is not what anyone means.
    if (o.paths.empty() && isatty(STDIN_FILENO) == 1) {
        (void)put(STDERR_FILENO, usage_text);
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

// The search holds a descriptor for each directory on its way down, and a
// worker for each on the way to its file: as many as may be, so that depth
// is bound by the system's limit, not by the default.
void most_descriptors() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == files.rlim_max) return;
    files.rlim_cur = files.rlim_max;
    (void)setrlimit(RLIMIT_NOFILE, &files); // the default serves, if this fails
}

// Prints the plan: each input and its equation file, quoted as messages
// quote names, or as they are with -0; and how many are up to date.
// Written a pipe's worth at a time, so that the plan is never held twice.
int print_plan(const plan &pl, bool nul) {
    std::string out;
    for (size_t i = 0; i < pl.jobs.size(); ++i) {
        std::string input = input_of(pl, pl.jobs[i]), output = output_of(pl, pl.jobs[i]);
        out += nul ? input + '\0' + output + '\0' : quoted(input) + '\t' + quoted(output) + '\n';
        if ((out.size() >= 65536 || i + 1 == pl.jobs.size()) && !put(STDOUT_FILENO, out))
            return written(false);
        if (out.size() >= 65536) out.clear();
    }
    if (pl.up_to_date > 0) complain(std::to_string(pl.up_to_date) + " up to date, not listed");
    return written(true);
}

// Short of memory where even the exception that says so cannot be had (the
// C++ runtime's reserve for it may be missing under a small ulimit -v): in
// a worker, what is being written is taken back; a parent's workers end
// with it, and take theirs back.  The run fails, said.
[[noreturn]] void out_of_memory() {
    take_back_now();
    static const char said[] = "zelmor-batch: out of memory\n";
    ssize_t told = write(STDERR_FILENO, said, sizeof said - 1); // nowhere else to say it
    (void)told;
    _exit(1);
}

} // namespace

int main(int argc, char **argv) {
    std::set_new_handler(out_of_memory);
    unsigned closed = 0;
    if (!start_process(closed)) return 1;
    try {
        options o;
        if (int status = parse(argc, argv, o); status >= 0) return status;
        if (o.plan_only && (closed & 1u << STDOUT_FILENO) != 0) {
            complain("standard output is closed: the plan has nowhere to go");
            return 1;
        }
        most_descriptors();
        if (o.watch)
            return watch_all(o.paths, o.jobs != 0 ? o.jobs : std::min(cpus_available(), max_jobs));
        // The workers first, before anything of the plan is in memory.
        crew c;
        if (!o.plan_only) {
            unsigned n = o.jobs != 0 ? o.jobs : std::min(cpus_available(), max_jobs);
            if (!start_workers(n, c)) return 1;
        }
        plan pl;
        pl.update = o.update;
        if (o.paths.empty()) {
            if (read_list(pl, o.nul ? '\0' : '\n', c.wake[0])) plan_listed(pl);
            else pl.refused = true;
        }
        // Each PATH in turn, until a signal ends the batch.
        for (const std::string &path : o.paths) {
            if (forwarded_signal() != 0) break;
            struct stat st;
            if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) search(pl, path);
            else plan_named(pl, path);
        }
        bool ok = plan_checked(pl);
        if (!ok || pl.jobs.empty() || forwarded_signal() != 0) stop_workers(c, pl.jobs.size());
        if (!ok) return 2;
        if (o.plan_only) return print_plan(pl, o.nul);
        if (!pl.jobs.empty()) return convert_all(pl, c);
        progress p;
        progress_start(p, 0);
        return summary(p, pl.up_to_date);
    } catch (const std::bad_alloc &) {
        complain("out of memory");
        return 1;
    } catch (const std::exception &e) {
        complain(e.what());
        return 1;
    }
}
