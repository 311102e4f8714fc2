// Keeps the reason of every skipped test in a file of its own under
// ZELMOR_SKIP_DIR, so that the test run can print it: ctest shows the
// output of failed tests only.  An environment variable of that name
// replaces the directory; set empty, it keeps none, for runs whose skips
// are their point (the runs under CPU models, which skip what each lacks).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

class skip_recorder : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo &test) override {
        const ::testing::TestResult &result = *test.result();
        if (!result.Skipped()) return;
        std::string name = std::string(test.test_suite_name()) + "." + test.name(), why;
        for (int i = 0; i < result.total_part_count(); ++i)
            if (result.GetTestPartResult(i).skipped()) why = result.GetTestPartResult(i).message();
        std::string file = name;
        for (char &c : file)
            if (c == '/') c = '_';
        const char *other = std::getenv("ZELMOR_SKIP_DIR");
        std::filesystem::path dir = other != nullptr ? other : ZELMOR_SKIP_DIR;
        if (dir.empty()) return;
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        std::ofstream(dir / (file + ".txt")) << name << ": " << why;
    }
};

const bool recorder_added = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new skip_recorder);
    return true;
}();

} // namespace
