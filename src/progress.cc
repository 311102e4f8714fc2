// zelmor-batch's words to the user.
#include "progress.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

constexpr long redraw_ms = 250; // the progress line's least interval

long now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

} // namespace

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

std::string quoted(const std::string &name) {
    return name;
}

void progress_start(progress &p, size_t total) {
    p.shown = isatty(STDERR_FILENO) == 1;
    p.start = now_ms();
    p.total = total;
}

void count_converted(progress &p, uint64_t bytes) {
    ++p.converted;
    p.bytes += bytes;
}

void count_failed(progress &p, const std::string &what) {
    ++p.failed;
    clear_line(p);
    complain(what);
    draw(p, true);
}

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

int summary(progress &p) {
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
