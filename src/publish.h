// Publishing the equation file, for the drivers alone: where the conversion
// is written, and how it takes the equation file's name.
//
// A run opens its output with publish_begin, writes to `file`, and ends
// with publish_commit or publish_abandon.  In between, a signal that would
// end the process takes back what the run wrote before it ends it.  None of
// these throws; each failure leaves errno set.
#ifndef ZELMOR_PUBLISH_H
#define ZELMOR_PUBLISH_H

#include "fd.h"
#include "metadata.h"

#include <string>
#include <sys/stat.h>

// One run's publication, owned by the driver from begin to commit or
// abandon.
struct publication {
    unique_fd dir;      // the equation file's directory
    std::string name;   // the equation file's name in `dir`; "" when reached
                        // only through a link under /proc
    std::string temp;   // the new file's name in `dir`; "" when in place
    unique_fd file;     // where the conversion is written
    bool carry = false; // `carried` is the replaced file's, to carry over
    metadata carried;
    mode_t mode = 0;  // in place: the mode to keep, which writing may narrow
    mode_t fresh = 0; // a new equation file's mode, given after the last write
    bool wait = true; // an equation file that is a FIFO is waited on for a
                      // reader, as a shell's redirection does; false: one
                      // with no reader fails the run at once, with ENXIO
    mode_t found = 0; // the type of the equation file found, 0 for none
                      // (or one reached only through a link under /proc)
};

// Opens where the conversion goes for the equation file `name`, walked from
// the directory `dir` (AT_FDCWD: the working directory), given the input's
// status `in`: a new file beside the equation file, to be renamed over it,
// or the equation file itself where a rename would change more than its
// inode.  False, with nothing made or changed, if it cannot.
bool publish_begin(publication &pub, int dir, const char *name, const struct stat &in) noexcept;

// Closes the file and makes what was written the equation file, carrying
// over the metadata of the file it replaces as it is now.  False, with the
// run taken back, if that fails; a signal that arrived before this point
// ends the process with the run taken back, and one that arrives later is
// held until the process exits.
bool publish_commit(publication &pub) noexcept;

// Closes the file and takes the run back: removes the new file, or empties
// an equation file written in place (removes it if the run made it).
void publish_abandon(publication &pub) noexcept;

#endif
