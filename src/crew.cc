// zelmor-batch's workers: starting them, handing out files, hearing what
// became of each, and reaping them.
#include "crew.h"

#include "orders.h"
#include "progress.h"
#include "takeback.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace {

// Files sent to a worker before it reports, so that it need not wait for
// the next: at most so many, and with at most so many bytes of input
// between them, so that no worker holds large files that another, idle,
// could have taken.
constexpr size_t most_ahead = 4;
constexpr uint64_t most_bytes_ahead = 1 << 20;

void close_orders(worker &w) {
    if (w.orders >= 0) close(w.orders);
    w.orders = -1;
}

// Waits for worker `i` to end, takes it out of the forwarding of signals,
// and only then reaps it: its wait status.
int reap(crew &c, size_t i) {
    siginfo_t si{};
    while (waitid(P_PID, static_cast<id_t>(c.workers[i].pid), &si, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {}
    hold_signals();
    c.pids[i] = 0;
    int status = 0;
    while (waitpid(c.workers[i].pid, &status, 0) < 0 && errno == EINTR) {}
    release_signals();
    return status;
}

// Ends the process by `sig`, which the parent passed on to its workers,
// once they have ended, having said what became of the files, if any.
[[noreturn]] void end_by(int sig, crew &c, progress *p = nullptr) {
    for (size_t i = 0; i < c.workers.size(); ++i) {
        close_orders(c.workers[i]);
        if (c.pids[i] != 0) (void)reap(c, i);
    }
    if (p != nullptr) summary_ended(*p, sig);
    hold_signals();
    forward_ending_signals(nullptr, 0, -1);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(sig, &dfl, nullptr);
    (void)raise(sig);
    release_signals(); // ends the process by the signal
    _exit(128 + sig);  // not reached
}

// The parent's conversion of a plan: what is left to send, and to hear.
struct run {
    const plan &pl;
    crew &c;
    progress p;
    uint64_t next = 0;          // the first file never sent
    std::deque<uint64_t> again; // files sent to a worker that ended before it began them
    std::vector<bool> reported;
    size_t left;     // files not yet reported
    std::string buf; // an order being sent
};

// The bytes the live workers have read of the files they convert now.
uint64_t in_flight(const crew &c) {
    uint64_t bytes = 0;
    for (size_t i = 0; i < c.workers.size(); ++i)
        if (c.pids[i] != 0) bytes += c.slots[i].seen.load();
    return bytes;
}

bool more(const run &r) {
    return !r.again.empty() || r.next < r.pl.jobs.size();
}

// Sends worker `w` files, up to `most` queued: a first of any length, which
// it takes as soon as it is free, and others while they are small and
// their orders fit in a pipe together, so that sending never waits on a
// busy worker.  Its orders stay open until every file is reported, so
// that a file queued for a worker that ends can still come back to one
// that is idle.  A worker that has ended takes nothing, and the pipe of its
// orders then shows why: see gone().
void feed(run &r, worker &w, size_t most = most_ahead) {
    while (w.orders >= 0 && more(r) && w.queued.size() < most) {
        uint64_t i = r.again.empty() ? r.next : r.again.front();
        size_t ahead = 0;
        uint64_t bytes = r.pl.jobs[i].size;
        for (const sent &q : w.queued) ahead += q.bytes, bytes += r.pl.jobs[q.index].size;
        if (!w.queued.empty() && bytes > most_bytes_ahead) return;
        encode(r.pl, i, r.buf);
        if (!w.queued.empty() && ahead + r.buf.size() > PIPE_BUF) return;
        if (!put(w.orders, r.buf)) return;
        if (r.again.empty()) ++r.next;
        else r.again.pop_front();
        w.queued.push_back({i, r.buf.size()});
    }
}

void fail(run &r, uint64_t i, const std::string &why) {
    r.reported[i] = true;
    --r.left;
    count_failed(r.p, quoted(input_of(r.pl, r.pl.jobs[i])) + ": " + why);
}

// Hears the reports that have come.  False at the end of the reports, when
// every worker has ended.
bool hear(run &r) {
    report got[64];
    ssize_t n;
    while ((n = read(r.c.reports, got, sizeof got)) > 0 || (n < 0 && errno == EINTR)) {
        for (size_t k = 0; n > 0 && k < static_cast<size_t>(n) / sizeof(report); ++k) {
            const report &rep = got[k];
            if (rep.index >= r.pl.jobs.size() || rep.worker >= r.c.workers.size() ||
                r.reported[rep.index])
                continue;
            worker &w = r.c.workers[rep.worker];
            w.queued.erase(std::remove_if(w.queued.begin(), w.queued.end(),
                                          [&](const sent &q) { return q.index == rep.index; }),
                           w.queued.end());
            r.reported[rep.index] = true;
            --r.left;
            if (rep.err == 0) count_converted(r.p, rep.bytes);
            else
                count_failed(r.p, quoted(input_of(r.pl, r.pl.jobs[rep.index])) + ": " +
                                      why_failed(r.pl, r.pl.jobs[rep.index], rep.err, rep.at));
            feed(r, w);
        }
    }
    return n != 0;
}

// Worker `i` has ended, or is to: once it has, the file it was converting
// failed, and those it never began go to the others, when `again`.
void gone(run &r, size_t i, bool again) {
    worker &w = r.c.workers[i];
    close_orders(w);
    int status = reap(r.c, i);
    hear(r); // what it reported before it ended
    uint64_t current = r.c.slots[i].current.load();
    for (const sent &q : w.queued) {
        if (r.reported[q.index]) continue;
        if (q.index != current) {
            if (again) r.again.push_back(q.index);
            continue;
        }
        // Ended by the signal that ends the batch, which reached it first
        // or from the parent: its file is not converted, not failed.  The
        // parent has heard that signal by now, as it came in one sending to
        // the group, before the worker could be reaped.
        if (WIFSIGNALED(status) && WTERMSIG(status) == forwarded_signal()) continue;
        std::string why = "its worker ended";
        if (WIFSIGNALED(status)) why += std::string(" by ") + strsignal(WTERMSIG(status));
        fail(r, q.index, why);
    }
    w.queued.clear();
    for (worker &other : r.c.workers) feed(r, other);
}

// Ends the batch by `sig` once every worker has ended, counting what they
// reported before they did.
[[noreturn]] void end_run(run &r, int sig) {
    for (size_t i = 0; i < r.c.workers.size(); ++i) {
        close_orders(r.c.workers[i]);
        if (r.c.pids[i] != 0) (void)reap(r.c, i);
    }
    hear(r);
    end_by(sig, r.c, &r.p);
}

} // namespace

bool start_workers(unsigned n, crew &c) {
    int report_pipe[2];
    if (pipe(report_pipe) != 0 || pipe(c.wake) != 0 || !set_blocking(report_pipe[0], false) ||
        !set_blocking(c.wake[0], false) || !set_blocking(c.wake[1], false))
        return complain(std::string("pipe: ") + std::strerror(errno)), false;
    void *shared = mmap(nullptr, n * sizeof(worker_slot), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) return complain(std::string("mmap: ") + std::strerror(errno)), false;
    c.slots = static_cast<worker_slot *>(shared);
    c.parent = getpid();
    c.reports = report_pipe[0];
    c.workers.reserve(n);
    c.pids.reserve(n);
    // Every pipe first, so that each worker knows them all, to refuse a
    // file that is one of them: a link into /proc can name any of them.
    std::vector<std::array<int, 2>> order_pipes(n);
    std::vector<file_id> pipes;
    struct stat st;
    for (int fd : {report_pipe[0], c.wake[0]})
        if (fstat(fd, &st) == 0) pipes.push_back(id_of(st));
    // So are the batch's own terminal, pipes and sockets on standard input,
    // output and error, which a link into /proc names as well: another
    // user's file must not reach the user's terminal unquoted.  A file or
    // a device such as /dev/null there is left as any other.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fstat(fd, &st) == 0 &&
            (isatty(fd) == 1 || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)))
            pipes.push_back(id_of(st));
    for (uint32_t i = 0; i < n; ++i) {
        if (pipe(order_pipes[i].data()) != 0) {
            complain(std::string("pipe: ") + std::strerror(errno));
            n = i;
            break;
        }
        if (fstat(order_pipes[i][0], &st) == 0) pipes.push_back(id_of(st));
    }
    catch_ending_signals();
    hold_signals(); // a signal meanwhile is passed on to every worker started
    for (uint32_t i = 0; i < n; ++i) {
        int *order_pipe = order_pipes[i].data();
        c.slots[i].current.store(no_file);
        c.slots[i].seen.store(0);
        pid_t pid = fork();
        if (pid == 0) {
            // Only its own orders, and the reports: a worker holding
            // another's orders would keep that one from seeing their end.
            for (const worker &w : c.workers) close(w.orders);
            for (uint32_t j = i + 1; j < n; ++j) close(order_pipes[j][0]), close(order_pipes[j][1]);
            close(order_pipe[1]);
            close(report_pipe[0]);
            close(c.wake[0]);
            close(c.wake[1]);
            forward_ending_signals(nullptr, 0, -1);
#ifdef __linux__
            // A parent killed outright ends its workers, even one killed
            // before this was asked.
            (void)prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != c.parent) (void)raise(SIGTERM);
#endif
            release_signals();
            work(i, order_pipe[0], report_pipe[1], c.slots[i], std::move(pipes));
        }
        close(order_pipe[0]);
        if (pid < 0) {
            close(order_pipe[1]);
            for (uint32_t j = i + 1; j < n; ++j) close(order_pipes[j][0]), close(order_pipes[j][1]);
            complain(std::string("fork: ") + std::strerror(errno));
            break;
        }
        c.workers.push_back({pid, order_pipe[1], {}});
        c.pids.push_back(pid);
        forward_ending_signals(c.pids.data(), c.pids.size(), c.wake[1]);
    }
    close(report_pipe[1]);
    release_signals();
    return !c.workers.empty();
}

