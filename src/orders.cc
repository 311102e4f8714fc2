// What zelmor-batch's parent sends a worker for each file.
#include "orders.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

void put_u32(std::string &s, uint32_t v) {
    s.append(reinterpret_cast<const char *>(&v), sizeof v);
}
void put_u64(std::string &s, uint64_t v) {
    s.append(reinterpret_cast<const char *>(&v), sizeof v);
}
void put_str(std::string &s, const char *p, size_t n) {
    put_u32(s, static_cast<uint32_t>(n));
    s.append(p, n);
    s += '\0';
}
void put_id(std::string &s, const file_id &id) {
    put_u64(s, static_cast<uint64_t>(id.dev));
    put_u64(s, static_cast<uint64_t>(id.ino));
}

// Makes `n` bytes from `r.at` on readable; false at the end of the orders.
bool fill(order_reader &r, size_t n) {
    if (r.end - r.at >= n) return true;
    r.buf.erase(0, r.at);
    r.end -= r.at;
    r.at = 0;
    if (r.buf.size() < std::max<size_t>(n, 65536)) r.buf.resize(std::max<size_t>(n, 65536));
    while (r.end < n) {
        ssize_t got = read(r.fd, r.buf.data() + r.end, r.buf.size() - r.end);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        r.end += static_cast<size_t>(got);
    }
    return true;
}

// Takes what the order holds, in turn; each take fails past its end.
struct taker {
    const char *p, *end;
    template <typename T>
    bool take(T &v) {
        if (static_cast<size_t>(end - p) < sizeof v) return false;
        std::memcpy(&v, p, sizeof v);
        p += sizeof v;
        return true;
    }
    bool take(file_id &id) {
        uint64_t dev = 0, ino = 0;
        if (!take(dev) || !take(ino)) return false;
        id = {static_cast<dev_t>(dev), static_cast<ino_t>(ino)};
        return true;
    }
    bool take(std::string_view &s) {
        uint32_t n = 0;
        if (!take(n) || static_cast<size_t>(end - p) <= n || p[n] != '\0') return false;
        s = std::string_view(p, n);
        p += n + 1;
        return true;
    }
};

} // namespace

void encode(const plan &pl, uint64_t i, std::string &o) {
    const job &j = pl.jobs[i];
    o.assign(sizeof(uint32_t), '\0');
    put_u64(o, i);
    o += static_cast<char>(j.dir >= 0);
    o += static_cast<char>(j.seen.fifo);
    put_id(o, j.seen.id);
    const char *input = input_of(pl, j);
    put_str(o, input + j.name_at, std::strlen(input) - j.name_at);
    if (j.dir >= 0) {
        std::vector<int32_t> nodes;
        for (int32_t n = j.dir; n >= 0; n = pl.dirs[static_cast<size_t>(n)].parent)
            nodes.push_back(n);
        std::reverse(nodes.begin(), nodes.end());
        put_u32(o, static_cast<uint32_t>(nodes.size()));
        for (int32_t n : nodes) {
            const dir_node &d = pl.dirs[static_cast<size_t>(n)];
            put_id(o, d.id);
            put_str(o, d.name.data(), d.name.size());
        }
        auto out = std::find(nodes.begin(), nodes.end(), j.out_dir);
        put_u32(o, out == nodes.end() ? out_walked : static_cast<uint32_t>(out - nodes.begin()));
        std::string output = output_of(pl, j);
        put_str(o, output.data() + j.out_at, output.size() - j.out_at);
    }
    auto length = static_cast<uint32_t>(o.size() - sizeof(uint32_t));
    std::memcpy(o.data(), &length, sizeof length);
}

bool next_order(order_reader &r, order &o) {
    uint32_t length = 0;
    if (!fill(r, sizeof length)) return false;
    std::memcpy(&length, r.buf.data() + r.at, sizeof length);
    if (!fill(r, sizeof length + length)) return false;
    taker t{r.buf.data() + r.at + sizeof length, r.buf.data() + r.at + sizeof length + length};
    r.at += sizeof length + length;
    uint8_t found = 0, fifo = 0;
    if (!t.take(o.index) || !t.take(found) || !t.take(fifo) || !t.take(o.seen.id) ||
        !t.take(o.input))
        return false;
    o.found = found != 0;
    o.seen.fifo = fifo != 0;
    o.levels.clear();
    if (!o.found) return t.p == t.end;
    uint32_t count = 0;
    if (!t.take(count)) return false;
    for (uint32_t i = 0; i < count; ++i) {
        level l;
        if (!t.take(l.id) || !t.take(l.name)) return false;
        o.levels.push_back(l);
    }
    return t.take(o.out_level) && t.take(o.out) && t.p == t.end &&
           (o.out_level == out_walked || o.out_level < count);
}
