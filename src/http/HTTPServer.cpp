#include "http/HTTPServer.h"

#include "net/SocketLib.h"
#include "util/Strings.h"
#include "util/Ticks.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace corvan {

namespace {

// Whether a comma-separated field (all fields of that name) lists token, ignoring case.
bool HasToken(const AhttpMessage& message, std::string_view name, std::string_view token) {
    THeader* header = message.HeaderOrNull();
    if (!header)
        return false;
    for (int i = 0; i < header->FieldCount(); ++i) {
        AHeaderField* field = header->Fields(i);
        if (!EqualNoCase(field->GetName(), name))
            continue;
        for (const std::string& part : Split(field->GetBody(), ','))
            if (EqualNoCase(TrimWhiteSpace(part), token))
                return true;
    }
    return false;
}

// Sends what is buffered, stops sending and drops what the client still sends until it
// closes or the drain time is up.
void ShutdownAndDrain(TSocketStream& stream) {
    stream.Flush();
    ATCPClientSocket* socket = stream.Socket();
    if (socket->SocketHandle() != INVALID_SOCKETHANDLE)
        SocketShutdown(socket->SocketHandle(), TShutdownHow::sdSend);
    int64_t deadline = MonotonicMillis() + kHttpErrorDrainMs;
    while (MonotonicMillis() < deadline && stream.WaitStep(deadline))
        socket->ReadAvailable();
}

constexpr const char* kBodyBudgetText = "Too many request bodies held at once; try again shortly";

// A request body the server's budget has no room for now (503).
class EhttpBodyBudget : public EhttpMessage {
public:
    using EhttpMessage::EhttpMessage;
};

// Whether a request carries a body (one whose framing cannot be told counts as one).
bool MayHaveBody(const ThttpRequest& request) {
    try {
        return request.GetBodyFraming().Kind != ThttpBodyKind::None;
    } catch (const EhttpMalformedMessage&) {
        return true;
    }
}

bool IsStreamError(const std::exception& e) {
    return dynamic_cast<const EReader*>(&e) || dynamic_cast<const EWriter*>(&e) ||
           dynamic_cast<const EStream*>(&e);
}

} // namespace

// --- AhttpServerClient ------------------------------------------------------------------------

// What one exchange holds of the server's shared counts: the active request from its request
// line on, and its body's share of the body budget. All of it goes back when the exchange
// ends, whatever the path (a client gone in the middle of a head or a body among them). Used
// on the connection's thread only; the counts are atomics of the server.
class AhttpServerClient::TRequestSession {
public:
    explicit TRequestSession(AhttpServer& server) : FServer(server) {}
    ~TRequestSession() {
        if (FActive)
            FServer.ActiveRequests.fetch_sub(1);
        Resize(0);
    }
    TRequestSession(const TRequestSession&) = delete;
    TRequestSession& operator=(const TRequestSession&) = delete;

    // The request is being served: counted active until the session ends.
    void Begin() {
        if (!FActive)
            FServer.ActiveRequests.fetch_add(1);
        FActive = true;
    }
    // Bytes of the budget this request holds.
    int64_t Reserved() const { return FReserved; }
    // Takes bytes more of the budget; false, and nothing taken, when they are not there.
    bool Reserve(int64_t bytes) {
        std::atomic<int64_t>& held = FServer.RequestBodyBytesHeld;
        int64_t budget = FServer.RequestBodyBudget.load();
        int64_t now = held.load();
        do {
            if (bytes > 0 && now + bytes > budget)
                return false;
        } while (!held.compare_exchange_weak(now, now + bytes));
        FReserved += bytes;
        return true;
    }
    // Holds exactly bytes (what the body turned out to be; 0 gives all back).
    void Resize(int64_t bytes) {
        FServer.RequestBodyBytesHeld.fetch_add(bytes - FReserved);
        FReserved = bytes;
    }

private:
    AhttpServer& FServer;
    bool FActive = false;
    int64_t FReserved = 0;
};

AhttpServerClient::AhttpServerClient(AhttpServer* server)
    : TTCPServerClient(server), FHttpServer(server) {}

AhttpServerClient::~AhttpServerClient() {
    WaitLetGo();
}

void AhttpServerClient::SetResponse(std::unique_ptr<ThttpResponse> response) {
    Response = std::move(response);
}

void AhttpServerClient::SendErrorResponse(int code, const std::string& title,
                                          const std::string& message, const std::string& details) {
    SetResponse(CreateHtmlResponse(
        code, title, HtmlErrorPage(title, message, details, FHttpServer->ServerString())));
}

