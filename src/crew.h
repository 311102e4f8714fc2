// zelmor-batch's workers, and the parent's side of them.
//
// Owns the processes: workers forked before the plan is made, so that none
// holds any of it, each converting the files the parent hands it one after
// another (worker.cc); handing them out a few ahead, hearing what became
// of each, passing on a signal that ends the batch, and reaping the
// workers, each taken out of the forwarding before it is reaped, so that
// no signal ever goes to a pid that is not a live child.
#ifndef ZELMOR_CREW_H
#define ZELMOR_CREW_H

#include "plan.h"
#include "progress.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <sys/types.h>
#include <vector>

// What a worker is doing, in memory it shares with the parent: the index
// of the file it converts, or none between files, and the bytes of it read
// so far.
constexpr uint64_t no_file = UINT64_MAX;
struct worker_slot {
    std::atomic<uint64_t> current;
    std::atomic<uint64_t> seen;
};

// A worker's report of a file, written whole to the pipe all workers share.
struct report {
    uint64_t index;
    uint64_t bytes;
    uint32_t worker;
    int32_t err; // 0: converted
    uint8_t at;  // a failed_at
};

// Converts the files its orders name, one after another, reporting each;
// ends at the end of its orders.  See worker.cc.
// `pipes` are the batch's own, never to be converted or written.
[[noreturn]] void work(uint32_t me, int orders, int reports, worker_slot &slot,
                       std::vector<file_id> pipes);

// A file sent to a worker and not yet reported, and the length of its
// order.
struct sent {
    uint64_t index;
    size_t bytes;
};

// The parent's side of a worker.
struct worker {
    pid_t pid = 0;
    int orders = -1;          // the pipe that sends it files; -1 once closed
    std::vector<sent> queued; // in the order sent
};

struct crew {
    std::vector<worker> workers;
    std::vector<pid_t> pids;      // the forwarding of signals; 0 once reaped
    int reports = -1;             // the pipe of reports, read without waiting
    int wake[2] = {-1, -1};       // written to when a signal is passed on
    worker_slot *slots = nullptr; // one for each worker
    pid_t parent = 0;             // this process
};

// Starts n workers; false, having said why, if none could be.
bool start_workers(unsigned n, crew &c);

// Lets the workers go with nothing to do; a signal that arrived ends the
// process by it once they have ended, saying that the `planned` files
// were not converted.
void stop_workers(crew &c, size_t planned);

// Converts the plan with the workers; returns the exit status, or ends the
// process by the signal that ended the batch, once the workers have ended.
int convert_all(const plan &pl, crew &c);

// For zelmor-batch -w, which converts plan after plan with one crew: as
// convert_all, but the workers are left running for the next plan, and
// what becomes of the files is counted into `p`, which the caller keeps
// from plan to plan.  `tick` is called with the counts so far after each
// wake for the workers, and a few times a second, so that the caller can
// take what comes meanwhile; nothing is drawn.  False when no worker is
// left.  Ends the process as convert_all does.
bool convert_more(const plan &pl, crew &c, progress &p,
                  const std::function<void(progress &)> &tick);

// Ends the process by `sig`, which the parent passed on to the workers,
// once they have ended, saying what `p` counted.
[[noreturn]] void end_workers(crew &c, progress &p, int sig);

#endif
