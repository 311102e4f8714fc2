// Installing: the program and its manual page land under the prefix, the
// installed program works, and the manual page renders without a warning.
#include "run.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Runs a shell command; returns everything it wrote, both streams, or a
// note that it failed.
std::string output_of(const std::string &command) {
    std::string out;
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return "cannot run: " + command;
    std::array<char, 4096> buf;
    for (size_t n; (n = fread(buf.data(), 1, buf.size(), p)) > 0;) out.append(buf.data(), n);
    if (pclose(p) != 0) out += "\n(" + command + " failed)";
    return out;
}

bool have(const char *tool) {
    return std::system(("command -v " + std::string(tool) + " >/dev/null").c_str()) == 0;
}

// The build installed: this one, or another given in ZELMOR_TEST_BUILD_DIR
// (with its programs given to the other tests), such as a static build.
std::string build_dir() {
    const char *other = std::getenv("ZELMOR_TEST_BUILD_DIR");
    return other != nullptr && *other != '\0' ? other : ZELMOR_BUILD_DIR;
}

TEST(Install, InstalledProgramRuns) {
    temp_dir prefix, work;
    std::string install = std::string("'") + ZELMOR_CMAKE + "' --install '" + build_dir() +
                          "' --prefix '" + prefix.path.string() + "'";
    ASSERT_EQ(std::system((install + " >/dev/null").c_str()), 0) << install;
    EXPECT_TRUE(fs::exists(prefix.path / ZELMOR_INSTALLED_MAN_PAGE));

    std::string batch_page = fs::path(ZELMOR_INSTALLED_MAN_PAGE).filename().string();
    batch_page.replace(0, 6, "zelmor-batch");
    EXPECT_TRUE(fs::exists((prefix.path / ZELMOR_INSTALLED_MAN_PAGE).parent_path() / batch_page));
    for (const char *program : {"zelmor", "zelmor-batch"}) {
        SCOPED_TRACE(program);
        spit(work.path / "data.tmp", line_in);
        fs::remove(work.path / "data.eqn-file");
        run_options opts;
        opts.program = (prefix.path / "bin" / program).string();
        run_result r = run(work.path, {"data.tmp"}, opts);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(slurp(work.path / "data.eqn-file"), line_out);
    }
}

TEST(Install, ManPagesRenderWithoutWarnings) {
    if (!have("groff")) GTEST_SKIP() << "needs groff (apt-get install groff-base)";
    for (const char *man_page : {ZELMOR_MAN_PAGE, ZELMOR_BATCH_MAN_PAGE}) {
        SCOPED_TRACE(man_page);
        std::string page = std::string("'") + man_page + "'";
        EXPECT_EQ(output_of("groff -mdoc -Tutf8 -ww -z " + page), "");
        std::string shown = output_of("groff -mdoc -Tutf8 " + page);
        EXPECT_NE(shown.find(" General Commands Manual"), std::string::npos);
        EXPECT_EQ(shown.find("BSD General Commands Manual"), std::string::npos);
        EXPECT_NE(shown.find("zelmor " ZELMOR_VERSION), std::string::npos)
            << "no version in the footer";
        if (have("mandoc")) {
            EXPECT_EQ(output_of("mandoc -Tlint -Wwarning " + page), "");
        }
    }
    if (!have("mandoc"))
        GTEST_SKIP() << "rendered with groff; mandoc's stricter check needs mandoc";
}

} // namespace
