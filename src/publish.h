// Publishing the equation file, for the driver alone: where the conversion
// is written, and how it takes the equation file's name.
//
// A run opens its output with publish_begin, writes it, and ends with
// publish_commit or publish_abandon.  In between, a signal that would end
// the process takes back what the run wrote before it ends it.
#ifndef ZELMOR_PUBLISH_H
#define ZELMOR_PUBLISH_H

#include <sys/stat.h>

// Opens where the conversion goes for the equation file `name`, given the
// input's status `in`: a new file beside the equation file, to be renamed
// over it, or the equation file itself where a rename would change more
// than its inode.  Returns the descriptor to write, or -1 with nothing
// made or changed.
int publish_begin(const char *name, const struct stat &in);

// Closes the descriptor and makes what was written the equation file.
// False, with the run taken back, if that fails; a signal that arrived
// before this point ends the process with the run taken back, and one that
// arrives later is held until the process exits.
bool publish_commit();

// Closes the descriptor and takes the run back: removes the new file, or
// empties an equation file written in place (removes it if the run made it).
void publish_abandon();

#endif
