#pragma once
// The HTTP proxy service as a settings component ("Proxy-HTTP"). It holds and persists the
// service's settings, starts and stops a ThttpProxyServer with them, answers the server's
// events (route, login, throttle, request log) and computes its status view.
//
// Connection threads never read the settings fields: each start and each confirmed dialog
// publishes a copy (THTTPProxyOptions) that the handlers take whole, so a request sees one
// consistent set. Login mode 3 asks an external validation program (LoginScript), run
// long-lived and spoken to one line per login.

#include "component/ServiceComponent.h"
#include "http/HTTPProxyServer.h"
#include "util/DateTime.h"
#include "util/LineProcess.h"

#include <array>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace corvan {

// What the handlers read for each request.
struct THTTPProxyOptions {
    bool EnableTunnelling = true;
    bool OnlyTunnelHTTPS = false;
    bool EnableLogFile = false;
    bool AllowLocalTargets = false;
    bool LimitBandwidth = false;
    int BandwidthLimit = 0;
    uint8_t LoginMode = 0;
    std::string LoginPassword;
    TProxyServerInfo HTTPProxy;
    TProxyServerInfo SocksProxy;
};

// The request log line (CR LF ended): "hh:nn:ss <client ip> <status> <content length>
// <1 sent completely, else 0> <request line>", the request line as received but without the
// credentials of its target and with control characters escaped (RequestLineForLog).
std::string HTTPRequestLogLine(TDateTime time, const std::string& clientIP, int status,
                               int64_t contentLength, bool complete,
                               const std::string& requestLine);

// Login mode 3: the validation program. The program runs long-lived; each login is one
// line, the user name and the password each percent-encoded (every byte but A-Z a-z 0-9 - . _ ~)
// and separated by one space; the answer is the first line the program prints after it,
// beginning with "OK" (accepted) or anything else ("ERR"); what it prints besides is
// discarded (TLineProcess). Up to kLoginScriptMaxPrograms copies run, one login each at a
// time, so a program that hangs holds up only the logins it was given. A login waits at most
// AnswerTimeoutMs for its answer, waiting for a free copy included. No program, one that cannot
// start or has died, no free copy or no answer within that time: refused, and the reason goes
// to OnReport once until a program answers again. A copy that failed is started again for a
// later login. Any thread.
// How long one login may wait for the validation program's answer (for a free copy included).
inline constexpr int kLoginScriptAnswerTimeoutMs = 5000;
// How many copies of the validation program may run at once; a login finding all of them busy
// waits for one within its time, and is refused when none comes free.
inline constexpr size_t kLoginScriptMaxPrograms = 4;

class THTTPLoginScript {
public:
    // Set before the first login (tests shorten it).
    int AnswerTimeoutMs = kLoginScriptAnswerTimeoutMs;

    // Uses commandLine from the next login on; a change stops the running programs (one out
    // for a login is stopped when that login is done).
    void SetCommandLine(const std::string& commandLine);
    bool Validate(const std::string& user, const std::string& password);
    // Ends the programs (as a new command line does).
    void Stop();
    // The reason a login was refused by no fault of the user (the calling thread).
    std::function<void(const std::string& reason)> OnReport;
    // "user password" as sent to the program.
    static std::string LoginLine(const std::string& user, const std::string& password);

private:
    // A place for one copy of the program. While Busy, its program is out with the login
    // that took it (owned by that thread alone) and Process is null.
    struct TSlot {
        std::unique_ptr<TLineProcess> Process;
        bool Busy = false;
    };
    // Marks a free slot busy, preferring one whose program was started (logins one after
    // another then keep to one copy), waiting for one to come free until deadline
    // (MonotonicMillis). False when none did. ScriptLock held.
    bool TakeSlot(std::unique_lock<std::mutex>& lock, int64_t deadline, size_t& slot);
    // Frees the slot and takes its program back, unless the programs were stopped meanwhile:
    // then it is handed back to be ended outside the lock. Wakes a login waiting for a slot.
    // ScriptLock held.
    std::unique_ptr<TLineProcess> ReturnSlot(size_t slot, std::unique_ptr<TLineProcess> process,
                                             uint64_t generation);
    // Moves every idle program out (to be ended outside the lock) and makes the ones out for
    // a login stale. ScriptLock held.
    std::vector<std::unique_ptr<TLineProcess>> TakeIdlePrograms();
    // One exchange with the program (started first when it does not run), outside the lock.
    // Empty when the program answered (accepted tells how); else why the login is refused,
    // and process is null.
    std::string Exchange(std::unique_ptr<TLineProcess>& process, const std::string& commandLine,
                         const std::string& line, int64_t deadline, bool& accepted);
    // Whether reason (empty: a working exchange) is to be reported: not when it is the one
    // reported last. ScriptLock held.
    bool NewReport(const std::string& reason);

    // ScriptLock: guards everything below. A leaf lock, never held during an exchange with a
    // program nor while a program is ended; OnReport runs outside it.
    std::mutex ScriptLock;
    std::condition_variable SlotFreed; // a slot turned free (with ScriptLock)
    std::string FCommandLine;
    // Counts the stops and command-line changes: a program out for a login under an older
    // count is ended when it comes back, not kept.
    uint64_t FGeneration = 0;
    std::array<TSlot, kLoginScriptMaxPrograms> FSlots;
    std::string FLastReport; // the reason last reported; cleared by a working exchange
};

