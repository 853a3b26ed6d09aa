#pragma once
// Asks the maker's web server whether another version is offered. The HTTP exchange is
// not part of this unit yet: Start validates, resets the result and marks a check as
// running (Busy), which is all the application's scheduling relies on.

#include "util/Exceptions.h"

#include <functional>
#include <string>

namespace corvan {

class EUpdateChecker : public Exception {
public:
    using Exception::Exception;
};

class TUpdateChecker {
public:
    std::string ProductKey;
    std::string Host;
    std::string Port = "80";
    std::string URI = "/version.txt";
    std::string CurrentVersion;
    std::function<void(TUpdateChecker* sender)> OnComplete;

    bool Busy() const { return FBusy; }
    bool Success() const { return FSuccess; }
    bool NewVersionAvailable() const { return FNewVersionAvailable; }
    const std::string& NewVersion() const { return FNewVersion; }
    const std::string& InfoURL() const { return FInfoURL; }
    const std::string& SetupURL() const { return FSetupURL; }
    // Number of checks started (for the application's tests and the status line).
    int StartCount() const { return FStartCount; }

    // Nothing while Busy. Raises EUpdateChecker "Host not set" or "URI not set"; otherwise
    // clears the last result and starts a check (Busy).
    void Start();

private:
    bool FBusy = false;
    bool FSuccess = false;
    bool FNewVersionAvailable = false;
    std::string FNewVersion;
    std::string FInfoURL;
    std::string FSetupURL;
    int FStartCount = 0;
};

} // namespace corvan
