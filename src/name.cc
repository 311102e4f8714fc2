// The output-name rule: a plain rewrite of the path string.
#include "zelmor.h"

#include <cstring>

size_t name_cut(const char *path) {
    static constexpr char pattern[] = ".tmp";
    const char *match = std::strstr(path, pattern);
    return match == nullptr ? no_cut : static_cast<size_t>(match - path);
}

void make_filename(const char *path, std::string &out) {
    static constexpr char suffix[] = ".eqn-file";

    out.assign(path);
    size_t cut = name_cut(path);
    if (cut == no_cut) return;
    out.resize(cut);
    out += suffix;
}
