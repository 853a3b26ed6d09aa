#pragma once
// The HTTP/1.x server connection: AhttpServer is a TCP server (one thread per connection) and
// AhttpServerClient its connection, which reads requests one after the other (RFC 9112), hands
// each to a chain of hooks that must produce a response, writes the response and keeps the
// connection for the next request while keep-alive allows.
//
// Deriving a server (the HTTP proxy is one): derive the connection from AhttpServerClient and
// override its hooks (ProcessRequest at least: it sets Response, with SetResponse or
// SendErrorResponse); derive the server from AhttpServer, override CreateClient to make that
// connection, and call ShutdownClients in the derived server's destructor.
//
// One exchange on the connection's thread, in this order:
//   RequestStart; wait for the request line's first byte (idle, kHttpKeepAliveTimeoutMs);
//   request line and header (within kHttpHeaderTimeoutMs of that byte); RequestHeaderReceived;
//   "100 Continue" when asked for; the body as text; RequestContentReceived; ProcessRequest;
//   PrepareResponseRange; the response's Prepare; PrepareResponse; "Server" field; header;
//   body (none for HEAD); ResponseSent; always RequestDone.
// A RequestHeaderReceived that sets a response (a refused login) answers from the head alone:
// the body is never read (nor "100 Continue" sent), RequestContentReceived and ProcessRequest
// do not run, and a request that has a body is closed after the answer.
// A request framed by both "Transfer-Encoding: chunked" and "Content-Length" is served by the
// coding, and then the connection is closed (a hop before this one may have read it by length).
// A client the server's Admission refused (CloseRefusedAtAccept false) gets 403 with the
// error page after its request head was read, and is closed; no hook runs.
// Requests the server refuses itself, each answered with the error page and then closed:
//   400 a malformed request (a request line or field name CheckRequestLine or
//       CheckFieldNames refuses, framing the message layer cannot tell safely, a header over
//       kMaxHeaderLineLength or kMaxHeaderSize), 413 a body over the request's
//       MaxContentTextSize (kMaxContentTextSize), 414 a request line over
//       kHttpMaxRequestLineLength, 408 a request head not complete within
//       HeaderTimeoutMs of its first byte.
// A hook that raises before a response header went out gives 500 with the fallback page; after
// it, the connection is simply closed. A ProcessRequest that leaves no response closes the
// connection without a byte.
//
// Threads: hooks and the plain events run on the connection's thread; the Sync events run on
// the main thread while that thread waits. The counters are atomic: any thread may read them.

#include "http/HTTPMessage.h"
#include "net/TCPServer.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace corvan {

// --- Limits and time-outs of the server connection, all in one place ---
// Longest request line (without CR LF). Longer: 414 "Request-URI Too Long", connection closed.
// Browsers send targets of several kilobytes; this serves them.
inline constexpr int kHttpMaxRequestLineLength = 8192;
// The request line and header must arrive completely within this many milliseconds of the
// request's first byte; a client still trickling then is answered 408 and closed.
inline constexpr int kHttpHeaderTimeoutMs = 30000;
// A connection waiting for its next request (or its first) is closed after this many
// milliseconds without one. At the server's connection limit a new connection closes the
// longest-idle waiting connection at once.
inline constexpr int kHttpKeepAliveTimeoutMs = 120000;
// After answering a request it refuses (400, 408, 413, 414, 503), or one answered from its
// head with its body unread, the server stops sending and reads and drops what the client
// still sends for at most this many milliseconds, so the client sees the answer rather than a
// reset caused by its unread bytes.
inline constexpr int kHttpErrorDrainMs = 1000;
// A refused client's request head is read for at most this long before the 403 goes out.
inline constexpr int kHttpRefusedHeadTimeoutMs = 5000;
// Bytes a connection's socket reads before its stream is woken, and the most it buffers for
// sending before a write waits.
inline constexpr int kHttpClientReadTrigger = 16384;
inline constexpr int kHttpClientWriteBufferLimit = 16384;
// A request body none of whose bytes arrive for this many milliseconds (one wait of its
// reader, which waits for a block) ends its connection, and its share of the body budget is
// given back.
inline constexpr int kHttpBodyStallTimeoutMs = 30000;
// Request bodies are read whole into memory (each at most kMaxContentTextSize). What all
// connections together hold of them is bounded by this many bytes: a request whose body would
// go over it is answered 503 and its connection closed. A body takes its share as its bytes
// arrive, whatever length it declares: a step first (kHttpRequestBodyStep, or a sixteenth of
// a smaller budget, never more than a sized body's length), another whenever it grows past
// what it holds. Two bodies of the largest size fit.
inline constexpr int64_t kHttpRequestBodyBudget = 128 * 1024 * 1024;
inline constexpr int64_t kHttpRequestBodyStep = 1024 * 1024;