void stop_workers(crew &c, size_t planned) {
    for (size_t i = 0; i < c.workers.size(); ++i) {
        close_orders(c.workers[i]);
        if (c.pids[i] != 0) (void)reap(c, i);
    }
    if (int sig = forwarded_signal(); sig != 0) {
        progress p;
        progress_start(p, planned);
        end_by(sig, c, &p);
    }
}

int convert_all(const plan &pl, crew &c) {
    run r{pl, c, {}, 0, {}, std::vector<bool>(pl.jobs.size(), false), pl.jobs.size(), {}};
    progress_start(r.p, pl.jobs.size());
    for (size_t most = 1; most <= most_ahead; ++most) // a file for each worker first
        for (worker &w : c.workers) feed(r, w, most);
    std::vector<pollfd> fds;
    auto live = [&] {
        return std::any_of(c.pids.begin(), c.pids.end(), [](pid_t p) { return p != 0; });
    };
    while (r.left > 0 && forwarded_signal() == 0 && live()) {
        // The reports, a signal, and the end of each worker that has files
        // to take, which shows as an error on the pipe of its orders.
        fds.assign({{c.reports, POLLIN, 0}, {c.wake[0], POLLIN, 0}});
        for (const worker &w : c.workers) fds.push_back({w.orders, 0, 0});
        if (poll(fds.data(), static_cast<nfds_t>(fds.size()), r.p.shown ? 250 : -1) < 0 &&
            errno != EINTR)
            break;
        if (!hear(r)) break; // every worker has ended
        for (size_t i = 0; i < c.workers.size(); ++i)
            if (c.workers[i].orders >= 0 && fds[i + 2].revents != 0) gone(r, i, true);
        draw(r.p, in_flight(c), false);
    }
    if (int sig = forwarded_signal(); sig != 0) end_run(r, sig);
    for (size_t i = 0; i < c.workers.size(); ++i)
        if (c.pids[i] != 0) gone(r, i, false);
    if (int sig = forwarded_signal(); sig != 0) end_run(r, sig);
    // Files no worker was left to take (they could not start, or ended).
    for (uint64_t i = 0; i < pl.jobs.size(); ++i)
        if (!r.reported[i]) fail(r, i, "not converted: no worker was left to take it");
    return summary(r.p, pl.up_to_date);
}

