// The other side of zelmor-batch -w, for bench/watch.sh: a writer of 1 KiB
// files into a watched directory and a reader that waits for each equation
// file to be published (renamed into place, complete).
//
//   zelmor-watch-feed latency DIR N
//     N files one at a time: the time from the writer's close to the
//     published equation file; prints the median and the 99th percentile
//     in microseconds.  Each pair is removed before the next.
//   zelmor-watch-feed arrive STAGE DIR N
//     moves the N files STAGE/f*.tmp into DIR as fast as it can, and prints
//     the seconds from the first move to the last equation file.
//   zelmor-watch-feed move STAGE DIR N
//     moves them the same way, and prints the seconds the moves took.
//   zelmor-watch-feed memory DIR PID N1 N2
//     files in batches of 1,000, each batch converted then removed; after
//     N1 files and after N2, prints the peak resident memory (VmHWM) of
//     PID, the watcher, and of its largest worker, in KiB.
#include <sys/inotify.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

const std::string kib = [] {
    std::string s;
    while (s.size() + 24 < 1024) s += "((e1 (x + 1) (y z w)))\n";
    return s;
}();

[[noreturn]] void die(const std::string &what) {
    std::perror(what.c_str());
    std::exit(1);
}

void write_file(const std::string &path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, kib.data(), kib.size()) != static_cast<ssize_t>(kib.size()) ||
        close(fd) != 0)
        die(path);
}

// Waits until `count` more equation files have been published in the
// watched directory.
void await(int in, size_t count) {
    alignas(inotify_event) char buf[65536];
    while (count > 0) {
        ssize_t got = read(in, buf, sizeof buf);
        if (got <= 0) die("inotify");
        for (char *at = buf; at < buf + got;) {
            auto *e = reinterpret_cast<inotify_event *>(at);
            std::string name = e->len > 0 ? e->name : "";
            if (name.size() > 9 && name.compare(name.size() - 9, 9, ".eqn-file") == 0 && count > 0)
                --count;
            at += sizeof(inotify_event) + e->len;
        }
    }
}

// Waits until DIR/f0.eqn-file to DIR/f<count - 1>.eqn-file all exist, by
// looking for each in turn every millisecond: unlike a watch of its own, which
// doubles the events the kernel queues for each file, this costs the
// watcher it measures next to nothing, so that it is measured as the
// batch it is compared with is, with no observer beside it.
void await_published(const std::string &dir, long count) {
    struct stat st;
    for (long i = 0; i < count; ++i)
        while (stat((dir + "/f" + std::to_string(i) + ".eqn-file").c_str(), &st) != 0) {
            if (errno != ENOENT) die(dir);
            (void)usleep(1000);
        }
}

int watching(const std::string &dir) {
    int in = inotify_init1(IN_CLOEXEC);
    if (in < 0 || inotify_add_watch(in, dir.c_str(), IN_MOVED_TO) < 0) die(dir);
    return in;
}

long hwm_kib(const std::string &pid) {
    std::ifstream status("/proc/" + pid + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

void print_memory(const std::string &pid, long files) {
    std::ifstream list("/proc/" + pid + "/task/" + pid + "/children");
    long worker = 0;
    for (std::string child; list >> child;) worker = std::max(worker, hwm_kib(child));
    std::printf("%ld files: watcher %ld KiB, largest worker %ld KiB\n", files, hwm_kib(pid),
                worker);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> a(argv + 1, argv + argc);
    if (a.size() == 3 && a[0] == "latency") {
        int in = watching(a[1]);
        std::vector<double> us;
        for (long i = 0, n = std::atol(a[2].c_str()); i < n; ++i) {
            std::string base = a[1] + "/l" + std::to_string(i);
            write_file(base + ".tmp");
            auto closed = clock_type::now();
            await(in, 1);
            us.push_back(
                std::chrono::duration<double, std::micro>(clock_type::now() - closed).count());
            if (unlink((base + ".tmp").c_str()) != 0 || unlink((base + ".eqn-file").c_str()) != 0)
                die(base);
        }
        std::sort(us.begin(), us.end());
        if (us.empty()) return 1;
        std::printf("%zu files: median %.0f us, 99th percentile %.0f us\n", us.size(),
                    us[us.size() / 2], us[us.size() * 99 / 100]);
    } else if (a.size() == 4 && (a[0] == "arrive" || a[0] == "move")) {
        long n = std::atol(a[3].c_str());
        auto start = clock_type::now();
        for (long i = 0; i < n; ++i) {
            std::string name = "/f" + std::to_string(i) + ".tmp";
            if (rename((a[1] + name).c_str(), (a[2] + name).c_str()) != 0) die(name);
        }
        if (a[0] == "arrive") await_published(a[2], n);
        std::printf("%.3f\n", std::chrono::duration<double>(clock_type::now() - start).count());
    } else if (a.size() == 5 && a[0] == "memory") {
        int in = watching(a[1]);
        long first = std::atol(a[3].c_str()), last = std::atol(a[4].c_str());
        for (long done = 0; done < last;) {
            for (int i = 0; i < 1000; ++i) write_file(a[1] + "/m" + std::to_string(i) + ".tmp");
            await(in, 1000);
            for (int i = 0; i < 1000; ++i)
                for (const char *end : {".tmp", ".eqn-file"})
                    (void)unlink((a[1] + "/m" + std::to_string(i) + end).c_str());
            done += 1000;
            if (done == first || done == last) print_memory(a[2], done);
        }
    } else {
        std::fprintf(stderr, "usage: see the head of bench/watch_feed.cc\n");
        return 2;
    }
    return 0;
}
