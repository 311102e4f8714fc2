// Walking the equation file's name as the kernel does, for publication.
//
// Owns the walk: one component at a time, relative to descriptors of the
// directories, following symbolic links by hand and applying the kernel's
// sticky-directory protections whatever the system's settings.  What it
// hands back, a directory's descriptor and a name in it, is all that later
// calls on the equation file go through: the path is never looked up again.
#ifndef ZELMOR_RESOLVE_H
#define ZELMOR_RESOLVE_H

#include "fd.h"

#include <string>
#include <sys/stat.h>

// The last component of a path, as the kernel would reach it.
struct place {
    unique_fd dir;        // the directory that holds it
    std::string name;     // its name in `dir`
    bool exists = false;  // whether there is anything of that name
    bool through = false; // a link that the kernel follows by itself, not by
                          // its text (under /proc): reach it only by opening
                          // `name` in `dir`
    struct stat st {};    // its status, not following a link, when it exists
};

// Walks `path` from the directory `dir` (AT_FDCWD: the working directory),
// or from the root, through directories, following each symbolic link on
// the way (at most 40 in all, each allowed by the sticky rule) relative to
// the directory that holds it.  True with `p` naming the last component,
// which may not exist; false, with errno set, if the kernel would refuse the
// path, or if it names a directory.
bool resolve(int dir, const char *path, place &p);

// Whether the file of status `st` in the directory `dir` may be followed (a
// link) or written (an existing file): in a sticky directory that its group
// or others may write, only the effective user's files and the directory
// owner's, and no regular file with other hard links, which another user
// may have made there to a file of ours.  False with errno EACCES, or
// EMLINK for the hard links, when it may not.
bool trusted(int dir, const struct stat &st);

// Whether an existing file of this status in a sticky directory is subject
// to trusted() (a link always is): regular files and FIFOs.
bool guarded(const struct stat &st);

// Opens `path`, from `dir` as resolve() walks it, with `flags` (never
// creating it) as the kernel would, but that links and the sticky rule are
// followed as resolve() follows them: the last component is opened from its
// directory, not following a link but one under /proc.  Short of memory, it
// fails with ENOMEM.
unique_fd open_walked(int dir, const char *path, int flags) noexcept;

// The directory that `path` names, from `dir`, walked as resolve() walks,
// for lookups below it.  Short of memory, it fails with ENOMEM.
unique_fd open_dir_walked(int dir, const char *path) noexcept;

#endif
