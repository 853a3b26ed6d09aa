#include "util/FileSystem.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace corvan;
using corvan::test::ReadFileText;
using corvan::test::TTempDir;

TEST(AppendToFile, CreatesThenAppendsWholeLines) {
    TTempDir dir;
    std::string log = dir / "socksproxy.log";
    AppendToFile(log, "first\r\n");
    AppendToFile(log, "second\r\n");
    EXPECT_EQ(ReadFileText(log), "first\r\nsecond\r\n");
}

TEST(AppendToFile, LockedOrMissingFolderRaisesAndWritesNothing) {
    TTempDir dir;
    std::string log = dir / "httpproxy.log";
    AppendToFile(log, "a\r\n");
    int holder = ::open(log.c_str(), O_RDONLY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0); // another writer holds the file
    EXPECT_THROW(AppendToFile(log, "lost\r\n"), EFileError);
    ::close(holder);
    AppendToFile(log, "b\r\n");
    EXPECT_EQ(ReadFileText(log), "a\r\nb\r\n");
    try {
        AppendToFile(dir / "missing/x.log", "x");
        FAIL() << "no exception";
    } catch (const EFileError& e) {
        EXPECT_NE(std::string(e.what()).find("missing/x.log"), std::string::npos);
    }
}

TEST(FileSystem, ForceDirectoriesCreatesParentsAndRejectsFiles) {
    TTempDir dir;
    EXPECT_TRUE(ForceDirectories(dir / "a/b/c/"));
    EXPECT_TRUE(ForceDirectories(dir / "a/b/c"));
    AppendToFile(dir / "file", "x");
    EXPECT_FALSE(ForceDirectories(dir / "file"));
    EXPECT_FALSE(ForceDirectories(dir / "file/sub"));
    EXPECT_EQ(IncludeTrailingSlash(""), "");
    EXPECT_EQ(IncludeTrailingSlash("/x"), "/x/");
    EXPECT_EQ(IncludeTrailingSlash("/x/"), "/x/");
}