class THTTPProxySystem : public TLoggingServiceComponent {
public:
    // A stored MaxConnections below this loads as this.
    static constexpr int kMinMaxConnections = 2;
    // A stored MaxBackLog is clamped to 0 .. this.
    static constexpr int kMaxMaxBackLog = 64;
    // LoginMode values 0 to 3 are the known modes; any other stored value loads as this
    // one, which demands a login and must accept none (never an open proxy by accident).
    static constexpr uint8_t kUnknownLoginMode = 255;
    // The write throttle's lowest rate.
    static constexpr int kMinWriteRate = 16;
    // The status view shows a transfer rate from this many bytes per second up ("-" below).
    static constexpr int64_t kShownRateThreshold = 16;
    // How the proxy names itself in "Server" and "Via".
    static constexpr const char* kServerName = "Ostrel-Proxy";
    static constexpr const char* kServerVersion = "1.0.0";

    // The log file is serviceFolder (ending in "/") + "httpproxy.log"; users is not owned
    // and outlives the service.
    THTTPProxySystem(const std::string& serviceFolder, TProxyUsersSystem* users);
    // Stops the server (every connection ends) and the validation program.
    ~THTTPProxySystem() override;

    std::string ClassName() const override { return "THTTPProxySystem"; }

    int ServerPort = 8080;
    std::string ServerIP;
    bool EnableTunnelling = true;
    bool OnlyTunnelHTTPS = false;
    bool UpdateXForwardedFor = false;
    bool UpdateVia = false;
    bool EnableLogFile = false;
    // Clients from elsewhere may reach services on this machine's loopback (ThttpProxyRoute);
    // off, only clients on this machine may.
    bool AllowLocalTargets = false;
    int MaxConnections = 64;
    int MaxBackLog = 0;
    bool LimitBandwidth = false;
    int BandwidthLimit = 0;
    uint8_t LoginMode = 0;
    std::string LoginPassword;
    // Login mode 3's validation program (a command line run by /bin/sh -c); empty: every
    // login of mode 3 is refused.
    std::string LoginScript;
    // Who may connect (net/AllowedClients.h); empty: this machine and the local networks.
    std::string AllowedClients;
    TProxyServerInfo HTTPProxy;  // up-stream HTTP proxy for retrieval
    TProxyServerInfo SocksProxy; // up-stream SOCKS5 proxy for outbound connections

    // The local clock of the up-time and of the log lines; tests replace it.
    std::function<TDateTime()> Clock = Now;

    // The server while one exists (created at the first start); null before.
    ThttpProxyServer* Server() const { return FServer.get(); }

    // ---- the handlers' decisions (any thread) ----
    // The options now in force.
    std::shared_ptr<const THTTPProxyOptions> Options() const;
    THTTPProxyOptions CurrentOptions() const; // from the fields (main thread)
    // The login rule of the mode (see LoginMode).
    bool CheckLogin(const THTTPProxyOptions& options, const std::string& user,
                    const std::string& password);

    // ---- settings and view ----
    // Publishes the options and applies them to a running server (throttle, header updates,
    // RequireAuth, allowed clients, the validation program).
    void ApplySettings();
    // "HTTP Proxy Settings" (TfrmHTTPProxySettings); on OK copies back, saves, applies.
    bool EditSettings() override;
    void UpdateDisplay() override;
    // A ServerPort outside 1..65535, or an AllowedClients entry that does not parse.
    std::string StartRefusal() const override;
    // "HTTP proxy on port <ServerPort>".
    std::string ServiceTitle() const override;
    int ListeningPort() const { return FListeningPort; }
    std::string UptimeText() const;
    int ClientCount() const;
    int64_t TransferRate() const; // main thread (samples the server)
    uint64_t RequestCount() const;
    // Requests answered over a next-hop connection kept from an earlier request.
    uint64_t ReusedConnections() const;
    uint64_t TotalBytes() const;
    // Connections accepted since the start: those that ended and those open now.
    uint64_t ConnectionsTotal() const;
    uint32_t ActiveRequests() const;
    // Clients refused since the start (not in AllowedClients); 0 while stopped.
    uint64_t RefusedCount() const;

protected:
    void DoEnable() override;
    void DoDisable() override;
    // Enabled, ServerPort, ServerIP, EnableTunnelling, OnlyTunnelHTTPS, UpdateXForwardedFor,
    // UpdateVia, EnableLogFile, MaxConnections, MaxBackLog, LimitBandwidth, BandwidthLimit,
    // LoginMode, LoginPassword, LoginScript, AllowedClients, AllowLocalTargets; then the records
    // "<section>-HTTPProxy", "-SocksProxy".
    void SettingsKeys(ASettingsKeys& keys) override;
    void ClampSettings() override;
    std::vector<TProxyRecord> ProxyRecords() override;
    std::vector<std::string> KeysOutsideDialog() const override { return {"AllowLocalTargets"}; }

private:
    void InstallHandlers(ThttpProxyServer& server);
    bool GetConnection(ThttpProxyServerClient* client, ThttpProxyRoute& route);
    void RequestDone(ThttpProxyServerClient* client);

    std::unique_ptr<ThttpProxyServer> FServer;
    TClientAdmission FAdmission; // asked by the server on the main thread
    THTTPLoginScript FScript;
    // OptionsLock: guards FOptions (the pointer; the options it points to never change). A
    // leaf lock.
    mutable std::mutex OptionsLock;
    std::shared_ptr<const THTTPProxyOptions> FOptions;
    TDateTime FStartTime = 0;
    int FListeningPort = 0;
};

} // namespace corvan