void AhttpServerClient::FireEvent(const AhttpServer::TEvent& event) {
    if (event && !Terminated())
        event(FHttpServer, this);
}

void AhttpServerClient::FireSyncEvent(const AhttpServer::TEvent& event) {
    if (event)
        TMessageLoop::Main().RunSynchronous([&] { event(FHttpServer, this); });
}

void AhttpServerClient::PrepareResponseRange() {
    Response->SetRequest(*Request);
    int64_t first = -1, last = -1;
    if (Response->GetStatusCode() == 200 && Request->GetRange(first, last)) {
        Response->SetStatusCode(206);
        Response->RangeStart = first;
        Response->RangeEnd = last;
    } else {
        Response->RangeStart = -1;
        Response->RangeEnd = -1;
    }
}

void AhttpServerClient::RequestStart() {
    FireEvent(FHttpServer->OnRequestStart);
}

void AhttpServerClient::RequestHeaderReceived() {
    FireEvent(FHttpServer->OnRequestHeader);
}

void AhttpServerClient::RequestContentReceived() {
    FireEvent(FHttpServer->OnRequestContent);
}

void AhttpServerClient::ProcessRequest() {
    if (Terminated())
        return;
    FireEvent(FHttpServer->OnProcessRequest);
    FireSyncEvent(FHttpServer->OnSyncProcessRequest);
}

void AhttpServerClient::PrepareResponse() {
    FireEvent(FHttpServer->OnPrepareResponse);
}

void AhttpServerClient::ResponseSentHook() {
    if (Terminated())
        return;
    FireEvent(FHttpServer->OnResponseSent);
    FireSyncEvent(FHttpServer->OnSyncResponseSent);
}

void AhttpServerClient::RequestDone() {
    // Also for a closing connection: whoever set up the exchange must learn that it ended.
    if (FHttpServer->OnRequestDone)
        FHttpServer->OnRequestDone(FHttpServer, this);
    FireSyncEvent(FHttpServer->OnSyncRequestDone);
}

void AhttpServerClient::ResponseProgress() {
    FireEvent(FHttpServer->OnResponseProgress);
}

bool AhttpServerClient::CloseIfIdle() {
    int64_t since = FIdleSince.load(std::memory_order_acquire);
    if (since < 0 || !FIdleSince.compare_exchange_strong(since, -2))
        return false;
    Terminate();
    return true;
}

void AhttpServerClient::Execute() {
    if (Terminated())
        return;
    TSocketStream& stream = *GetStream();
    KeepAlive = true;
    // A request's head is read straight from the socket: the loop takes over after it.
    stream.WaitsOnDescriptor = true;
    // A response goes out as header and body in separate writes: without this the body of a
    // small answer waits for the client's delayed acknowledgement of the header (~40 ms).
    // Mostly the connection was accepted with it.
    if (TSocketHandle handle = stream.Socket()->SocketHandle();
        handle != INVALID_SOCKETHANDLE && !Server()->AcceptedWithNoDelay())
        SocketSetNoDelay(handle, true);
    if (Refused()) {
        // Counted and logged (rate-limited) at accept; here only the answer.
        try {
            RefuseClient(stream);
        } catch (const std::exception&) {
            // The connection ends either way.
        }
        stream.Close();
        return;
    }
    try {
        while (!Terminated() && KeepAlive && stream.Connected())
            if (!RunExchange(stream))
                break;
    } catch (const std::exception& e) {
        if (IsStreamError(e))
            Log(ltInfo, std::string("Stream error: ") + e.what());
        else {
            Log(ltError, std::string("Exception: ") + e.what());
            SendFallbackError(stream);
        }
    }
    FHttpServer->TotalBytesSent.fetch_add(uint64_t(stream.Writer().GetPosition()));
    try {
        stream.Close();
    } catch (...) {
        // The connection ends either way.
    }
}

