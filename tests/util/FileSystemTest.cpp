#include "util/FileSystem.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

using namespace corvan;
using corvan::test::TTempDir;
using corvan::test::WriteFileText;

TEST(FileSystem, ForceDirectoriesCreatesParentsAndRejectsFiles) {
    TTempDir dir;
    EXPECT_TRUE(ForceDirectories(dir / "a/b/c/"));
    EXPECT_TRUE(ForceDirectories(dir / "a/b/c"));
    WriteFileText(dir / "file", "x");
    EXPECT_FALSE(ForceDirectories(dir / "file"));
    EXPECT_FALSE(ForceDirectories(dir / "file/sub"));
    EXPECT_EQ(IncludeTrailingSlash(""), "");
    EXPECT_EQ(IncludeTrailingSlash("/x"), "/x/");
    EXPECT_EQ(IncludeTrailingSlash("/x/"), "/x/");
}