class EhttpServer : public ETCPServer {
public:
    using ETCPServer::ETCPServer;
};

class AhttpServer;
class AhttpServerClient;

class AhttpServerClient : public TTCPServerClient {
public:
    explicit AhttpServerClient(AhttpServer* server);
    // Waits until the connection's thread has let go of it.
    ~AhttpServerClient() override;

    AhttpServer* HttpServer() const { return FHttpServer; }

    // The current exchange (the connection's thread only).
    std::string RequestLine;
    std::unique_ptr<ThttpRequest> Request;
    std::unique_ptr<ThttpResponse> Response;
    // Serve another request on this connection afterwards. Set from the request (HTTP/1.1 or
    // later without "Connection: close"); a hook may clear it. The server clears it for a
    // response whose end only the closing connection can show.
    bool KeepAlive = true;
    bool ResponseSent = false;
    uint32_t RequestTime = 0;  // 32-bit milliseconds when reading the exchange began
    uint32_t ResponseTime = 0; // and when writing the response body began
    int64_t BytesWritten = 0;  // progress of the current response body
    int64_t ResponseSize = 0;  // GetContentLength of the current response

    // Frees the current response and stores this one.
    void SetResponse(std::unique_ptr<ThttpResponse> response);
    // SetResponse(CreateHtmlResponse(code, title, HtmlErrorPage(title, message, details,
    // ServerString))).
    void SendErrorResponse(int code, const std::string& title, const std::string& message,
                           const std::string& details);

    // The connection's routine (its thread).
    void Execute() override;

    // Milliseconds since the connection began waiting for a request, or -1 while it is not
    // waiting (reading, processing or writing a request). Any thread.
    int64_t IdleSince() const { return FIdleSince.load(std::memory_order_acquire); }
    // Closes the connection if it is still waiting for a request (main thread); true when
    // it did. A connection that has just begun reading a request is left alone.
    bool CloseIfIdle();

protected:
    // Hooks, in this order. Each fires the matching server event (when the connection is
    // not terminated); ProcessRequest, ResponseSent and RequestDone then run their Sync event
    // on the main thread when assigned (RequestDone also when terminated).
    // PrepareResponseRange: SetRequest on the response; a 200 to a request with a valid
    // "Range" becomes 206 with RangeStart and RangeEnd, otherwise both are -1.
    virtual void PrepareResponseRange();
    virtual void RequestStart();
    virtual void RequestHeaderReceived();
    // After a request's head: whether the client's socket is to be watched by the thread's
    // loop from now on (its body, its leaving while the answer is made, its next request).
    virtual bool WatchClientAfterHead() const { return true; }
    virtual void RequestContentReceived();
    virtual void ProcessRequest();
    virtual void PrepareResponse();
    virtual void ResponseSentHook();
    virtual void RequestDone();
    virtual void ResponseProgress();

private:
    // What one exchange holds of the server's shared counts (defined in the .cpp file).
    class TRequestSession;
    // One exchange; false when the connection is to end.
    bool RunExchange(TSocketStream& stream);
    // Reads the request line and header (the request counts as active in session from its
    // line on); false when the connection ended quietly (closed, time-out, terminated) or the
    // request was refused (400, 408, 414).
    bool ReadRequestHead(TSocketStream& stream, TRequestSession& session);
    // Reads the body as text, taking its share of the budget in session; false when the
    // request was refused (400, 413, 503) instead.
    bool ReadRequestBody(TSocketStream& stream, TRequestSession& session);
    void WriteResponse(TSocketStream& stream);
    // Answers a refused request with the error page (logged when log), then ends the
    // connection.
    void RefuseRequest(TSocketStream& stream, int code, const std::string& details,
                       bool log = true);
    // A client the server's Admission refused: its request head is read (within
    // kHttpRefusedHeadTimeoutMs), then 403 with the error page; the connection ends.
    void RefuseClient(TSocketStream& stream);
    void SendFallbackError(TSocketStream& stream);
    void FireEvent(const std::function<void(AhttpServer*, AhttpServerClient*)>& event);
    void FireSyncEvent(const std::function<void(AhttpServer*, AhttpServerClient*)>& event);

