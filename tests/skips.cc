// Keeps the reason of every skipped test in a file of its own under
// ZELMOR_SKIP_DIR, so that the test run can print it: ctest shows the
// output of failed tests only.
#include <gtest/gtest.h>

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
        std::error_code ec;
        std::filesystem::create_directories(ZELMOR_SKIP_DIR, ec);
        std::ofstream(std::filesystem::path(ZELMOR_SKIP_DIR) / (file + ".txt"))
            << name << ": " << why;
    }
};

const bool recorder_added = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new skip_recorder);
    return true;
}();

} // namespace
