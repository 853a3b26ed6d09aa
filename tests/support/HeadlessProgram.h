#pragma once
// The built program run headless, as a user would start it, in a folder of its own: the
// settings file is written from the test's INI text before the start, and the program's
// data, configuration and home folders all lie in that folder. The program is stopped with
// SIGTERM when the object goes away.

#include "support/Process.h"
#include "support/TempDir.h"

#include "util/FileSystem.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace corvan::test {

class THeadlessProgram {
public:
    // Generous, for the sanitizer build.
    static constexpr int kWaitMs = 30000;
    static constexpr const char* kReadyText = "running headless";

    // launcher: words put before the program (e.g. prlimit with its options).
    explicit THeadlessProgram(const std::string& settings, std::vector<std::string> launcher = {}) {
        std::filesystem::create_directories(DataFolder());
        // The status page runs by default on one fixed port, which programs started side by
        // side would fight over: a test that wants it says so in its settings.
        FWritten = settings.find("[Proxy-Status]") == std::string::npos
                       ? settings + "\n[Proxy-Status]\nEnabled=0\n"
                       : settings;
        WriteFileText(SettingsFile(), FWritten);
        launcher.insert(launcher.end(), {CORVAN_PROXY_BIN, "--headless"});
        FProcess = std::make_unique<TChildProcess>(
            launcher,
            std::map<std::string, std::string>{{"LOCALAPPDATA", FDir / "data"},
                                               {"XDG_CONFIG_HOME", FDir / "config"},
                                               {"HOME", FDir / "home"}},
            std::vector<std::string>{"XDG_DATA_HOME"});
        Ready = FProcess->WaitForOutput(kReadyText, kWaitMs);
    }
    ~THeadlessProgram() { Stop(); }

    // Whether the program said it runs within kWaitMs.
    bool Ready = false;

    std::string DataFolder() const { return FDir / "data/Corvan"; }
    std::string SettingsFile() const { return DataFolder() + "/CorvanProxy.ini"; }
    // The settings file as written before the start.
    const std::string& WrittenSettings() const { return FWritten; }
    const TTempDir& Dir() const { return FDir; }
    TChildProcess& Process() { return *FProcess; }
    std::string Output() const { return FProcess->Output(); }
    // SIGTERM, then the exit code (a second call returns the first's).
    int Stop() {
        if (!FStopped) {
            FStopped = true;
            FProcess->Signal(SIGTERM);
            FExitCode = FProcess->WaitForExit(kWaitMs);
        }
        return FExitCode;
    }

private:
    TTempDir FDir;
    std::string FWritten;
    std::unique_ptr<TChildProcess> FProcess;
    bool FStopped = false;
    int FExitCode = -1;
};

} // namespace corvan::test
