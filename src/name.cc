// The output-name rule: a plain rewrite of the path string.
#include "zelmor.h"

#include <cstring>

void make_filename(const char *path, std::string &out) {
    static constexpr char pattern[] = ".tmp";
    static constexpr char suffix[] = ".eqn-file";

    out.assign(path);
    const char *match = std::strstr(path, pattern);
    if (match == nullptr) return;
    out.resize(static_cast<size_t>(match - path));
    out += suffix;
}
