// zelmor-batch's words to the user.
#include "progress.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr long redraw_ms = 250; // the progress line's least interval

long now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

double seconds_since(const progress &p) {
    return static_cast<double>(now_ms() - p.start) / 1000;
}

// The terminal's width in columns, or 80 if it cannot be told.
size_t columns() {
    winsize w{};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &w) == 0 && w.ws_col > 0 ? w.ws_col : 80;
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
    auto control = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; };
    if (std::none_of(name.begin(), name.end(), control)) return name;
    std::string q = "'";
    for (char c : name) {
        char hex[8];
        (void)std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
        q += c == '\n'    ? "\\n"
             : c == '\t'  ? "\\t"
             : c == '\r'  ? "\\r"
             : c == '\\'  ? "\\\\"
             : c == '\''  ? "\\'"
             : control(c) ? hex
                          : std::string(1, c);
    }
    return q + "'";
}

void progress_start(progress &p, size_t total) {
    p.shown = isatty(STDERR_FILENO) == 1;
    p.start = now_ms();
    p.total = total;
    if (total > 0) draw(p, 0, true); // at once, before the first file is done
}

void count_converted(progress &p, uint64_t bytes) {
    ++p.converted;
    p.bytes += bytes;
}

void count_failed(progress &p, const std::string &what) {
    ++p.failed;
    clear_line(p);
    complain(what);
}

void clear_line(progress &p) {
    if (p.shown && p.drawn != 0) (void)put(STDERR_FILENO, "\r\033[K");
    p.drawn = 0;
}

void draw(progress &p, uint64_t in_flight, bool force) {
    long now = now_ms();
    if (!p.shown || (!force && p.drawn != 0 && now - p.drawn < redraw_ms)) return;
    p.drawn = now;
    double seconds = seconds_since(p), mib = static_cast<double>(p.bytes + in_flight) / 1048576.0;
    char line[160];
    int n = std::snprintf(line, sizeof line, "%zu/%zu files, %.1f MiB, %.1f MiB/s",
                          p.converted + p.failed, p.total, mib, seconds > 0 ? mib / seconds : 0.0);
    if (p.failed > 0 && n > 0 && static_cast<size_t>(n) < sizeof line)
        (void)std::snprintf(line + n, sizeof line - static_cast<size_t>(n), ", %zu failed",
                            p.failed);
    // One column short of the width, so that the cursor never wraps.
    std::string shown(line, std::min(std::strlen(line), columns() - 1));
    (void)put(STDERR_FILENO, "\r" + shown + "\033[K");
}

int summary(progress &p, size_t up_to_date) {
    clear_line(p);
    if (p.shown) {
        char line[160];
        int n =
            std::snprintf(line, sizeof line, "%zu converted, %zu failed", p.converted, p.failed);
        if (up_to_date > 0 && n > 0 && static_cast<size_t>(n) < sizeof line)
            n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), ", %zu up to date",
                               up_to_date);
        if (n > 0 && static_cast<size_t>(n) < sizeof line)
            (void)std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " in %.1f s\n",
                                seconds_since(p));
        (void)put(STDERR_FILENO, line);
    }
    return p.failed > 0 ? 1 : 0;
}

void summary_ended(progress &p, int sig) {
    clear_line(p);
    char counts[160];
    (void)std::snprintf(counts, sizeof counts,
                        "%zu converted, %zu failed, %zu not converted in %.1f s", p.converted,
                        p.failed, p.total + p.later - p.converted - p.failed, seconds_since(p));
    std::string line = std::string("zelmor-batch: ended by ") + strsignal(sig) + ":";
    // On a terminal too narrow for one line, the counts go on a line of
    // their own rather than wrap.
    bool narrow = p.shown && line.size() + 1 + std::strlen(counts) > columns() - 1;
    (void)put(STDERR_FILENO, line + (narrow ? "\n" : " ") + counts + "\n");
}

// What to say of the file `j` that failed with `err` at `at`.
std::string why_failed(const plan &pl, const job &j, int err, uint8_t at) {
    std::string why = std::strerror(err);
    switch (static_cast<failed_at>(at)) {
    case failed_at::input:
        return "cannot read: " + why;
    case failed_at::changed:
        return j.dir >= 0 ? "changed since the search; not converted"
                          : "changed since the plan; not converted";
    case failed_at::changed_while_read:
        return "changed while it was read; not converted";
    case failed_at::no_reader:
        return "cannot write " + quoted(output_of(pl, j)) + ": a FIFO with no reader";
    case failed_at::socket:
        return "cannot write " + quoted(output_of(pl, j)) + ": it is a socket";
    case failed_at::output:
        return "cannot write " + quoted(output_of(pl, j)) + ": " + why;
    default:
        return why;
    }
}