bool AhttpServerClient::RunExchange(TSocketStream& stream) {
    ResponseSent = false;
    FHeaderWritten = false;
    BytesWritten = 0;
    ResponseSize = 0;
    Response.reset();
    RequestTime = uint32_t(MonotonicMillis());
    RequestStart();
    TRequestSession session(*FHttpServer);
    // After the session: the request and its body are freed before their share goes back.
    struct TEnd {
        AhttpServerClient& Client;
        ~TEnd() {
            Client.Response.reset();
            Client.Request.reset();
        }
    } end{*this};
    if (!ReadRequestHead(stream, session))
        return false;
    bool goOn = false;
    try {
        if (WatchClientAfterHead())
            stream.Socket()->WatchNow();
        RequestHeaderReceived();
        // A hook that answered from the head alone (a refused login) has the body left unread:
        // a client without the right to be served never gets a byte of it held.
        bool answered = Response != nullptr;
        bool bodyUnread = answered && MayHaveBody(*Request);
        if (bodyUnread)
            KeepAlive = false;
        if (answered || ReadRequestBody(stream, session)) {
            if (!answered) {
                RequestContentReceived();
                ProcessRequest();
            }
            if (!Response)
                Log(ltInfo, "No response");
            else {
                WriteResponse(stream);
                if (bodyUnread)
                    ShutdownAndDrain(stream);
                goOn = !bodyUnread;
            }
        }
    } catch (...) {
        RequestDone();
        throw;
    }
    RequestDone();
    return goOn;
}

bool AhttpServerClient::ReadRequestHead(TSocketStream& stream, TRequestSession& session) {
    TSocketReader& reader = stream.Reader();
    struct TClearDeadline {
        TSocketStream& Stream;
        ~TClearDeadline() { Stream.Deadline = -1; }
    } clear{stream};

    // Idle until the request's first byte; the server may close the connection meanwhile.
    int64_t since = MonotonicMillis();
    FIdleSince.store(since, std::memory_order_release);
    stream.Deadline = since + FHttpServer->KeepAliveTimeoutMs.load();
    bool arrived = reader.WaitForData(1);
    bool claimed = FIdleSince.compare_exchange_strong(since, -1);
    if (!claimed || !arrived || Terminated())
        return false;

    int64_t deadline = MonotonicMillis() + FHttpServer->HeaderTimeoutMs.load();
    stream.Deadline = deadline;
    auto timedOut = [&] { return MonotonicMillis() >= deadline; };
    // A head that did not arrive in time is answered (408), so that the client can tell a slow
    // link from a server that went away; the answer gets a time of its own.
    auto refuseLateHead = [&] {
        Log(ltInfo, "Request header timed out");
        if (!Request)
            Request = ThttpRequest::CreateFromStartLine("GET / HTTP/1.1");
        stream.Deadline = MonotonicMillis() + kHttpRefusedHeadTimeoutMs;
        RefuseRequest(stream, 408, "Request header not received within " +
                                       std::to_string(FHttpServer->HeaderTimeoutMs.load()) +
                                       " ms", false);
        Request.reset();
    };
    try {
        RequestLine = ReadLimitedLine(reader, kHttpMaxRequestLineLength);
    } catch (const EhttpHeaderLimit&) {
        FHttpServer->TotalRequests.fetch_add(1);
        Request = ThttpRequest::CreateFromStartLine("GET / HTTP/1.1");
        RefuseRequest(stream, 414, "Request line longer than " +
                                       std::to_string(kHttpMaxRequestLineLength) + " bytes");
        Request.reset();
        return false;
    } catch (const EReader&) {
        if (!timedOut())
            throw;
        FHttpServer->TotalRequests.fetch_add(1);
        refuseLateHead();
        return false;
    }
    if (RequestLine.empty())
        return false;
    session.Begin();
    FHttpServer->TotalRequests.fetch_add(1);
    bool headerOk = true;
    std::string problem;
    try {
        CheckRequestLine(RequestLine);
        Request = ThttpRequest::CreateFromStartLine(RequestLine);
        if (!Request->GetProtocol().empty()) {
            auto header = std::make_unique<THeader>();
            header->ReadFromReader(reader, true, -1);
            Request->SetHeader(std::move(header));
            CheckFieldNames(Request->GetHeader());
        }
    } catch (const EhttpHeaderLimit& e) {
        headerOk = false;
        problem = e.what();
    } catch (const EhttpMessage& e) {
        headerOk = false;
        problem = e.what();
    } catch (const EReader&) {
        if (!timedOut())
            throw;
        refuseLateHead();
        return false;
    }
    if (!headerOk) {
        if (!Request)
            Request = ThttpRequest::CreateFromStartLine("GET / HTTP/1.1");
        RefuseRequest(stream, 400, problem);
        Request.reset();
        return false;
    }
    KeepAlive = Request->IsHTTP11OrLater() && !HasToken(*Request, "Connection", "close");
    return true;
}

