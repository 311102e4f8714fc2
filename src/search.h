// zelmor-batch's search, and a worker's way back to what it found.
//
// Owns reaching directories from descriptors: the search lists each PATH
// that is a directory, at any depth, opening every directory below it from
// its parent's descriptor, never by a path, not following a link, and
// checking that it is the directory the listing's look at it saw; it never
// trusts the type the listing reports.  A worker reaches a file the search
// found the same way, from the PATH down, each directory checked to be the
// one the search saw, keeping those of the last file for the next.
#ifndef ZELMOR_SEARCH_H
#define ZELMOR_SEARCH_H

#include "fd.h"
#include "plan.h"

#include <string>
#include <string_view>
#include <vector>

// Adds the regular files named *.tmp below the directory `path`, in the
// order of their names, to the plan; says each problem, refusing the plan.
// Stops early when a signal that ends the batch arrives.
void search(plan &pl, const std::string &path);

// One directory on the way to a file the search found: the PATH searched,
// or a name in the directory before.
struct level {
    std::string_view name;
    file_id id;
};

// The directories a worker holds: those of the last file it reached.
struct descent {
    std::vector<std::string> names;
    std::vector<file_id> ids;
    std::vector<unique_fd> fds;
};

// Reaches the directories `levels`, keeping those that `d` holds already.
// The directory of the last level, open for lookups; -1 with errno set
// (ESTALE: a directory is no longer the one the search saw) if it cannot.
int descend(descent &d, const std::vector<level> &levels);

// A directory below a PATH searched that the caller holds open, as the
// watch of zelmor-batch -w does: each directory from the PATH down to it,
// with its descriptor, its node in the plan, and where its name starts in
// `path`, the path of the last one.  The descriptors stay the caller's.
struct held_dir {
    int fd;
    int32_t node;
    size_t start;
};

// Searches the last of `way`, and every directory below it, as search()
// does, but saying nothing of a directory with no *.tmp file.
void search_held(plan &pl, const std::vector<held_dir> &way, const std::string &path);

// Plans the regular files `files`, each a name and its status, in the last
// of `way`, as the search plans the files it finds there.
void plan_held(plan &pl, const std::vector<held_dir> &way, const std::string &path,
               const std::vector<std::pair<std::string, struct stat>> &files);

// Whether a name is one the search takes, *.tmp, as find -name '*.tmp'
// matches it: `.tmp` itself too, which zelmor converts as it converts any
// name that ends so.
bool named_tmp(const std::string &name);

#endif
