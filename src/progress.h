// zelmor-batch's words to the user, all on standard error: each problem in
// the form "zelmor-batch: PATH: reason", and on a terminal a progress line
// and a summary.
#ifndef ZELMOR_PROGRESS_H
#define ZELMOR_PROGRESS_H

#include <cstddef>
#include <cstdint>
#include <string>

// Writes all of `s` to `fd`; false, with errno set, if it cannot.
bool put(int fd, const std::string &s);

// Says `what` on standard error, after the program's name.
void complain(const std::string &what);

// `name` as messages show it.
std::string quoted(const std::string &name);

// The progress line, on a terminal only.
struct progress {
    bool shown = false; // standard error is a terminal
    long start = 0, drawn = 0;
    size_t total = 0, converted = 0, failed = 0;
    uint64_t bytes = 0;
};

// Starts counting `total` files.
void progress_start(progress &p, size_t total);

// Counts a file converted, of `bytes`, or says why one failed.
void count_converted(progress &p, uint64_t bytes);
void count_failed(progress &p, const std::string &what);

// Redraws the line, if it is time to (or `force`), or clears it.
void draw(progress &p, bool force);
void clear_line(progress &p);

// Clears the line, and ends a run that took more than a second with a
// summary.  The exit status: 0 if nothing failed, 1 if anything did.
int summary(progress &p);

#endif
