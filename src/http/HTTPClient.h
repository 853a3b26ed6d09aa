#pragma once
// The HTTP client: ThttpClient sends one ThttpRequest over an outbound TCP connection (the TCP
// client component) and reads the ThttpResponse, leaving its body on the connection as a
// stream, reading it as text, saving it to a file or handing it out in blocks. The response
// side's wire reading is a pure function over a reader (ReadHttpResponse), so it is tested and
// fuzzed without sockets. The connection is its own, or one adopted (SetStream) that
// OpenOutbound opened, through up-stream proxies when the route says so.
//
// Use (the HTTP proxy forwarding a request, on its connection thread):
//   ThttpClient client;
//   client.SetHost(host); client.SetPort(port);   // the origin server
//   client.SetRequestRef(&request);               // not owned; or SetRequest(unique_ptr)
//   client.SetActive(true);       // connects and runs the exchange here; raises on failure
//   auto response = client.TakeResponse();        // ContentMode 0: body streams from the
//   ... read response->GetContentStream() ...     // connection: read it before
//   client.SetActive(false);                      // the connection is closed
// Another request on the same object: SetRequest or SetRequestRef, then SetActive(false) and
// SetActive(true) again (each activation opens a new connection).

#include "http/HTTPMessage.h"
#include "net/TCPClient.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace corvan {

// Longest status line (without CR LF) read; longer fails with EhttpClient "Status line too
// long" rather than being cut.
inline constexpr int kHttpMaxStatusLineLength = 4096;
// Most interim (1xx) responses skipped before the final one; one more fails with EhttpClient
// "Too many interim responses", so a server cannot hold the client with an endless series.
inline constexpr int kHttpMaxInterimResponses = 16;
// Block size of ContentMode 3 (content-data event).
inline constexpr int kHttpContentBlockSize = 1024;

// Errors of the client itself ("No request assigned", "Asynchronous mode not supported", a bad
// status line). Connection errors are ETCPClient; body errors the reader's.
class EhttpClient : public ETCPClient {
public:
    explicit EhttpClient(const std::string& message, int code = -1)
        : ETCPClient(message, code) {}
};

// Options bits.
inline constexpr uint8_t hcoRawChunked = 1;      // chunked bodies keep their framing
inline constexpr uint8_t hcoLineModeHeader = 2;  // read the response header line by line
// ContentMode values.
enum ThttpContentMode : uint8_t {
    hcmStream = 0, // the body stays on the connection as the response's content stream
    hcmText = 1,   // read as text (at most the response's MaxContentTextSize)
    hcmFile = 2,   // copied to ContentFileName (a failed write deletes the partial file)
    hcmBlocks = 3, // handed out through OnContentData in blocks of kHttpContentBlockSize
};

// Reads a status line (at most kHttpMaxStatusLineLength, CR LF) and the header (line or block
// mode, under kMaxHeaderLineLength and kMaxHeaderSize); interim 1xx responses other than 101
// are read and dropped. Raises EhttpClient for a status line that is too long, is not
// "HTTP/major.minor code ..." with a code of 100 to 999, or follows too many interim responses;
// the reader's errors (EhttpHeaderLimit among them) pass on.
std::unique_ptr<ThttpResponse> ReadHttpResponseHead(AReaderEx& reader, bool lineModeHeader);
// ReadHttpResponseHead, then the body by the message layer's body-length rules: none when
// requestMethod is "HEAD" (any case) or the status has none; otherwise ReadContent(reader,
// asStream, options & hcoRawChunked). A body stream reads from reader, which must outlive it.
std::unique_ptr<ThttpResponse> ReadHttpResponse(AReaderEx& reader, std::string_view requestMethod,
                                                uint8_t options, bool asStream);

class ThttpClient : public ATCPClient {
public:
    using TEvent = std::function<void(ThttpClient* sender)>;
    // stop: set to end the download ("Aborted").
    using TContentDataEvent =
        std::function<void(ThttpClient* sender, const char* data, int size, bool& stop)>;

    // Port "80", a blocking stream (smBlockWaitMessage).
    ThttpClient();
    ~ThttpClient() override;

    // The request to send: owned, or only referred to (the caller keeps it alive while the
    // client may use it). Replacing frees an owned one.
    void SetRequest(std::unique_ptr<ThttpRequest> request);
    void SetRequestRef(ThttpRequest* request);
    ThttpRequest* Request() const { return FRequest; }
    bool OwnsRequest() const { return bool(FOwnedRequest); }

    // The last response (null before one was read, and after an error reading it).
    ThttpResponse* Response() const { return FResponse.get(); }
    // Hands the response over and clears the field.
    std::unique_ptr<ThttpResponse> TakeResponse() { return std::move(FResponse); }

    uint8_t Options = 0;
    uint8_t ContentMode = hcmStream;
    std::string ContentFileName;
    std::string UserAgent;           // "User-Agent" when not empty
    uint8_t ConnectionMode = 0;      // copied to the request when not 0
    // Only the synchronous mode exists: false raises EhttpClient "Asynchronous mode not
    // supported".
    void SetSynchronous(bool value);
    bool Synchronous() const { return true; }

    // On the exchange's thread; OnSyncContentData on the main thread (the exchange waits).
    // OnHeaderSent and OnContentSent fire one after the other once the request went out
    // (WriteMessage: a small body held whole goes in one write with the header).
    TEvent OnRequestPrepared, OnHeaderSent, OnContentSent, OnResponseLine, OnResponseHeader;
    TContentDataEvent OnContentData, OnSyncContentData;
    // ContentMode not 0: the exchange succeeded and the connection was closed.
    TEvent OnResponseComplete;

    // The exchange, on the calling thread: the previous response freed; connect (nothing for
    // an adopted connection that stands); the request adjusted (Host and port from Host() and
    // Port(), Host naming a non-default port; User-Agent, ConnectionMode), prepared and written with its body; the response read
    // (ReadHttpResponse, AsStream unless ContentMode 1); then ContentMode 2 or 3 moves the
    // body; ContentMode not 0 closes the connection and fires OnResponseComplete. Raises
    // EhttpClient "No request assigned" without a request; an error while reading the
    // response frees it and passes on. Activation (SetActive(true)) runs it (with RunInThread
    // on the client's thread, where the outcome is the client's ErrorMessage).
    void ExecuteRequest();

protected:
    void Connect() override { ExecuteRequest(); }

private:
    void SaveContentToFile();
    void DeliverContentBlocks();
    ThttpRequest* FRequest = nullptr;
    std::unique_ptr<ThttpRequest> FOwnedRequest;
    std::unique_ptr<ThttpResponse> FResponse;
};

} // namespace corvan
