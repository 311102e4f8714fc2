// Converting one temporary file into its equation file, for the programs
// (zelmor, one file a run, and zelmor-batch, many in each worker): reach
// and open the input, open the output through publication, filter, commit.
#ifndef ZELMOR_CONVERT_H
#define ZELMOR_CONVERT_H

#include "fd.h"
#include "zelmor.h"

#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <vector>

// The identity of a file: its device and inode.
struct file_id {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const file_id &o) const { return dev == o.dev && ino == o.ino; }
    bool operator<(const file_id &o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
};
file_id id_of(const struct stat &st);

// The streams of a conversion, taken once and used for one file after
// another; too large for a small stack.  The kernels are chosen once, when
// they are taken: telling what the CPU has costs more than a small file's
// conversion on a virtual machine.
struct conversion_buffers {
    isa level = best_isa();
    std::atomic<uint64_t> *seen = nullptr; // the input's bytes read, as they are
    // Files no conversion may read or write: zelmor-batch's own pipes, which
    // anyone can name through a link into /proc.
    std::vector<file_id> off_limits;
    scan_input in;
    out_stream out;
};

// What both programs do first.  Started with standard error closed, a file
// opened later could take descriptor 2 and receive what is meant for the
// user: 0, 1 and 2 are kept taken, by /dev/null for those that were closed,
// and bit N of `closed` says that N was.  A write past the file size limit,
// or into a pipe with no reader, would kill the process: ignored, those
// signals turn into write errors that end the run like any other.  False
// if 0, 1 or 2 cannot be taken.
bool start_process(unsigned &closed) noexcept;

// Where a conversion failed: reaching, opening or reading the input;
// finding the input other than the file planned; finding it changed while
// it was read (its size or times not those it had at the open); writing,
// or making into the equation file, what it wrote; or opening an equation
// file that is a FIFO with no reader, or a socket, which none can write.
enum class failed_at : uint8_t {
    nothing,
    input,
    changed,
    output,
    changed_while_read,
    no_reader,
    socket
};

struct conversion_result {
    int err = 0; // 0 once the equation file is complete, or the errno of the failure
    failed_at at = failed_at::nothing;
    uint64_t bytes = 0; // the input's size, for a report
};

// The two names of a conversion, walked once where they share a directory:
// when the name rule cuts the last component of the path, the input and
// its equation file are names in the directory that the path's directory
// part leads to, walked once for both; otherwise each name is the whole
// path, walked from the working directory.
struct located {
    unique_fd dir;      // that directory; none: the working directory
    const char *input;  // the input's name from there
    std::string output; // the equation file's name from there
    int at() const { return dir.valid() ? dir.get() : AT_FDCWD; }
};

// Locates the temporary file `path`.  False, with errno set, if its
// directory cannot be walked; may throw std::bad_alloc.
bool locate(const char *path, located &l);

// A file the plan of zelmor-batch saw, which a conversion must find again:
// its identity, and whether it was a FIFO, the only input that is waited
// on for a writer.  An equation file that is a FIFO with no reader then
// fails the conversion at once.
struct planned {
    file_id id;
    bool fifo = false;
};

// Converts the temporary file `path` into its equation file.  With `plan`,
// the input must be the file planned.  Without, as for zelmor, a FIFO
// input waits for a writer, and a FIFO equation file for a reader, as a
// shell's redirection does.  Leaves the input as it was, and the equation
// file as it was before a failure (or, written in place, empty and dated
// at the epoch, so that -u converts it again).  Never
// throws.  A signal held while the conversion was published stays held,
// until the caller lets it go.
conversion_result convert_path(const char *path, conversion_buffers &buffers,
                               const planned *plan = nullptr) noexcept;

// Converts the regular file `name` in the directory `dir`, which must be
// the file planned, into the equation file `output`, walked from
// `output_dir`; as convert_path does for zelmor-batch.  The input's own
// name is not followed if it is a link.
conversion_result convert_found(int dir, const char *name, const file_id &id, int output_dir,
                                const char *output, conversion_buffers &buffers) noexcept;

#endif
