#include "status/StatusSystem.h"

#include "component/SettingsKeys.h"
#include "dns-proxy/DNSProxySystem.h"
#include "http-proxy/HTTPProxySystem.h"
#include "http/HTTPServer.h"
#include "port-mapping/PortMapperSystem.h"
#include "socks-proxy/SocksProxySystem.h"
#include "util/Strings.h"
#include "util/Ticks.h"
#include "util/Utils.h"
#include "util/Version.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

namespace corvan {

// ---- the snapshots ----

namespace {
constexpr uint32_t MSG_STATUS_SNAPSHOT = MSG_USER + 610;
}

// The main thread's snapshots, handed to the connections' threads. Made, opened and closed
// on the main thread; Fetch from any thread.
class TStatusSnapshots : public TMailbox {
public:
    // source runs on the main thread, while it handles this object's message.
    explicit TStatusSnapshots(std::function<TStatusSnapshot()> source)
        : FSource(std::move(source)), FWindow(GetMailbox()) {}

    // Answers requests from now on (main thread).
    void Open() {
        std::lock_guard lock(SnapshotLock);
        FClosed = false;
        FTakenAt = -1;
    }
    // Wakes every waiting request, which then gets no snapshot; before the server stops,
    // which waits for those requests while the main thread takes no snapshot (main thread).
    void Close() {
        std::lock_guard lock(SnapshotLock);
        FClosed = true;
        Taken.notify_all();
    }

    // A snapshot no older than kSnapshotMaxAgeMs, asked of the main thread when there is none;
    // false when none came within kSnapshotWaitMs or the service stops. Not on the main thread.
    bool Fetch(TStatusSnapshot& snapshot) {
        std::unique_lock lock(SnapshotLock);
        if (FClosed)
            return false;
        int64_t now = MonotonicMillis();
        if (FTakenAt < 0 || now - FTakenAt > kSnapshotMaxAgeMs) {
            uint64_t generation = FGeneration;
            if (!FPosted)
                FPosted = PostToMailbox(FWindow, MSG_STATUS_SNAPSHOT, 0, 0);
            bool came = Taken.wait_until(
                lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(kSnapshotWaitMs),
                [&] { return FClosed || FGeneration != generation; });
            if (!came || FGeneration == generation)
                return false;
        }
        if (FClosed)
            return false;
        snapshot = FLatest;
        return true;
    }

protected:
    intptr_t HandleLoopMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
        if (msg != MSG_STATUS_SNAPSHOT)
            return TMailbox::HandleLoopMessage(msg, wParam, lParam);
        TStatusSnapshot snapshot;
        bool taken = false;
        try {
            snapshot = FSource();
            taken = true;
        } catch (const std::exception&) {
            // Its requests time out and answer 503; the next request asks again.
        }
        std::lock_guard lock(SnapshotLock);
        FPosted = false;
        if (taken) {
            FLatest = std::move(snapshot);
            FTakenAt = MonotonicMillis();
            ++FGeneration;
            Taken.notify_all();
        }
        return 0;
    }

private:
    std::function<TStatusSnapshot()> FSource;
    TMailboxId FWindow;
    // SnapshotLock: guards everything below. Lock order: taken before the message loop's own
    // locks (PostToMailbox runs under it); nothing else is taken under it.
    std::mutex SnapshotLock;
    std::condition_variable Taken; // a snapshot was taken, or Close (with SnapshotLock)
    TStatusSnapshot FLatest;
    int64_t FTakenAt = -1;    // MonotonicMillis of FLatest; -1: none
    uint64_t FGeneration = 0; // counts the snapshots taken
    bool FPosted = false;     // a MSG_STATUS_SNAPSHOT is on its way
    bool FClosed = true;
};

// ---- the server ----

// The server's own HTTP limits serve: a request is a line and a few fields, and an answer
// a few kilobytes per service.
class TStatusServer : public AhttpServer {
public:
    // snapshots outlives the server.
    explicit TStatusServer(TStatusSnapshots& snapshots) : FSnapshots(snapshots) {}
    ~TStatusServer() override { ShutdownClients(); }

    TStatusSnapshots& Snapshots() const { return FSnapshots; }

protected:
    std::unique_ptr<TTCPServerClient> CreateClient() override;

private:
    TStatusSnapshots& FSnapshots;
};

