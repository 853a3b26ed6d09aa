// The settings file survives a process killed in the middle of saving, and a disk that
// fills up while saving.

#include "util/IniFile.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <poll.h>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

using namespace corvan;
using corvan::test::ReadFileText;
using corvan::test::TTempDir;
using corvan::test::WriteFileText;

namespace {

// Version v of a settings file large enough that writing it takes a while: every key of
// many sections carries the version number, so a mix of two versions is detectable.
std::string VersionText(int v) {
    TIniFile ini("");
    for (int s = 0; s < 400; ++s)
        for (int k = 0; k < 20; ++k)
            ini.WriteString("Proxy-ProxyUsers.Items." + std::to_string(s),
                            "Key" + std::to_string(k),
                            "version " + std::to_string(v) + std::string(40, 'x'));
    return ini.Text();
}

void SleepMicroseconds(long us) {
    timespec ts{us / 1000000, (us % 1000000) * 1000};
    nanosleep(&ts, nullptr);
}

} // namespace

TEST(IniFileCrash, KilledWhileSavingLeavesAWholeVersion) {
    const int Versions = 4;
    std::vector<std::string> texts;
    for (int v = 0; v < Versions; ++v)
        texts.push_back(VersionText(v));
    std::mt19937 random(12345);
    for (int round = 0; round < 12; ++round) {
        TTempDir dir;
        std::string path = dir / "CorvanProxy.ini";
        WriteFileText(path, texts[0]);
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(ready[0]);
            TIniFile ini(path);
            for (int i = 1;; ++i) {
                ini.SetText(texts[i % Versions]);
                ini.UpdateFile();
                if (i == 1) // the parent starts its clock once saving is under way
                    (void)!::write(ready[1], "x", 1);
            }
        }
        ::close(ready[1]);
        pollfd p{ready[0], POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 20000), 1) << "the saving child never got going";
        ::close(ready[0]);
        SleepMicroseconds(long(random() % 30000)); // a random moment within the next saves
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));

        std::string now = ReadFileText(path);
        bool whole = false;
        for (const std::string& t : texts)
            whole = whole || now == t;
        EXPECT_TRUE(whole) << "round " << round << ": " << now.size() << " bytes";
        TIniFile parsed(path);
        EXPECT_EQ(parsed.LoadError(), "");
        EXPECT_EQ(parsed.ReadSections().size(), 400u);
    }
}

TEST(IniFileCrash, FullDiskLeavesThePreviousFile) {
    TTempDir dir;
    std::string path = dir / "CorvanProxy.ini";
    const std::string before = "[Application]\nRunOnStartUp=0\n";
    WriteFileText(path, before);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A file-size limit makes writes fail the way a full disk does.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        TIniFile ini(path);
        ini.WriteString("Application", "Big", std::string(100000, 'y'));
        try {
            ini.UpdateFile();
        } catch (const EIniFile& e) {
            bool named = std::string(e.what()).find("not saved") != std::string::npos;
            ::_exit(named ? 3 : 4);
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3) << "the failed save must raise EIniFile";
    EXPECT_EQ(ReadFileText(path), before);
    // The temporary file is gone too.
    int entries = 0;
    DIR* d = ::opendir(dir.Path().c_str());
    while (dirent* e = ::readdir(d))
        entries += e->d_name[0] != '.';
    ::closedir(d);
    EXPECT_EQ(entries, 1);
}