bool AhttpServerClient::ReadRequestBody(TSocketStream& stream, TRequestSession& session) {
    ThttpRequest& request = *Request;
    int code = 0;
    std::string problem;
    int64_t lastArrival = MonotonicMillis();
    // While the body is read, a wait that brings none of it ends the connection; the growth
    // callback refers to this frame and goes with it.
    struct TBodyRead {
        TSocketStream& Stream;
        ThttpRequest& Request;
        int SavedTimeout;
        ~TBodyRead() {
            Stream.Timeout = SavedTimeout;
            Request.OnContentTextGrow = nullptr;
        }
    } bodyRead{stream, request, stream.Timeout};
    stream.Timeout = FHttpServer->BodyStallTimeoutMs.load();
    try {
        ThttpBodyFraming framing = request.GetBodyFraming();
        if (framing.Kind == ThttpBodyKind::Sized && framing.Length > request.MaxContentTextSize)
            throw EhttpContentTooLarge("Content too large");
        // A body takes its share as its bytes arrive, a step at a time (the first before
        // "100 Continue"), never more than it can come to: a client that sends only a head
        // holds one step, not the length it declares.
        int64_t most = framing.Kind == ThttpBodyKind::Sized ? framing.Length
                                                             : request.MaxContentTextSize;
        int64_t step = std::min(
            {kHttpRequestBodyStep, FHttpServer->RequestBodyBudget.load() / 16, most});
        if (framing.Kind != ThttpBodyKind::None && !session.Reserve(step))
            throw EhttpBodyBudget(kBodyBudgetText);
        request.OnContentTextGrow = [&session, &lastArrival, step, most](int64_t size) {
            lastArrival = MonotonicMillis();
            int64_t held = session.Reserved();
            if (size > held && !session.Reserve(std::min(std::max(size - held, step), most - held)))
                throw EhttpBodyBudget(kBodyBudgetText);
        };
        // Chunked wins over a length beside it, but whoever passed the request on may have
        // gone by the length and so sees a different next request: serve this one only
        // (RFC 9112 section 6.1). ReadContent drops the length field, so decide first.
        if (framing.Kind == ThttpBodyKind::Chunked &&
            request.GetHeader().HasField("Content-Length"))
            KeepAlive = false;
        // Without the interim answer a client that asked for it waits (curl: a second) before
        // sending the body.
        if (framing.Kind != ThttpBodyKind::None && request.IsHTTP11OrLater() &&
            HasToken(request, "Expect", "100-continue")) {
            stream.Writer().WriteStr("HTTP/1.1 100 Continue\r\n\r\n");
            if (!stream.Flush())
                throw ESocketStream("Connection lost");
        }
        request.ReadContent(stream.Reader(), false, false);
        session.Resize(request.GetContentSize());
        return true;
    } catch (const EhttpContentTooLarge& e) {
        code = 413;
        problem = e.what();
    } catch (const EhttpBodyBudget& e) {
        code = 503;
        problem = e.what();
    } catch (const EhttpMalformedMessage& e) {
        code = 400;
        problem = e.what();
    } catch (const EChunkedContentReader& e) {
        code = 400;
        problem = e.what();
    } catch (const EReader&) {
        // The connection ends (a stream error); say why when the client went quiet.
        int64_t quiet = MonotonicMillis() - lastArrival;
        if (stream.Timeout > 0 && quiet >= stream.Timeout)
            Log(ltInfo, "Request body stalled: no bytes for " + std::to_string(quiet) + " ms");
        throw;
    }
    // Nothing of the body is kept: its share is free for others while the answer goes out.
    session.Resize(0);
    RefuseRequest(stream, code, problem);
    return false;
}

void AhttpServerClient::RefuseClient(TSocketStream& stream) {
    // The request head first: closing with unread bytes would send a reset, and the client
    // might never see the answer.
    stream.Deadline = MonotonicMillis() + kHttpRefusedHeadTimeoutMs;
    try {
        RequestLine = ReadLimitedLine(stream.Reader(), kHttpMaxRequestLineLength);
        Request = ThttpRequest::CreateFromStartLine(RequestLine);
        if (!Request->GetProtocol().empty()) {
            THeader ignored;
            ignored.ReadFromReader(stream.Reader(), true, -1);
        }
    } catch (const std::exception&) {
        // Whatever came (or did not): the answer is the same.
    }
    stream.Deadline = -1;
    if (!Request)
        Request = ThttpRequest::CreateFromStartLine("GET / HTTP/1.1");
    RefuseRequest(stream, 403, "Your address is not allowed to use this server.", false);
    Request.reset();
}

