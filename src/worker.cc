// A worker of zelmor-batch: converts the files its orders name, one after
// another, in-process, reaching each file the search found from the PATH
// searched down, through the directories the search saw, and each named
// file as zelmor reaches it.  Its memory stays the same whatever the
// number of files: it holds an order at a time, and the directories of the
// last file found.
#include "crew.h"
#include "orders.h"
#include "search.h"
#include "takeback.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <unistd.h>

namespace {

// Converts the file the order names.
conversion_result convert(const order &o, descent &d, conversion_buffers &b) {
    if (!o.found) return convert_path(o.input.data(), b, &o.seen);
    int dir = descend(d, o.levels);
    if (dir < 0) return {errno, errno == ESTALE ? failed_at::changed : failed_at::input};
    int out_dir = o.out_level == out_walked ? AT_FDCWD : d.fds[o.out_level].get();
    return convert_found(dir, o.input.data(), o.seen.id, out_dir, o.out.data(), b);
}

} // namespace

// A signal that ends the batch ends the worker too, taking back its
// current file; between files, nothing is armed and it just ends.
void work(uint32_t me, int orders, int reports, worker_slot &slot, std::vector<file_id> pipes) {
    std::unique_ptr<conversion_buffers> buffers(new (std::nothrow) conversion_buffers);
    if (buffers != nullptr) buffers->seen = &slot.seen, buffers->off_limits = std::move(pipes);
    try {
        order_reader in{orders, {}};
        order o;
        descent d;
        while (next_order(in, o)) {
            slot.current.store(o.index);
            conversion_result c = buffers == nullptr ? conversion_result{ENOMEM, failed_at::input}
                                                     : convert(o, d, *buffers);
            report r{o.index, c.bytes, me, c.err, static_cast<uint8_t>(c.at)};
            slot.seen.store(0); // counted in the report from now on
            if (write(reports, &r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(3);
            slot.current.store(no_file);
            release_signals(); // held from the commit: one that came ends the worker here
        }
    } catch (...) {
        _exit(3); // out of memory for an order: the parent names the file
    }
    _exit(0);
}
