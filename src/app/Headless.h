#pragma once
// The program without a window: the start-up sequence (create, load, start the enabled
// services), a wait for the stop request, and the shut-down sequence (save when loaded,
// stop, destroy).

#include "app/CommandLine.h"
#include "app/ProxyAppBase.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace corvan {

class TServiceComponent;

// Switches the named services ("http", "socks", "dns", "mappings": every mapping) on for
// this run (EnabledForRun: started as if their Enabled key were set, never saved). Call
// after loading.
void ApplyEnableList(TProxySystem& root, const std::vector<std::string>& services);
// The same for one service or mapping of root (after it was loaded again).
void ApplyEnableList(TProxySystem& root, TServiceComponent& service,
                     const std::vector<std::string>& services);

// What SIGHUP does: reopens the request logs (TProxyApp::ReopenLogs), reads the settings file again and reloads only the services and
// mappings whose settings changed (TProxySystem::ReloadSettings), applying the --enable
// list to them again; the application keys are read again too. A settings file that is
// missing or cannot be read changes nothing: the running settings are kept and err says
// so. One line per change (or "nothing changed") goes to err. True when the file was read.
bool ReloadSettingsFile(TProxyApp& app, const std::vector<std::string>& enable, std::FILE* err);

// Runs the main loop until a stop signal; calls onReload (on the same thread) for every
// SIGHUP meanwhile. Returns the stop signal's number.
using TStopWaiter = std::function<int(const std::function<void()>& onReload)>;

// Saves (only when the settings were loaded), then stops every service. Errors are
// reported on err; true when the save succeeded or was not due.
bool ShutDown(TProxyApp& app, std::FILE* err);

// Runs the headless program with the environment (the command line's --data-dir already
// applied) until waitForStop returns the stop signal's number; each reload it asks for is
// ReloadSettingsFile (when the last one could not read the file, the file is not saved at
// the end either). A headless run never writes or removes the desktop's autostart entry
// (a server is started by its unit, not by a desktop log-in). Returns the exit code: 0,
// or 1 when the settings could not be saved; 1 at once, before any service starts, when
// the settings file exists but cannot be read (TIniFile::LoadError). Messages go to err;
// the line that contains "running headless" is written once every service that can start
// has started.
int RunHeadless(const TCommandLine& options, const TAppEnvironment& environment,
                const TStopWaiter& waitForStop, std::FILE* err);

} // namespace corvan
