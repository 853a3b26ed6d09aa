#pragma once
// The program without a window: the start-up sequence (create, load, start the enabled
// services), a wait for the stop request, and the shut-down sequence (save when loaded,
// stop, destroy).

#include "app/CommandLine.h"
#include "app/ProxyAppBase.h"

#include <cstdio>
#include <functional>

namespace corvan {

// Switches the named services ("http", "socks", "dns", "mappings": every mapping) on for
// this run, as if their Enabled key had been read as set. Call after loading.
void ApplyEnableList(TProxySystem& root, const std::vector<std::string>& services);

// Saves (only when the settings were loaded), then stops every service. Errors are
// reported on err; true when the save succeeded or was not due.
bool ShutDown(TProxyApp& app, std::FILE* err);

// Runs the headless program with the environment (the command line's --data-dir already
// applied) until waitForStop returns the stop signal's number. Returns the exit code: 0,
// or 1 when the settings could not be saved; 1 at once, before any service starts, when
// the settings file exists but cannot be read (TIniFile::LoadError). Messages go to err;
// the line that contains "running headless" is written once every service that can start
// has started.
int RunHeadless(const TCommandLine& options, const TAppEnvironment& environment,
                const std::function<int()>& waitForStop, std::FILE* err);

} // namespace corvan
