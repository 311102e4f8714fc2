// zelmor-batch -w's lists of names: for each watched directory, the names
// in it that hold ".tmp", so that a file an event names is looked for
// among the names cut as it is in a listing only where one may be there.
#include "watch.h"

#include "metadata.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace {

// The memory that the names may take, for the whole tree, each counted
// with what a set's node and a string's block take besides; past that, a
// directory's names are listed where they are needed.
constexpr size_t max_name_bytes = size_t{64} << 20;
constexpr size_t name_cost = 96;

} // namespace

void unlist(tree &t, watched &w) {
    for (const std::string &name : w.tmp_names) t.name_bytes -= name.size() + name_cost;
    w.tmp_names.clear();
    w.listed = false;
}

void note_name(tree &t, int32_t n, const std::string &name, bool here) {
    watched &w = t.nodes[static_cast<size_t>(n)];
    if (!w.listed || name.find(".tmp") == std::string::npos) return;
    size_t cost = name.size() + name_cost;
    struct stat st;
    if (!here && fstatat(w.fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        t.name_bytes -= w.tmp_names.erase(name) * cost;
    else if (here && t.name_bytes + cost > max_name_bytes) unlist(t, w);
    else if (here && w.tmp_names.insert(name).second) t.name_bytes += cost;
}

bool may_have_rival(const watched &w, const std::string &name, size_t cut) {
    if (!w.listed) return true;
    std::string alike = name.substr(0, cut) + ".tmp";
    for (auto at = w.tmp_names.lower_bound(alike);
         at != w.tmp_names.end() && at->compare(0, alike.size(), alike) == 0; ++at)
        if (*at != name) return true;
    return false;
}
