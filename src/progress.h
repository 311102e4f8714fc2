// zelmor-batch's words to the user, all on standard error: each problem in
// the form "zelmor-batch: PATH: reason", and on a terminal a progress line,
// redrawn as bytes are converted, and a summary at the end.
#ifndef ZELMOR_PROGRESS_H
#define ZELMOR_PROGRESS_H

#include "plan.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Writes all of `s` to `fd`; false, with errno set, if it cannot.
bool put(int fd, const std::string &s);

// Says `what` on standard error, after the program's name.
void complain(const std::string &what);

// `name` as messages show it: as it is, or, if it holds a control byte
// (below 0x20, or 0x7f), between single quotes, with each control byte as
// \n, \t, \r or \xHH and each backslash and single quote after a
// backslash.
std::string quoted(const std::string &name);

// What a run of conversions has come to.
struct progress {
    bool shown = false; // standard error is a terminal
    long start = 0, drawn = 0;
    size_t total = 0, converted = 0, failed = 0;
    size_t later = 0;   // -w: files waiting for a plan, not converted if a signal ends it
    uint64_t bytes = 0; // of the files finished
};

// Starts counting `total` files.
void progress_start(progress &p, size_t total);

// Counts a file converted, of `bytes`, or says why one failed.
void count_converted(progress &p, uint64_t bytes);
void count_failed(progress &p, const std::string &what);

// Redraws the line with `in_flight` bytes of files not finished, fitted to
// the terminal's width, if it is time to (or `force`); clears it.
void draw(progress &p, uint64_t in_flight, bool force);
void clear_line(progress &p);

// Ends the run: on a terminal, says how many files were converted, failed
// and were `up_to_date`, and in what time.  The exit status: 0 if nothing
// failed, 1 if anything did.
int summary(progress &p, size_t up_to_date);

// What to say of the file `j` of `pl` that failed with `err` at `at`, a
// failed_at.
std::string why_failed(const plan &pl, const job &j, int err, uint8_t at);

// Said before the batch ends by the signal `sig`, on any standard error:
// what was converted, what failed, and what was not.
void summary_ended(progress &p, int sig);

#endif
