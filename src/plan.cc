// zelmor-batch's plan: the inputs, their equation files, and collisions
// decided by what a conversion would write.
#include "plan.h"

#include "progress.h"
#include "resolve.h"
#include "takeback.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

const file_id none{};

// Where a conversion of the equation file `out`, walked from `dir`, would
// write, and whether what is there now is no older than the input of
// status `in`; false if the walk fails, which the conversion will say.
bool key_of(int dir, const char *out, const struct stat &in, out_key &k, bool &not_older) {
    place p;
    not_older = false;
    if (!resolve(dir, out, p)) return false;
    struct stat st = p.st;
    if (p.exists) {
        // A link under /proc leads where the kernel takes it, not where its
        // text says.
        if (p.through && fstatat(p.dir.get(), p.name.c_str(), &st, 0) != 0) return false;
        k.file = id_of(st);
#ifdef __APPLE__
        const timespec &made = st.st_mtimespec, &changed = in.st_mtimespec;
#else
        const timespec &made = st.st_mtim, &changed = in.st_mtim;
#endif
        not_older = made.tv_sec > changed.tv_sec ||
                    (made.tv_sec == changed.tv_sec && made.tv_nsec >= changed.tv_nsec);
        return true;
    }
    if (fstat(p.dir.get(), &st) != 0) return false;
    k.dir = id_of(st);
    k.name = std::move(p.name);
    return true;
}

// The equation file `out` from `dir` by its name, where the walk to it
// failed: the conversion will say why, unless what stood in the way goes
// meanwhile, and inputs that name it must still be seen together.
bool key_by_name(int dir, const char *out, out_key &k) {
    struct stat st;
    if ((dir == AT_FDCWD ? stat(".", &st) : fstat(dir, &st)) != 0) return false;
    k = out_key{};
    k.dir = id_of(st);
    k.name = out;
    return true;
}

// Adds `j`, of status `st`, whose equation file is `out` from `dir`; the
// same input planned before to write the same file is passed over.
void add(plan &pl, job j, const struct stat &st, int dir, const char *out) {
    out_key key;
    bool not_older = false;
    const out_key *k =
        key_of(dir, out, st, key, not_older) || key_by_name(dir, out, key) ? &key : nullptr;
    j.up_to_date = pl.update && not_older;
    if (k != nullptr) {
        if (!pl.pairs.emplace(std::make_pair(j.seen.id, *k), true).second) return;
        pl.writers[*k].push_back(pl.jobs.size());
    }
    pl.inputs.emplace(j.seen.id, pl.jobs.size());
    pl.jobs.push_back(std::move(j));
}

// "a", "a and b", "a, b and c".
std::string listed(const std::vector<std::string> &names) {
    std::string all;
    for (size_t i = 0; i < names.size(); ++i)
        all += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return all;
}

// What to say of the inputs `writers`, whose equation files are one file.
std::string one_file(const plan &pl, const std::vector<size_t> &writers) {
    std::vector<std::string> inputs, outputs;
    for (size_t w : writers) {
        inputs.push_back(quoted(pl.jobs[w].input));
        if (std::find(outputs.begin(), outputs.end(), quoted(pl.jobs[w].output)) == outputs.end())
            outputs.push_back(quoted(pl.jobs[w].output));
    }
    if (outputs.size() == 1)
        return listed(inputs) + (inputs.size() == 2 ? " both" : " all") + " name " + outputs[0];
    return listed(inputs) + ": their equation files " + listed(outputs) + " are one file";
}

} // namespace

void refuse(plan &pl, const std::string &path, const std::string &what) {
    complain(quoted(path) + ": " + what);
    pl.refused = true;
}

void plan_named(plan &pl, const std::string &path) {
    located where;
    place p;
    if (!locate(path.c_str(), where) || !resolve(where.at(), where.input, p))
        return refuse(pl, path, std::strerror(errno));
    struct stat st = p.st;
    if (!p.exists || (p.through && fstatat(p.dir.get(), p.name.c_str(), &st, 0) != 0))
        return refuse(pl, path, std::strerror(p.exists ? errno : ENOENT));
    job j;
    j.input = path;
    make_filename(path.c_str(), j.output);
    if (j.output == path)
        return refuse(pl, path, "no .tmp in the name, so no equation file of its own");
    j.seen = {id_of(st), S_ISFIFO(st.st_mode)};
    j.size = static_cast<uint64_t>(st.st_size);
    add(pl, std::move(j), st, where.at(), where.output.c_str());
}

void plan_found(plan &pl, job j, const struct stat &st, int out_dir, const char *out) {
    add(pl, std::move(j), st, out_dir, out);
}

bool plan_checked(plan &pl) {
    std::vector<std::pair<size_t, std::string>> said; // by the first input named
    for (const auto &[key, writers] : pl.writers) {
        if (writers.size() > 1) said.emplace_back(writers[0], one_file(pl, writers));
        for (size_t w : writers) pl.jobs[w].up_to_date |= pl.leave_out && writers.size() > 1;
        auto input = key.file == none ? pl.inputs.end() : pl.inputs.find(key.file);
        if (input == pl.inputs.end()) continue;
        for (size_t w : writers) {
            const job &j = pl.jobs[w];
            std::string whose = j.seen.id == key.file
                                    ? "the input itself"
                                    : "the input " + quoted(pl.jobs[input->second].input);
            said.emplace_back(w, quoted(j.input) + ": its equation file " + quoted(j.output) +
                                     " is " + whose);
            pl.jobs[w].up_to_date |= pl.leave_out;
        }
    }
    std::stable_sort(said.begin(), said.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &[at, what] : said) complain(what);
    pl.refused = pl.refused || (!said.empty() && !pl.leave_out);
    pl.writers.clear();
    pl.inputs.clear();
    pl.pairs.clear();
    auto fresh =
        std::remove_if(pl.jobs.begin(), pl.jobs.end(), [](const job &j) { return j.up_to_date; });
    pl.up_to_date = static_cast<size_t>(pl.jobs.end() - fresh);
    pl.jobs.erase(fresh, pl.jobs.end());
    return !pl.refused;
}

bool read_list(char end, int wake, std::vector<std::string> &names) {
    std::string all;
    char buf[65536];
    for (;;) {
        // Waiting on the list ends at once when a signal ends the batch.
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wake, POLLIN, 0}};
        if (wake >= 0 && poll(fds, 2, -1) < 0 && errno != EINTR)
            return complain(std::string("poll: ") + std::strerror(errno)), false;
        if (forwarded_signal() != 0) return false;
        if (wake >= 0 && fds[0].revents == 0) continue;
        ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return complain(std::string("standard input: ") + std::strerror(errno)), false;
        if (n == 0) break;
        all.append(buf, static_cast<size_t>(n));
    }
    for (size_t at = 0; at < all.size();) {
        size_t stop = std::min(all.find(end, at), all.size());
        if (stop > at) names.push_back(all.substr(at, stop - at));
        at = stop + 1;
    }
    return true;
}
