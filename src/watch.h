// zelmor-batch -w: convert as -u does, then go on watching the directories
// and convert each file as its writer is done with it.
//
// Owns the watched tree (watch_tree.cc): every directory below each DIR,
// opened from its parent's descriptor, never through a link, held open and
// watched with inotify, each watched before it is listed, so that nothing
// written into it is missed; and what the events ask for, files to convert
// and directories to search; and the names holding ".tmp" kept for each
// directory (watch_names.cc).  Each round of conversions (watch.cc) goes
// through the search, the plan and the crew, as zelmor-batch's do.
#ifndef ZELMOR_WATCH_H
#define ZELMOR_WATCH_H

#include "fd.h"
#include "plan.h"
#include "search.h"

#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// Converts below `dirs` as -u does, with `jobs` workers, then watches them
// until a signal ends it, by that signal; the exit status otherwise.
int watch_all(const std::vector<std::string> &dirs, unsigned jobs);

// A directory of the tree.
struct watched {
    bool used = false;   // a slot in use
    int32_t parent = -1; // -1: a DIR given
    std::string name;    // its name in its parent, or the DIR as given
    file_id id;
    unique_fd fd;        // for lookups below it
    int wd = -1;         // its watch; -1: none
    bool polled = false; // it, or a directory in it, could not be watched: searched at an interval
    std::vector<int32_t> children;
    // The names in it that hold ".tmp", as its listing after its watch took
    // hold and the events since say, so that a file is looked for among
    // names cut as it is in a listing only where one may be there.  Not
    // `listed`: unknown (not watched, not on a plain local file system,
    // the names' memory used up, a listing cut short).
    std::set<std::string> tmp_names;
    bool listed = false;
};

struct tree {
    int inotify = -1;
    std::vector<std::string> dirs; // the DIRs given
    std::vector<watched> nodes;
    std::vector<int32_t> free; // slots to use again
    std::unordered_map<int, int32_t> by_wd;
    // Files to convert, each once however many events came for it, and
    // directories to search.
    std::set<std::pair<int32_t, std::string>> waiting;
    std::set<int32_t> to_search;
    bool limit_said = false;
    size_t name_bytes = 0; // what all the nodes' lists take, at most max_name_bytes
    int room = 0; // descriptors below this are taken for directories; the rest left to the plan
};

// The lists of names (watch_names.cc).
// Lets node `w`'s list of names go: they are unknown from now on.
void unlist(tree &t, watched &w);
// Keeps `name`, now in node `n` (`here`) or gone from it, in its list.  A
// name moved away is gone only if nothing holds it now: two names
// exchanged send each a move away after its move in.
void note_name(tree &t, int32_t n, const std::string &name, bool here);
// Whether node `w` may hold a name other than `name` that cuts, at its
// first ".tmp", as `name` does at `cut`.
bool may_have_rival(const watched &w, const std::string &name, size_t cut);

// Opens the directory `name` in node `parent` (the DIR `name` itself, with
// -1), as a node, and every directory below it, each watched before it is
// listed.  Its node, or -1 if it cannot be opened.
int32_t watch_below(tree &t, int32_t parent, const std::string &name);

// Forgets each DIR given, in the tree of another, that is watched as part
// of that one.
void forget_covered(tree &t);

// Forgets each DIR given, and each directory that is not watched, that was
// removed: no event says it while a descriptor is held.  False, having
// said so, if no DIR is left.
bool forget_removed(tree &t);

// Takes the events that have come, as files waiting and directories to
// search; false, having said why, if they cannot be read.
bool take_events(tree &t);

// The path of node `n`, and where each directory's name starts in it, from
// the DIR down.
std::string path_of(const tree &t, int32_t n, std::vector<int32_t> *chain = nullptr,
                    std::vector<size_t> *starts = nullptr);

#endif