    AhttpServer* FHttpServer;
    bool FHeaderWritten = false;
    // -1 busy; -2 closed as idle by the server; otherwise when waiting began. Written by the
    // connection's thread and by CloseIfIdle (compare-exchange, so exactly one side wins).
    std::atomic<int64_t> FIdleSince{-1};
};

class AhttpServer : public ATCPServer {
public:
    using TEvent = std::function<void(AhttpServer* server, AhttpServerClient* client)>;

    // ListenPort "80", ClientMode cmThread, ClientReadTrigger and ClientWriteBufferLimit as
    // named above.
    AhttpServer();
    ~AhttpServer() override;

    std::string ServerName;    // set before activation
    std::string ServerVersion; // set before activation
    // ServerName, then "/" and ServerVersion when the version is not empty; empty without a
    // name.
    std::string ServerString() const;
    // Raises EhttpServer.
    [[noreturn]] void RaiseError(const std::string& msg) override;

    // Time-outs the connections use (read at each exchange); default the named values.
    std::atomic<int> HeaderTimeoutMs{kHttpHeaderTimeoutMs};
    std::atomic<int> KeepAliveTimeoutMs{kHttpKeepAliveTimeoutMs};
    std::atomic<int> BodyStallTimeoutMs{kHttpBodyStallTimeoutMs};

    // Bytes all connections together may hold of request bodies, and what they hold
    // (reserved) now; see kHttpRequestBodyBudget.
    std::atomic<int64_t> RequestBodyBudget{kHttpRequestBodyBudget};
    std::atomic<int64_t> RequestBodyBytesHeld{0};

    // Counters for the status view, updated by every connection thread.
    std::atomic<uint32_t> ActiveRequests{0};
    std::atomic<uint32_t> TotalRequests{0};
    std::atomic<uint32_t> ResponsesSent{0};
    // Bytes written to clients by connections that have ended.
    std::atomic<uint64_t> TotalBytesSent{0};

    // Set before activation. Plain events run on the connection's thread; Sync ones on the
    // main thread while that thread waits.
    TEvent OnRequestStart, OnRequestHeader, OnRequestContent, OnProcessRequest,
        OnPrepareResponse, OnResponseSent, OnRequestDone, OnResponseProgress;
    TEvent OnSyncProcessRequest, OnSyncResponseSent, OnSyncRequestDone;

protected:
    // An AhttpServerClient; a derived server makes its own connection class.
    std::unique_ptr<TTCPServerClient> CreateClient() override;
    // At the connection limit: closes the connection that has waited longest for a request.
    void ClientLimitReached() override;
    // Answers go out as header and body in separate writes (see Execute).
    bool ConnectionsWantNoDelay() override { return true; }
};

} // namespace corvan
