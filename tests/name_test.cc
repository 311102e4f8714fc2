// The output-name rule.
#include "zelmor.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct name_case {
    const char *fault; // what a wrong result would mean
    std::string path, want;
};

const name_case name_cases[] = {
    {"suffix not replaced", "data.tmp", "data.eqn-file"},
    {"tail after match kept", "run.tmp.bak", "run.eqn-file"},
    {"later match used", "a.tmp.tmp", "a.eqn-file"},
    {"first dot taken as match start", "./temp.tmp", "./temp.eqn-file"},
    {"directory part skipped", "/data/a.tmpdir/b.tmp", "/data/a.eqn-file"},
    {"bare pattern missed", ".tmp", ".eqn-file"},
    {"match not case-sensitive", "data.TMP", "data.TMP"},
    {"unrelated name changed", "notes.txt", "notes.txt"},
    {"partial pattern matched", "data.tm", "data.tm"},
    {"split pattern matched", "a.t.tmpx", "a.t.eqn-file"},
    {"empty path mishandled", "", ""},
    {"dash taken as an option", "-x.tmp", "-x.eqn-file"},
    {"long path cut at a fixed size", std::string(300, 'd') + "/f.tmp",
     std::string(300, 'd') + "/f.eqn-file"},
};

TEST(MakeFilename, Table) {
    for (const name_case &c : name_cases) {
        std::string got = "stale contents";
        make_filename(c.path.c_str(), got);
        EXPECT_EQ(got, c.want) << c.fault << ": path \"" << c.path << "\"";
    }
}

} // namespace
