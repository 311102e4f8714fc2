// Converting one temporary file into its equation file, for the programs
// (zelmor, one file a run, and zelmor-batch, many in each worker): open the
// input, open the output through publication, filter, commit.
#ifndef ZELMOR_CONVERT_H
#define ZELMOR_CONVERT_H

#include "zelmor.h"

#include <cstdint>

// The streams of a conversion, taken once and used for one file after
// another; too large for a small stack.
struct conversion_buffers {
    scan_input in;
    out_stream out;
};

// What both programs do first.  Started with standard error closed, a file
// opened later could take descriptor 2 and receive what is meant for the
// user: 0, 1 and 2 are kept taken.  A write past the file size limit, or
// into a pipe with no reader, would kill the process: ignored, those
// signals turn into write errors that end the run like any other.  False
// if 0, 1 or 2 cannot be taken.
bool start_process() noexcept;

// Converts the temporary file `path` into its equation file.  Returns 0 once
// the equation file is complete, or the errno of the first failure, having
// left the input as it was and the equation file as it was before (or,
// written in place, empty).  `bytes` is the input's size, for a report.
// Never throws.  A signal held while the conversion was published stays
// held, until the caller lets it go.
int convert_file(const char *path, conversion_buffers &buffers, uint64_t &bytes) noexcept;

#endif
