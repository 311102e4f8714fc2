// zelmor-batch's plan: the inputs, their equation files, and collisions
// decided by what a conversion would write.
#include "plan.h"

#include "progress.h"
#include "resolve.h"
#include "takeback.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string_view>
#include <unistd.h>

namespace {

// Where a conversion of the equation file `out`, walked from `dir`, would
// write, and whether what is there now is no older than the input of
// status `in`, and no shorter; false if the walk fails, which the
// conversion will say.
bool key_of(int dir, const char *out, const struct stat &in, out_key &k, bool &not_older) {
    k = out_key{};
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
        // A conversion is never shorter than its input: one that is, such
        // as a file a failed run emptied in place where it could not date
        // it older, is out of date whatever its time.
        bool whole = !S_ISREG(st.st_mode) || !S_ISREG(in.st_mode) || st.st_size >= in.st_size;
        not_older = whole && (made.tv_sec > changed.tv_sec ||
                              (made.tv_sec == changed.tv_sec && made.tv_nsec >= changed.tv_nsec));
        return true;
    }
    if (fstat(p.dir.get(), &st) != 0) return false;
    k.dir = id_of(st);
    k.name = std::hash<std::string_view>{}(p.name);
    return true;
}

// Whether the file of status `st` was last modified after now: -u converts
// it on every run, as its equation file is always older.
bool in_future(const struct stat &st) {
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
#ifdef __APPLE__
    const timespec &changed = st.st_mtimespec;
#else
    const timespec &changed = st.st_mtim;
#endif
    return changed.tv_sec > now.tv_sec ||
           (changed.tv_sec == now.tv_sec && changed.tv_nsec > now.tv_nsec);
}

// The equation file `out` from `dir` by its name, where the walk to it
// failed: the conversion will say why, unless what stood in the way goes
// meanwhile, and inputs that name it must still be seen together.
bool key_by_name(int dir, const char *out, out_key &k) {
    struct stat st;
    if ((dir == AT_FDCWD ? stat(".", &st) : fstat(dir, &st)) != 0) return false;
    k = out_key{};
    k.dir = id_of(st);
    k.name = std::hash<std::string_view>{}(out);
    return true;
}

// Adds `j`, of status `st`, whose equation file is `out` from `dir`.
void add(plan &pl, job j, const struct stat &st, int dir, const char *out) {
    out_key key;
    bool not_older = false;
    if (key_of(dir, out, st, key, not_older) || key_by_name(dir, out, key)) {
        key.job = static_cast<uint32_t>(pl.jobs.size());
        pl.keys.push_back(key);
    }
    j.up_to_date = pl.update && not_older;
    j.future = pl.update && !j.up_to_date && in_future(st);
    pl.jobs.push_back(j);
}

// "a", "a and b", "a, b and c".
std::string listed(const std::vector<std::string> &names) {
    std::string all;
    for (size_t i = 0; i < names.size(); ++i)
        all += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return all;
}

std::string quoted_input(const plan &pl, uint32_t job) {
    return quoted(input_of(pl, pl.jobs[job]));
}

// What to say of the inputs `writers`, whose equation files are one file.
std::string one_file(const plan &pl, const std::vector<uint32_t> &writers) {
    std::vector<std::string> inputs, outputs;
    for (uint32_t w : writers) {
        inputs.push_back(quoted_input(pl, w));
        std::string out = quoted(output_of(pl, pl.jobs[w]));
        if (std::find(outputs.begin(), outputs.end(), out) == outputs.end()) outputs.push_back(out);
    }
    if (outputs.size() == 1)
        return listed(inputs) + (inputs.size() == 2 ? " both" : " all") + " name " + outputs[0];
    return listed(inputs) + ": their equation files " + listed(outputs) + " are one file";
}

// Thrown from a comparison when a signal ends the batch, to cut a sort short.
struct interrupted {};

bool same_file(const out_key &a, const out_key &b) {
    return a.file == b.file && a.dir == b.dir && a.name == b.name;
}

// Adds the input whose path starts at `at` in the plan's names, converted
// as zelmor converts a file it is named.
void plan_listed_one(plan &pl, size_t at) {
    const std::string path = pl.names.data() + at;
    located where;
    place p;
    if (!locate(path.c_str(), where) || !resolve(where.at(), where.input, p))
        return refuse(pl, path, std::strerror(errno));
    struct stat st = p.st;
    if (!p.exists || (p.through && fstatat(p.dir.get(), p.name.c_str(), &st, 0) != 0))
        return refuse(pl, path, std::strerror(p.exists ? errno : ENOENT));
    if (name_cut(path.c_str()) == no_cut)
        return refuse(pl, path, "no .tmp in the name, so no equation file of its own");
    job j;
    j.input = at;
    j.seen = {id_of(st), S_ISFIFO(st.st_mode)};
    j.size = static_cast<uint64_t>(st.st_size);
    add(pl, j, st, where.at(), where.output.c_str());
}

} // namespace

std::string output_of(const plan &pl, const job &j) {
    std::string out;
    make_filename(input_of(pl, j), out);
    return out;
}

void refuse(plan &pl, const std::string &path, const std::string &what) {
    complain(quoted(path) + ": " + what);
    pl.refused = true;
}

