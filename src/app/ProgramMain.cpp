#include "app/ProgramMain.h"

#include "app/Headless.h"
#include "net/EventLoop.h"
#include "util/DataFolderLock.h"
#include "util/ProcessLimits.h"
#include "util/StopSignal.h"
#include "util/Version.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>

namespace corvan {

namespace {

// Serves the main thread's loop (listening sockets, UDP mappings, hand-overs from client
// threads) until SIGINT or SIGTERM; returns the signal number. SIGHUP runs onReload on this
// loop, between other messages.
int RunMainLoopUntilStopSignal(const std::function<void()>& onReload) {
    int received = 0;
    TMessageLoop& loop = TMessageLoop::Main();
    loop.WatchTerminationSignals([&](int signal) {
        if (signal == SIGHUP) {
            if (onReload)
                onReload();
            return;
        }
        received = signal;
        loop.Quit();
    });
    loop.Run();
    return received;
}

bool NonEmptyVariable(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

} // namespace

bool DisplayAvailable() {
    return NonEmptyVariable("DISPLAY") || NonEmptyVariable("WAYLAND_DISPLAY");
}

int ProgramMain(int argc, char** argv, const TWindowRunner& runWindow) {
    // Before any thread exists, so that every thread inherits the blocked stop signals.
    BlockStopSignals();
    TCommandLine options = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!options.Error.empty()) {
        std::fprintf(stderr, "corvan-proxy: %s\n\n%s", options.Error.c_str(), UsageText().c_str());
        return 2;
    }
    if (options.Help) {
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    }
    if (options.Version) {
        std::printf("%s %s\n", ProductName().c_str(), ProductVersion().c_str());
        return 0;
    }
    bool window = false;
    if (!options.Headless) {
        if (!runWindow)
            std::fprintf(stderr, "corvan-proxy: this build has no window; running as with "
                                 "--headless\n");
        else if (!DisplayAvailable())
            std::fprintf(stderr, "corvan-proxy: no display (neither DISPLAY nor "
                                 "WAYLAND_DISPLAY is set); running as with --headless\n");
        else
            window = true;
    }
    // Before any service opens a descriptor: every tunnel holds several.
    std::fprintf(stderr, "corvan-proxy: %s\n",
                 DescriptorLimitText(RaiseDescriptorLimit()).c_str());
    TAppEnvironment environment = TAppEnvironment::FromProcess();
    if (!options.DataDir.empty()) {
        // Absolute, so that the autostart entry finds it from any working folder.
        std::error_code ec;
        std::filesystem::path dir = std::filesystem::absolute(options.DataDir, ec);
        environment.DataFolder = ec ? options.DataDir : dir.lexically_normal().string();
        environment.DataDirArgument = environment.DataFolder;
    }
    // Before anything is loaded: a second program on the folder would save its stale copy
    // of the settings over the first one's at its stop.
    TDataFolderLock folderLock;
    std::string lockError;
    switch (folderLock.Acquire(environment.ApplicationFolder(), lockError)) {
    case TDataFolderLock::TResult::Locked:
        break;
    case TDataFolderLock::TResult::InUse:
        std::fprintf(stderr, "corvan-proxy: not started: %s\n", lockError.c_str());
        return 1;
    case TDataFolderLock::TResult::Failed:
        // A folder this program could run on before must not keep it from running now.
        std::fprintf(stderr, "corvan-proxy: %s; running without the data folder lock: a "
                             "second program on this folder would not be stopped\n",
                     lockError.c_str());
        break;
    }
    try {
        if (window)
            return runWindow(argc, argv, options, environment);
        return RunHeadless(options, environment, RunMainLoopUntilStopSignal, stderr);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "corvan-proxy: %s\n", e.what());
        return 1;
    }
}

} // namespace corvan
