// What a new equation file carries over from the file it replaces, for
// publication: owner and group, mode with the set-ID and sticky bits, file
// flags (chattr), and extended attributes, POSIX ACLs among them.  Owns
// reading them without writing the previous file, giving them to the new
// file, and checking that it has them and nothing more.
#ifndef ZELMOR_METADATA_H
#define ZELMOR_METADATA_H

#include "fd.h"

#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

struct metadata {
    struct stat st {};
    unsigned flags = 0;                                      // the file flags a user may set
    std::vector<std::pair<std::string, std::string>> xattrs; // sorted by name
};

// Reads the metadata of `name` in `dir`, not following a link and never
// opening it for writing: its status always, and for a regular file its
// flags and extended attributes too.  A file the user may not read gives
// what the system shows without reading it (its extended attributes through
// a path-only descriptor, and of its flags those that statx reports), or
// fails.  False with errno set; ENOENT if there is no such name, EAGAIN if
// it named another file between two looks.  With `keep`, a descriptor of
// the file read is left there, to look at it again later.
bool read_metadata(int dir, const char *name, metadata &m, unique_fd *keep = nullptr);

// Gives the file `fd` the mode `mode`, with its set-ID and sticky bits,
// and checks that it has it: a change of mode that the kernel may quietly
// narrow (the set-group-ID bit, for an owner outside the file's group).
// False with errno set; EPERM when the mode is not the one given.
bool give_mode(int fd, mode_t mode);

// Whether this process may give a file of status `st` its set-ID bits
// back, once writing has cleared them, as the kernel decides: the
// set-user-ID bit as its owner, the set-group-ID bit as its owner in its
// group, and either with the capabilities that stand in for those (root
// without them may not).
bool may_give_set_id(const struct stat &st);

// Gives the file `fd` the owner, group, flags, extended attributes and mode
// of `old`, and checks that it has exactly those.  False with errno set;
// EPERM when a check finds a difference.
bool give_metadata(int fd, const metadata &old);

// Whether the flags make the file append-only or immutable, so that it
// cannot be replaced.
bool frozen(const metadata &m);

// Sets `frozen` to whether the directory lets files be made but not renamed
// or removed (append-only or immutable).  False, with errno set, if that
// cannot be told; a system that cannot report it has none.
bool frozen_dir(int dir, bool &frozen);

// Whether `fd` is on a local file system that this kernel runs wholly and
// whose ACLs follow its common rules (ext2 to ext4, tmpfs, xfs, btrfs,
// f2fs): every name made in a directory there sends an event, and a new
// file gets mode 0666 less the umask where its directory has no default
// ACL.
bool plain_local_fs(int fd);

// Whether the error says that a file system or system lacks a feature,
// rather than that it failed.
bool unsupported(int err);

#endif
