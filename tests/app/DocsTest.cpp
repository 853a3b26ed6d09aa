// The manual page, the README and --help describe the program as it is: the package check
// (scripts/check-package.sh) refuses a text that names a service as not running.

#include "app/CommandLine.h"

#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using namespace corvan;
using namespace corvan::test;

namespace {

constexpr int kWaitMs = 30000;

// The package check's verdict on one page: its exit code and what it said.
std::pair<int, std::string> CheckPage(const std::string& page) {
    TChildProcess check({"/bin/bash", std::string(CORVAN_SOURCE_DIR) + "/scripts/check-package.sh",
                         "--manual-page", page},
                        {});
    int code = check.WaitForExit(kWaitMs);
    return {code, check.Output()};
}

} // namespace

TEST(Docs, NoTextNamesAServiceAsNotRunning) {
    TTempDir dir;
    WriteFileText(dir / "help.txt", UsageText());
    for (const std::string& page :
         {std::string(CORVAN_SOURCE_DIR) + "/packaging/corvan-proxy.1",
          std::string(CORVAN_SOURCE_DIR) + "/README.md", dir / "help.txt"})
        EXPECT_EQ(CheckPage(page), std::make_pair(0, std::string())) << page;

    // A note left from before the services ran, split over roff lines as the page was.
    WriteFileText(dir / "stale.1", ".SH DESCRIPTION\nPort mappings run; the\n.B HTTP\n"
                                   "proxy and the DNS proxy keep their settings but\n"
                                   ".I do not run yet.\n");
    auto [code, said] = CheckPage(dir / "stale.1");
    EXPECT_EQ(code, 1);
    EXPECT_NE(said.find("HTTP proxy and the DNS proxy keep their settings but do not run"),
              std::string::npos)
        << said;
}
