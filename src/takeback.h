// Taking a run back, for publication: what the run has made or is writing,
// and the signals that, ending the process, must take it back first.
//
// Owns the one piece of state outside the callers' frames, the record of
// what to take back, because a signal handler can reach nothing else.  It
// changes only while the ending signals are held, and taking it back uses
// only calls that are safe in a handler.
#ifndef ZELMOR_TAKEBACK_H
#define ZELMOR_TAKEBACK_H

#include <cstddef>
#include <sys/types.h>

// Catches every signal whose default action ends the process, the faults a
// bug raises among them (but those the caller ignores, as under nohup, or
// blocks), so that it takes the run back before it ends the process by
// that signal, with the core dump that signal's default action makes.
// Once per process; later calls do nothing.
void catch_ending_signals();

// For a process that runs workers and converts nothing itself: a caught
// signal is passed on to each of the `count` processes in `pids` (which
// must outlive the forwarding; one of 0 is passed over), remembered, and
// told by a byte written to `wake` (a pipe that does not block, or -1),
// rather than ending this process, which is to end by it once they have
// ended.  A count of 0, as a worker sets it, ends the process by the signal
// again.  To be called with the signals held.
void forward_ending_signals(const pid_t *pids, size_t count, int wake);

// The signal last forwarded, 0 if none.
int forwarded_signal();

// Hold the caught signals, so that they stay pending, and let them go.
void hold_signals();
void release_signals();

// Whether a caught signal is pending; with them held, it will end the
// process once they are let go.
bool caught_signal_pending();

// What the run writes: the file `fd`, named `name` in the directory `dir`,
// which the run made (`made`) or found.  Written in place, a file taken
// back is emptied, or removed if the run made it and `name` still names
// it; a new file, beside the equation file (`in_place` false), is removed.
// An empty `name` leaves the file reachable by `fd` alone.  To be called
// with the signals held; false, with nothing armed, if the file cannot be
// told apart from one that replaces it meanwhile, or `name` is too long.
bool arm_take_back(int dir, const char *name, int fd, bool made, bool in_place);

// The armed file's descriptor has been closed: take it back by name alone.
void take_back_closed();

// The run is complete or taken back: nothing to take back any more.
void disarm_take_back();

// Takes back what is armed, then disarms, with the signals held meanwhile;
// a caught signal that was pending ends the process once they are let go.
void take_back_now();

#endif