bool convert_more(const plan &pl, crew &c, progress &p,
                  const std::function<void(progress &)> &tick) {
    run r{pl, c, p, 0, {}, std::vector<bool>(pl.jobs.size(), false), pl.jobs.size(), {}};
    r.p.total += pl.jobs.size();
    for (size_t most = 1; most <= most_ahead; ++most)
        for (worker &w : c.workers) feed(r, w, most);
    std::vector<pollfd> fds;
    auto live = [&] {
        return std::any_of(c.pids.begin(), c.pids.end(), [](pid_t pid) { return pid != 0; });
    };
    while (r.left > 0 && forwarded_signal() == 0 && live()) {
        fds.assign({{c.reports, POLLIN, 0}, {c.wake[0], POLLIN, 0}});
        for (const worker &w : c.workers) fds.push_back({w.orders, 0, 0});
        if (poll(fds.data(), static_cast<nfds_t>(fds.size()), 250) < 0 && errno != EINTR) break;
        if (!hear(r)) { // every worker has ended: reaped, so that none seems live
            for (size_t i = 0; i < c.workers.size(); ++i)
                if (c.pids[i] != 0) gone(r, i, true);
            break;
        }
        for (size_t i = 0; i < c.workers.size(); ++i)
            if (c.workers[i].orders >= 0 && fds[i + 2].revents != 0) gone(r, i, true);
        tick(r.p);
    }
    if (int sig = forwarded_signal(); sig != 0) tick(r.p), end_run(r, sig);
    for (uint64_t i = 0; i < pl.jobs.size(); ++i)
        if (!r.reported[i]) fail(r, i, "not converted: no worker was left to take it");
    p = r.p;
    return live();
}

void end_workers(crew &c, progress &p, int sig) {
    end_by(sig, c, &p);
}
