#pragma once
// What corvan-proxy does with its command line, shared by the headless-only build and the
// build with a window: options, the descriptor limit, and the choice between the window and
// the headless program.

#include "app/CommandLine.h"
#include "app/ProxyAppBase.h"

#include <functional>

namespace corvan {

// Runs the window program until its window closes; returns the exit code.
using TWindowRunner =
    std::function<int(int argc, char** argv, const TCommandLine&, const TAppEnvironment&)>;

// Whether a window can be shown: DISPLAY or WAYLAND_DISPLAY set and not empty.
bool DisplayAvailable();

// The program: parses argv, answers --help and --version, and runs the window (runWindow,
// when given, not --headless and a display is available) or else the headless program,
// saying why on stderr when a window was not asked away with --headless.
int ProgramMain(int argc, char** argv, const TWindowRunner& runWindow);

} // namespace corvan