namespace {

// The path of a request target: the origin form's path, or an absolute form's, without
// its query.
std::string TargetPath(const std::string& target) {
    std::string path = target;
    if (size_t scheme = path.find("://"); scheme != std::string::npos && path[0] != '/') {
        size_t slash = path.find('/', scheme + 3);
        path = slash == std::string::npos ? "/" : path.substr(slash);
    }
    return path.substr(0, path.find_first_of("?#"));
}

std::unique_ptr<ThttpResponse> TextResponse(const std::string& contentType, std::string body) {
    auto r = CreateHtmlResponse(200, "OK", "");
    r->AdoptContentString(std::move(body));
    r->GetHeader().SetFieldBody("Content-Type", contentType);
    r->GetHeader().AddField("Cache-Control", "no-store");
    return r;
}

class TStatusServerClient : public AhttpServerClient {
public:
    explicit TStatusServerClient(TStatusServer* server)
        : AhttpServerClient(server), FStatus(server) {}
    ~TStatusServerClient() override { WaitLetGo(); }

protected:
    // Refused from the head alone: a body sent with another method is never read.
    void RequestHeaderReceived() override {
        AhttpServerClient::RequestHeaderReceived();
        const std::string& method = Request->GetMethod();
        if (method == "GET" || method == "HEAD")
            return;
        SendErrorResponse(405, "Method Not Allowed", "The status page only answers GET and HEAD.",
                          "");
        Response->GetHeader().AddField("Allow", "GET, HEAD");
    }

    void ProcessRequest() override {
        if (Terminated())
            return;
        std::string path = TargetPath(Request->GetURI());
        if (path != "/" && path != "/index.html" && path != "/status.json" && path != "/metrics") {
            SendErrorResponse(404, "Not Found", "No such page.", "Try / or /metrics.");
            return;
        }
        TStatusSnapshot snapshot;
        if (!FStatus->Snapshots().Fetch(snapshot)) {
            SendErrorResponse(503, "Service Unavailable", "No status to show now.",
                              "The program is busy or stopping.");
            return;
        }
        if (path == "/metrics")
            SetResponse(TextResponse(kMetricsContentType, MetricsText(snapshot)));
        else if (path == "/status.json")
            SetResponse(TextResponse("application/json", StatusJson(snapshot)));
        else
            SetResponse(TextResponse("text/html; charset=utf-8", StatusPage(snapshot)));
    }

private:
    TStatusServer* FStatus;
};

} // namespace

std::unique_ptr<TTCPServerClient> TStatusServer::CreateClient() {
    return std::make_unique<TStatusServerClient>(this);
}

// ---- the component ----

TStatusSystem::TStatusSystem(const THTTPProxySystem& http, const TSocksProxySystem& socks,
                             const TDNSProxySystem& dns, const TPortMapperSystem& mappings)
    : FHTTP(http), FSocks(socks), FDNS(dns), FMappings(mappings) {
    Enabled = EnabledByDefault();
    FAdmission.OnRefusalLog = [this](const std::string& line) { LogRefusal(line); };
}

TStatusSystem::~TStatusSystem() {
    if (FSnapshots)
        FSnapshots->Close();
    FServer.reset();
    FSnapshots.reset();
}

void TStatusSystem::SettingsKeys(ASettingsKeys& keys) {
    keys.String("ServerIP", ServerIP, kDefaultServerIP);
    keys.Integer("ServerPort", ServerPort, kDefaultPort);
    keys.String("AllowedClients", AllowedClients, "");
}

std::string TStatusSystem::StartRefusal() const {
    if (ServerPort < 1 || ServerPort > kMaxPortNumber)
        return "port " + std::to_string(ServerPort) + " is out of range";
    return TAllowedClients::ParseError(AllowedClients);
}

std::string TStatusSystem::ServiceTitle() const {
    return "Status page on port " + std::to_string(ServerPort);
}

void TStatusSystem::DoEnable() {
    std::string refusal = StartRefusal();
    if (!refusal.empty())
        throw Exception(NotStartedText(refusal));
    FStartTime = Clock();
    FListeningPort = ServerPort;
    if (!Listens)
        return;
    if (!FSnapshots)
        FSnapshots = std::make_unique<TStatusSnapshots>([this] { return Snapshot(); });
    FSnapshots->Open();
    auto server = std::make_unique<TStatusServer>(*FSnapshots);
    server->ServerName = "Corvan-Status";
    server->ServerVersion = ProductVersion();
    server->SetListenPort(std::to_string(ServerPort));
    server->SetLocalHost(ServerIP);
    server->MaxClients = kStatusMaxConnections;
    FAdmission.SetAllowed(TAllowedClients::Parse(AllowedClients));
    FAdmission.ResetCount();
    server->Admission = &FAdmission;
    server->SetActive(true); // raises and frees the server when the port is taken
    FServer = std::move(server);
}

