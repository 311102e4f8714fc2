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
#include <map>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

// A directory the search went through, as it saw it.
struct dir_node {
    int32_t parent;   // its parent's index, or -1 for a PATH searched
    std::string name; // its name in its parent, or the PATH as given
    file_id id;
};

// One conversion.
struct job {
    std::string input, output; // the paths, as the user would name them
    planned seen;              // the input as the plan saw it
    uint64_t size = 0;         // and its size then
    bool up_to_date = false;   // with -u: its equation file is not older
    int32_t dir = -1;          // found by the search: its directory's node; -1: named
    size_t name_at = 0;        // found: where its name in `dir` starts in `input`
    int32_t out_dir = -1;      // found: the node of the equation file's directory, or
                               // -1 when the name rule leaves the search's directories
    size_t out_at = 0;         // where the equation file's name in `out_dir` starts in
                               // `output` (0 with no node: walked from the working directory)
};

// What a conversion would write: the equation file's final target where it
// exists, or else its directory and its name there.
struct out_key {
    file_id file, dir;
    std::string name;
    bool operator<(const out_key &o) const {
        if (!(file == o.file)) return file < o.file;
        if (!(dir == o.dir)) return dir < o.dir;
        return name < o.name;
    }
};

struct plan {
    std::vector<dir_node> dirs;
    std::vector<job> jobs;
    bool update = false;   // -u: inputs whose equation files are not older are left out
    bool refused = false;  // a problem was said
    size_t up_to_date = 0; // inputs left out so
    // The check leaves out the inputs it refuses, and the rest stand.
    bool leave_out = false;
    // While planning: who writes each equation file, the inputs planned,
    // and the pairs already planned, so that a file given twice is
    // converted once.
    std::map<out_key, std::vector<size_t>> writers;
    std::map<file_id, size_t> inputs;
    std::map<std::pair<file_id, out_key>, bool> pairs;
};

// Says `what` about `path`, and refuses the plan.
void refuse(plan &pl, const std::string &path, const std::string &what);

// Adds a file named on the command line or in a list, converted as zelmor
// converts it.
void plan_named(plan &pl, const std::string &path);

// Adds the file `j` that the search found, of status `st`, whose equation
// file is `out` from `out_dir` (a directory the search holds open, or
// AT_FDCWD).
void plan_found(plan &pl, job j, const struct stat &st, int out_dir, const char *out);

// Once every input is in: refuses every group of inputs that would write
// one file, and every input whose equation file is another planned input;
// then leaves out, with -u, the inputs up to date (and, with `leave_out`,
// those refused, counted among them).  True if the plan stands.
bool plan_checked(plan &pl);

// Reads the names of the inputs from standard input, each ending at an
// `end` byte (or at the end of the input); empty names are passed over.
// Stops, returning false, when a signal that ends the batch arrives, which
// writes to `wake` (-1: none is caught), or when the input fails, said.
bool read_list(char end, int wake, std::vector<std::string> &names);

#endif