void plan_named(plan &pl, const std::string &path) {
    pl.names.append(path.c_str(), path.size() + 1);
    plan_listed_one(pl, pl.names.size() - path.size() - 1);
}

void plan_listed(plan &pl) {
    size_t count = static_cast<size_t>(std::count(pl.names.begin(), pl.names.end(), '\0'));
    pl.jobs.reserve(pl.jobs.size() + count);
    pl.keys.reserve(pl.keys.size() + count);
    for (size_t at = 0; at < pl.names.size() && forwarded_signal() == 0;) {
        size_t n = std::strlen(pl.names.data() + at);
        if (n > 0) plan_listed_one(pl, at);
        at += n + 1;
    }
}

void plan_found(plan &pl, job j, const std::string &path, const struct stat &st, int out_dir,
                const char *out) {
    j.input = pl.names.size();
    pl.names.append(path.c_str(), path.size() + 1);
    add(pl, j, st, out_dir, out);
}

bool plan_checked(plan &pl) {
    std::vector<job> &jobs = pl.jobs;
    // The jobs by input, the first planned first, to find an input by its
    // identity; and what each would write, by file, then input.
    std::vector<uint32_t> by_input(jobs.size());
    for (uint32_t i = 0; i < by_input.size(); ++i) by_input[i] = i;
    auto id_less = [&](uint32_t a, uint32_t b) {
        if (forwarded_signal() != 0) throw interrupted{};
        return jobs[a].seen.id < jobs[b].seen.id || (jobs[a].seen.id == jobs[b].seen.id && a < b);
    };
    auto key_less = [&](const out_key &a, const out_key &b) {
        if (forwarded_signal() != 0) throw interrupted{};
        if (!(a.file == b.file)) return a.file < b.file;
        if (!(a.dir == b.dir)) return a.dir < b.dir;
        if (a.name != b.name) return a.name < b.name;
        const file_id &x = jobs[a.job].seen.id, &y = jobs[b.job].seen.id;
        return x < y || (x == y && a.job < b.job);
    };
    std::vector<std::pair<uint32_t, std::string>> said; // by the first input named
    try {
        std::sort(by_input.begin(), by_input.end(), id_less);
        std::sort(pl.keys.begin(), pl.keys.end(), key_less);
        for (size_t at = 0, end; at < pl.keys.size(); at = end) {
            if (forwarded_signal() != 0) throw interrupted{};
            std::vector<uint32_t> writers;
            for (end = at; end < pl.keys.size() && same_file(pl.keys[at], pl.keys[end]); ++end) {
                uint32_t w = pl.keys[end].job;
                if (end > at && jobs[pl.keys[end - 1].job].seen.id == jobs[w].seen.id)
                    jobs[w].twice = true; // converted once, by the first
                else writers.push_back(w);
            }
            std::sort(writers.begin(), writers.end());
            if (writers.size() > 1) said.emplace_back(writers[0], one_file(pl, writers));
            for (uint32_t w : writers) jobs[w].up_to_date |= pl.leave_out && writers.size() > 1;
            const file_id &target = pl.keys[at].file;
            if (target == file_id{}) continue;
            auto input = std::lower_bound(
                by_input.begin(), by_input.end(), target,
                [&](uint32_t j, const file_id &id) { return jobs[j].seen.id < id; });
            if (input == by_input.end() || !(jobs[*input].seen.id == target)) continue;
            for (uint32_t w : writers) {
                std::string whose = jobs[w].seen.id == target
                                        ? "the input itself"
                                        : "the input " + quoted_input(pl, *input);
                said.emplace_back(w, quoted_input(pl, w) + ": its equation file " +
                                         quoted(output_of(pl, jobs[w])) + " is " + whose);
                jobs[w].up_to_date |= pl.leave_out;
            }
        }
    } catch (const interrupted &) {
        return true; // the batch ends by the signal
    }
    std::stable_sort(said.begin(), said.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &[at, what] : said) complain(what);
    pl.refused = pl.refused || (!said.empty() && !pl.leave_out);
    std::vector<out_key>().swap(pl.keys);
    // Said once of each input, however many times it is given.
    std::vector<uint32_t> future;
    for (size_t k = 0; k < by_input.size() && !pl.refused; ++k)
        if ((k == 0 || !(jobs[by_input[k - 1]].seen.id == jobs[by_input[k]].seen.id)) &&
            jobs[by_input[k]].future)
            future.push_back(by_input[k]);
    std::sort(future.begin(), future.end());
    for (uint32_t f : future)
        complain(quoted_input(pl, f) + ": modified in the future, so -u converts it on every run");
    pl.up_to_date = static_cast<size_t>(std::count_if(
        jobs.begin(), jobs.end(), [](const job &j) { return j.up_to_date && !j.twice; }));
    jobs.erase(std::remove_if(jobs.begin(), jobs.end(),
                              [](const job &j) { return j.up_to_date || j.twice; }),
               jobs.end());
    return !pl.refused;
}

bool read_list(plan &pl, char end, int wake) {
    std::string &all = pl.names;
    struct stat st;
    if (fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        all.reserve(static_cast<size_t>(st.st_size) + 1); // no copy as it grows
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
    std::replace(all.begin(), all.end(), end, '\0');
    if (!all.empty() && all.back() != '\0') all += '\0';
    return true;
}
