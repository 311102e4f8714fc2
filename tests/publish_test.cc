// Publication in-process, when memory runs out at each of its allocations
// in turn: no exception leaves it, and a run that fails leaves the previous
// equation file as it was and no new file.
#include "publish.h"
#include "takeback.h"

#include "run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
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
    for (long n = 0;; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
        temp_dir dir;
        fs::path eqn = dir.path / "data.eqn-file";
        spit(dir.path / "data.tmp", line_in);
        spit(eqn, "old");
        ASSERT_EQ(setxattr(eqn.c_str(), "user.origin", origin.data(), origin.size(), 0), 0);
        struct stat in;
        ASSERT_EQ(stat((dir.path / "data.tmp").c_str(), &in), 0);
        // Relative, as qemu -L would look "/" up under its prefix; made
        // before the count starts.
        std::string name = fs::relative(eqn).string();
        publication pub;
        allocations = 0;
        failing = n;
        bool ok = publish_begin(pub, name.c_str(), in);
        int err = errno;
        if (ok && write(pub.file.get(), "new", 3) != 3) {
            ADD_FAILURE() << "write";
            publish_abandon(pub);
            ok = false;
        }
        if (ok) ok = publish_commit(pub), err = errno;
        failing = -1;
        release_signals();
        EXPECT_EQ(slurp(eqn), ok ? "new" : "old");
        EXPECT_EQ(partial_files(dir.path), std::vector<std::string>{});
        std::string got(origin.size(), '\0');
        EXPECT_EQ(getxattr(eqn.c_str(), "user.origin", got.data(), got.size()),
                  static_cast<ssize_t>(origin.size()));
        if (allocations <= n) {
            EXPECT_TRUE(ok) << "failed with no allocation failing: " << std::strerror(err);
            break;
        }
    }
}

} // namespace
