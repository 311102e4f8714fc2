// zelmor-batch's plan: the inputs, each with its equation file and what
// the conversion will find again, and the refusal of a plan in which two
// inputs would write one file.
//
// Owns gathering the inputs (named on the command line or listed on
// standard input; those the search finds below directories come through
// search.h) and deciding collisions by what a conversion would write: the
// equation file's final target, followed as publication follows links,
// where it exists, and its directory and name where it does not.  Each
// problem is said as it is found, and refuses the plan.
#ifndef ZELMOR_PLAN_H
#define ZELMOR_PLAN_H

#include "convert.h"

#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <vector>

// A directory the search went through, as it saw it.
struct dir_node {
    int32_t parent;   // its parent's index, or -1 for a PATH searched
    std::string name; // its name in its parent, or the PATH as given
    file_id id;
};

// One conversion, compact, as a plan may hold millions: its path is in the
// plan's arena of names, and its equation file's path is derived from it
// by the name rule whenever it is needed, never stored.
struct job {
    uint64_t input = 0;      // where its path starts in `plan::names`, ending in a NUL
    planned seen;            // the input as the plan saw it
    bool up_to_date = false; // with -u: its equation file is not older
    bool future = false;     // modified after the plan looked at it: -u always converts it
    bool twice = false;      // the same input planned before to write the same file
    uint64_t size = 0;       // its size then
    int32_t dir = -1;        // found by the search: its directory's node; -1: named
    uint32_t name_at = 0;    // found: where its name in `dir` starts in its path
    int32_t out_dir = -1;    // found: the node of the equation file's directory, or
                             // -1 when the name rule leaves the search's directories
    uint32_t out_at = 0;     // where the equation file's name in `out_dir` starts in
                             // its path (0 with no node: walked from the working directory)
};

// What a conversion would write: the equation file's final target where it
// exists, or else its directory and, by a 64-bit hash, its name there (two
// names of one hash are taken for one file: a plan refused, never a file
// written twice); and which job would.  Kept in a flat table, sorted once.
struct out_key {
    file_id file, dir;
    uint64_t name = 0;
    uint32_t job = 0;
};

struct plan {
    std::vector<dir_node> dirs;
    std::vector<job> jobs;
    std::string names;         // every input's path, each ending in a NUL
    bool update = false;       // -u: inputs whose equation files are not older are left out
    bool refused = false;      // a problem was said
    size_t up_to_date = 0;     // inputs left out so
    bool leave_out = false;    // the check leaves out the inputs it refuses, and the rest stand
    bool say_empty = true;     // a PATH searched with no input in it is said
    std::vector<out_key> keys; // while planning: what each job would write
};

// The path of the input of `j`, and of its equation file.
inline const char *input_of(const plan &pl, const job &j) {
    return pl.names.data() + j.input;
}
std::string output_of(const plan &pl, const job &j);

// Says `what` about `path`, and refuses the plan.
void refuse(plan &pl, const std::string &path, const std::string &what);

// Adds the file named `path` on the command line, converted as zelmor
// converts it.
void plan_named(plan &pl, const std::string &path);

// Adds each file listed in the plan's names (see read_list), in turn, until
// a signal ends the batch.
void plan_listed(plan &pl);

// Adds the file `j` that the search found, whose path is `path` and status
// `st`, whose equation file is `out` from `out_dir` (a directory the search
// holds open, or AT_FDCWD).
void plan_found(plan &pl, job j, const std::string &path, const struct stat &st, int out_dir,
                const char *out);

// Once every input is in: refuses every group of inputs that would write
// one file, and every input whose equation file is another planned input;
// names each input in the future with -u; then leaves out, with -u, the
// inputs up to date, and inputs given twice (and, with `leave_out`, those
// refused, counted among the inputs up to date).  True if the plan stands
// (or a signal that ends the batch cut the check short).
bool plan_checked(plan &pl);

// Reads the names of the inputs from standard input into the plan's names,
// each ending at an `end` byte (or at the end of the input), written with
// a NUL in its place.  Stops, returning false, when a signal that ends the
// batch arrives, which writes to `wake` (-1: none is caught), or when the
// input fails, said.
bool read_list(plan &pl, char end, int wake);

#endif
