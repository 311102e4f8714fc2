// A conversion in-process, when memory runs out at each of its allocations
// in turn: no exception leaves it, and a run that fails leaves the previous
// equation file as it was and no new file.
#include "convert.h"
#include "takeback.h"

#include "run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sys/xattr.h>

namespace {

long allocations = 0;
long failing = -1; // the allocation that fails, counted from 0; -1 for none

} // namespace

void *operator new(size_t n) {
    if (failing >= 0 && allocations++ == failing) throw std::bad_alloc();
    if (void *p = std::malloc(n > 0 ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, size_t) noexcept {
    std::free(p);
}

namespace {

TEST(Publish, NoMemoryAtAnyAllocation) {
    const std::string origin(100, 'o'); // longer than a string holds without allocating
    auto buffers = std::make_unique<conversion_buffers>();
    for (long n = 0;; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
        temp_dir dir;
        fs::path eqn = dir.path / "data.eqn-file";
        spit(dir.path / "data.tmp", line_in);
        spit(eqn, "old");
        ASSERT_EQ(setxattr(eqn.c_str(), "user.origin", origin.data(), origin.size(), 0), 0);
        // Relative, as qemu -L would look "/" up under its prefix; made
        // before the count starts.
        std::string name = fs::relative(dir.path / "data.tmp").string();
        allocations = 0;
        failing = n;
        int err = convert_path(name.c_str(), *buffers).err;
        failing = -1;
        release_signals();
        EXPECT_EQ(slurp(eqn), err == 0 ? line_out : "old");
        EXPECT_EQ(partial_files(dir.path), std::vector<std::string>{});
        std::string got(origin.size(), '\0');
        EXPECT_EQ(getxattr(eqn.c_str(), "user.origin", got.data(), got.size()),
                  static_cast<ssize_t>(origin.size()));
        if (allocations <= n) {
            EXPECT_EQ(err, 0) << "failed with no allocation failing: " << std::strerror(err);
            break;
        }
    }
}

} // namespace