void TStatusSystem::DoDisable() {
    if (FSnapshots)
        FSnapshots->Close();
    FServer.reset();
}

std::string TStatusSystem::PageAddress() const {
    if (!Active() || !FServer)
        return {};
    std::string host = ServerIP.empty() || ServerIP == "0.0.0.0" ? "127.0.0.1" : ServerIP;
    return "http://" + host + ":" + std::to_string(FListeningPort) + "/";
}

namespace {

TServiceStatus ServiceRow(const std::string& service, const std::string& name,
                          const TServiceComponent& c, int port, std::string uptime) {
    TServiceStatus s;
    s.Service = service;
    s.Name = name;
    s.Running = c.Active();
    s.Port = port;
    if (s.Running)
        s.Uptime = std::move(uptime);
    return s;
}

// A fixed service's row: the port it listens on while running, its configured one otherwise.
template <class S>
TServiceStatus ServiceRow(const std::string& service, const std::string& name, const S& s) {
    return ServiceRow(service, name, s, s.Active() ? int(s.ListeningPort()) : s.ServerPort,
                      s.UptimeText());
}

} // namespace

TStatusSnapshot TStatusSystem::Snapshot() const {
    TStatusSnapshot snap;
    snap.Version = ProductVersion();

    TServiceStatus http = ServiceRow("http", "HTTP proxy", FHTTP);
    if (http.Running) {
        http.ConnectionsOpen = uint64_t(FHTTP.ClientCount());
        http.ConnectionsTotal = FHTTP.ConnectionsTotal();
        http.BytesToClients = FHTTP.TotalBytes();
        http.TransferRate = FHTTP.TransferRate();
        http.Requests = FHTTP.RequestCount();
        http.ReusedConnections = FHTTP.ReusedConnections();
        http.RefusedClients = FHTTP.RefusedCount();
    }
    snap.Services.push_back(std::move(http));

    TServiceStatus dns = ServiceRow("dns", "DNS proxy", FDNS);
    if (dns.Running) {
        dns.Requests = FDNS.RequestCount();
        dns.RefusedClients = FDNS.RefusedCount();
        dns.CacheHits = FDNS.CacheHits();
        dns.CachedNames = FDNS.CachedNames();
    }
    snap.Services.push_back(std::move(dns));

    TServiceStatus socks = ServiceRow("socks", "SOCKS proxy", FSocks);
    if (socks.Running) {
        socks.ConnectionsOpen = uint64_t(FSocks.ClientCount());
        socks.ConnectionsTotal = FSocks.ConnectionsTotal();
        socks.BytesToClients = FSocks.BytesToClients();
        socks.BytesFromClients = FSocks.BytesFromClients();
        socks.TransferRate = FSocks.TransferRate();
        socks.RefusedClients = FSocks.RefusedCount();
    }
    snap.Services.push_back(std::move(socks));

    // Two mappings may share a port and protocol (on different addresses, or one of them
    // stopped): their labels must still differ, or a scraper drops the whole answer.
    std::set<std::string> labels;
    int index = 0;
    for (TAppComponent* child : FMappings.GetChildren()) {
        ++index;
        const auto& m = static_cast<const TPortMapSystem&>(*child);
        TServiceStatus row =
            ServiceRow("mapping", m.GetDisplayName(), m, m.ServerPort, m.UptimeText());
        row.Mapping = std::to_string(m.ServerPort) + "/" +
                      AsciiLowerCase(ProtocolDisplayName(m.ServerProtocol));
        if (!labels.insert(row.Mapping).second) {
            row.Mapping += "#" + std::to_string(index);
            labels.insert(row.Mapping);
        }
        if (row.Running) {
            if (m.ServerProtocol == mpTCP)
                row.ConnectionsOpen = uint64_t(m.Connections());
            row.RefusedClients = m.RefusedCount();
        }
        snap.Services.push_back(std::move(row));
    }

    TServiceStatus self =
        ServiceRow("status", "Status page", *this, Active() ? FListeningPort : ServerPort,
                   ElapsedTimeTextOfDays(Active() ? Clock() - FStartTime : 0.0));
    if (self.Running && FServer) {
        self.ConnectionsOpen = uint64_t(FServer->ClientCount());
        self.Requests = FServer->TotalRequests.load();
        self.RefusedClients = FAdmission.RefusedCount();
    }
    snap.Services.push_back(std::move(self));
    return snap;
}

} // namespace corvan
