#pragma once
// Asks the maker's web server whether another version is offered: one HTTP GET of a small
// version file, run on a client thread of its own, whose outcome is handed to the main thread
// (OnComplete fires there) before anything is shown.
//
// Version file: lines ended by CR, LF or both; from the first ';' on a line is a comment; the
// rest trimmed of bytes 0 to 32; a line without '=' is ignored; the text before the first '='
// (trimmed, lower-cased) is the key, the text after it (trimmed) the value. Keys: "version",
// "info-url", "setup-url"; others are ignored; the last occurrence wins (for "version", the
// last that differs from the running version). Any version other than the running one, by
// exact text, counts as new.

#include "util/Exceptions.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace corvan {

class ThttpClient;

class EUpdateChecker : public Exception {
public:
    using Exception::Exception;
};

// What a version file offers, judged against the running version.
struct TVersionFileInfo {
    bool NewVersionAvailable = false;
    std::string NewVersion;
    std::string InfoURL;
    std::string SetupURL;
};
// Parses a version file (see above). An empty currentVersion finds no new version.
TVersionFileInfo ParseVersionFile(std::string_view text, std::string_view currentVersion);

class TUpdateChecker {
public:
    TUpdateChecker();
    // Stops a check still running (its outcome is dropped).
    ~TUpdateChecker();
    TUpdateChecker(const TUpdateChecker&) = delete;
    TUpdateChecker& operator=(const TUpdateChecker&) = delete;

    std::string ProductKey;
    std::string Host;
    std::string Port = "80";
    std::string URI = "/version.txt";
    std::string CurrentVersion;
    // Main thread, once per started check, whether or not it succeeded.
    std::function<void(TUpdateChecker* sender)> OnComplete;

    bool Busy() const { return FBusy; }
    // The last check got a 2xx response.
    bool Success() const { return FSuccess; }
    bool NewVersionAvailable() const { return FNewVersionAvailable; }
    const std::string& NewVersion() const { return FNewVersion; }
    const std::string& InfoURL() const { return FInfoURL; }
    const std::string& SetupURL() const { return FSetupURL; }
    // Number of checks started (for the application's tests and the status line).
    int StartCount() const { return FStartCount; }
    // Why the last check failed ("" when it succeeded or none ran): the connection's error,
    // or "HTTP <code>" for a non-2xx answer.
    const std::string& LastError() const { return FLastError; }
    // The client of the current or last check (null before the first).
    ThttpClient* Client() const { return FClient.get(); }

    // Main thread. Nothing while Busy. Raises EUpdateChecker "Host not set" or "URI not set";
    // otherwise clears the last result, frees the previous client and starts a GET of URI on
    // Host:Port (Port empty: "80") with "User-Agent: Mozilla/4.0 (compatible; ProductKey)"
    // (without "; ProductKey" when that is empty) on a thread; Busy until OnComplete. A check
    // whose connection fails completes too (Success false), so a later check can run.
    void Start();

private:
    // Main thread, when the client's thread has ended.
    void CheckDone();
    bool FBusy = false;
    bool FSuccess = false;
    bool FNewVersionAvailable = false;
    std::string FNewVersion;
    std::string FInfoURL;
    std::string FSetupURL;
    std::string FLastError;
    int FStartCount = 0;
    std::unique_ptr<ThttpClient> FClient;
};

} // namespace corvan