void AhttpServerClient::RefuseRequest(TSocketStream& stream, int code, const std::string& details,
                                      bool log) {
    KeepAlive = false;
    std::string title = HTTPStatusText(code);
    if (log)
        Log(ltInfo, "Request refused: " + std::to_string(code) + " " + title + ": " + details);
    SendErrorResponse(code, title, "The request cannot be served", details);
    Response->SetRequest(*Request);
    Response->GetHeader().SetFieldBody("Connection", "close");
    Response->Prepare();
    if (!FHttpServer->ServerName.empty())
        Response->SetServer(FHttpServer->ServerString());
    Response->WriteHeader(stream.Writer());
    FHeaderWritten = true;
    Response->WriteContent(stream.Writer());
    FHttpServer->ResponsesSent.fetch_add(1);
    Response.reset();
    ShutdownAndDrain(stream);
}

void AhttpServerClient::WriteResponse(TSocketStream& stream) {
    PrepareResponseRange();
    Response->Prepare();
    PrepareResponse();
    ThttpResponse& response = *Response;
    if (!FHttpServer->ServerName.empty() && !response.GetHeader().HasField("Server"))
        response.SetServer(FHttpServer->ServerString());
    // An empty body says so, or the client could only wait for the connection to close.
    if (!response.GetHeader().HasField("Content-Length") && !response.IsChunked() &&
        response.GetContentSize() == 0 && response.IsContentUntilClose())
        response.SetContentLength(0);
    if (response.IsContentUntilClose() || HasToken(response, "Connection", "close"))
        KeepAlive = false;
    if (!KeepAlive && response.IsHTTP11OrLater() && !response.GetHeader().HasField("Connection"))
        response.GetHeader().SetFieldBody("Connection", "close");
    if (Request->GetMethod() == "HEAD")
        response.IncludeContent = false;
    // From here on a failure can leave part of the header sent: no fallback answer after it.
    FHeaderWritten = true;
    ResponseTime = uint32_t(MonotonicMillis());
    ResponseSize = response.GetContentLength();
    WriteMessage(response, stream.Writer(), [this](int64_t bytes, bool& abort) {
        BytesWritten = bytes;
        if (Terminated())
            abort = true;
        else
            ResponseProgress();
    });
    if (!stream.Flush())
        throw ESocketStream("Connection lost while sending");
    ResponseSent = true;
    ResponseSentHook();
    FHttpServer->ResponsesSent.fetch_add(1);
}

void AhttpServerClient::SendFallbackError(TSocketStream& stream) {
    if (FHeaderWritten || Terminated() || !stream.Connected())
        return;
    try {
        auto response = CreateHtmlResponse(
            500, HTTPStatusText(500),
            HtmlErrorPage("Internal server error", "Requested page could not be retrieved",
                          "Internal server error", FHttpServer->ServerString()));
        response->GetHeader().SetFieldBody("Connection", "close");
        response->Prepare();
        response->WriteHeader(stream.Writer());
        response->WriteContent(stream.Writer());
        stream.Flush();
    } catch (...) {
        // The connection is closed next whatever happened.
    }
}

// --- AhttpServer ------------------------------------------------------------------------------

AhttpServer::AhttpServer() {
    SetListenPort("80");
    ClientMode = cmThread;
    ClientReadTrigger = kHttpClientReadTrigger;
    ClientWriteBufferLimit = kHttpClientWriteBufferLimit;
}

AhttpServer::~AhttpServer() {
    ShutdownClients();
}

void AhttpServer::RaiseError(const std::string& msg) {
    throw EhttpServer(msg);
}

std::string AhttpServer::ServerString() const {
    if (ServerName.empty())
        return std::string();
    return ServerVersion.empty() ? ServerName : ServerName + "/" + ServerVersion;
}

std::unique_ptr<TTCPServerClient> AhttpServer::CreateClient() {
    return std::make_unique<AhttpServerClient>(this);
}

void AhttpServer::ClientLimitReached() {
    // Chosen and closed with the list locked: a client without end events is freed by its
    // own thread, so the pointers are good only meanwhile.
    bool closed = false;
    WithClientsLocked([&](const std::vector<TTCPServerClient*>& clients) {
        std::vector<std::pair<int64_t, AhttpServerClient*>> idle;
        for (TTCPServerClient* c : clients)
            if (auto* client = dynamic_cast<AhttpServerClient*>(c))
                if (int64_t since = client->IdleSince(); since >= 0)
                    idle.emplace_back(since, client);
        std::sort(idle.begin(), idle.end(),
                  [](const auto& x, const auto& y) { return x.first < y.first; });
        for (auto& [since, client] : idle)
            if ((closed = client->CloseIfIdle()))
                return;
    });
    if (closed)
        Log(ltInfo, "Connection limit reached: an idle connection was closed");
}

} // namespace corvan
