#pragma once
// HTTP messages: the request and the response with their start lines, header and body, the
// body-length rules, the two body readers (sized and chunked), the status texts and the HTML
// error page. Pure code over readers and writers; nothing here touches a socket.
//
// Body length (RFC 9112 section 6.3), decided by GetBodyFraming:
//  1. a response to HEAD, any 1xx, 204 and 304 has no body;
//  2. "Transfer-Encoding" present: chunked when "chunked" is its final coding (ignoring case
//     and surrounding white space); it wins over "Content-Length". "chunked" anywhere else, an
//     empty coding list, or (in a request) any coding but a sole chunked: malformed. A
//     response whose final coding is not chunked runs until the connection closes;
//  3. otherwise "Content-Length": every value (all fields, comma-separated lists included)
//     must be the same run of digits; anything else (signs, blanks inside, empty, differing
//     values, overflow) is malformed;
//  4. otherwise a request has no body and a response runs until the connection closes.
// A "Content-Length" or "Transfer-Encoding" line with white space before its ':' or folded
// onto a following line is malformed too. Malformed raises EhttpMalformedMessage, which the
// HTTP server answers with 400 and after which the connection is not reused.

#include "http/HTTP.h"
#include "util/Streams.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvan {

// Longest body that ReadContent (as text) and GetContentString hold in memory; a longer one
// raises EhttpContentTooLarge (answered with 413) before it is read.
inline constexpr int64_t kMaxContentTextSize = 64 * 1024 * 1024;
// Longest chunk-size line and trailer line (without CR LF); longer raises the reader error.
inline constexpr int64_t kMaxChunkLineLength = 4096;
// Most bytes of all trailer lines of one chunked body; more raises the reader error.
inline constexpr int64_t kMaxTrailerSize = 16384;
// A message whose body is held whole and at most this many bytes long goes out in one write
// with its header (WriteMessage); a longer one, or one read as it comes, header first.
inline constexpr int64_t kOneWriteMessageSize = 16384;

class EhttpMessage : public Exception {
public:
    using Exception::Exception;
};
class EhttpRequest : public EhttpMessage {
public:
    using EhttpMessage::EhttpMessage;
};
// The message's length cannot be told safely (see the body-length rules above).
class EhttpMalformedMessage : public EhttpMessage {
public:
    using EhttpMessage::EhttpMessage;
};
// A body to be held as text is longer than the limit.
class EhttpContentTooLarge : public EhttpMessage {
public:
    using EhttpMessage::EhttpMessage;
};
// A chunked body that cannot be decoded; a reader error.
class EChunkedContentReader : public EReader {
public:
    using EReader::EReader;
};

enum class ThttpBodyKind { None, Sized, Chunked, UntilClose };
struct ThttpBodyFraming {
    ThttpBodyKind Kind = ThttpBodyKind::None;
    int64_t Length = 0; // for Sized
};

class AhttpMessage {
public:
    using TMessageEvent = std::function<void(AhttpMessage& message)>;

    AhttpMessage() = default;
    virtual ~AhttpMessage();
    AhttpMessage(const AhttpMessage&) = delete;
    AhttpMessage& operator=(const AhttpMessage&) = delete;

    virtual std::unique_ptr<AhttpMessage> CreateInstance() const = 0;
    virtual std::string BuildStartLine() = 0;
    virtual void ParseStartLine(std::string_view line) = 0;
    // The header string followed by the body text when IncludeContent.
    virtual std::string GetAsString();
    // Splits at the first CR LF CR LF into header text and body text.
    virtual void SetAsString(std::string_view text);
    // The start line, CR LF, the header's text (a lone CR LF without a header object).
    virtual std::string GetHeaderString();
    // The first line goes to SetStartLine; the rest is added to the header (which is dropped
    // when the rest is empty).
    virtual void SetHeaderString(std::string_view text);
    // The cached start line, rebuilt first when a setter made it stale.
    virtual std::string GetStartLine();
    // Stores the line (bare CR, LF and NUL replaced by spaces) and parses it.
    virtual void SetStartLine(std::string_view line);
    virtual void SetMinorVersion(int value);
    virtual void SetMajorVersion(int value);
    virtual void SetProtocol(std::string_view value);
    // The header, created on first use.
    virtual THeader& GetHeader();
    virtual void SetHeader(std::unique_ptr<THeader> header);
    virtual std::vector<std::string>& GetCustomHeaders() { return FCustomHeaders; }
    virtual void SetCustomHeaders(std::vector<std::string> lines) {
        FCustomHeaders = std::move(lines);
    }
    // Content when cached; otherwise a content stream at position 0 is read whole (at most
    // MaxContentTextSize bytes) into Content, which becomes cached.
    virtual std::string GetContentString();
    // Drops the stream; stores text; ContentCached and IncludeContent become !text.empty().
    virtual void SetContentString(std::string_view text);
    // SetContentString taking the text's buffer over instead of copying it (a body of many
    // megabytes is held once).
    void AdoptContentString(std::string text);
    // Hands the body text over (its buffer, not a copy); the message is left without a body
    // (no stream, nothing cached, IncludeContent cleared).
    std::string ReleaseContentString();
    // The body reader; a string reader over Content is made when there is none.
    virtual AReaderEx* GetContentStream();
    // Takes the reader; sets IncludeContent when one is given.
    virtual void SetContentStream(std::unique_ptr<AReaderEx> reader);
    // Content's length when cached, else the stream's size (-1 unknown), else 0.
    virtual int64_t GetContentSize();
    // "Content-Length" as an integer when present, else GetContentSize.
    virtual int64_t GetContentLength();
    virtual void SetContentLength(int64_t value);
    virtual void InitDefaults();
    // Fires OnBeforePrepare; sets "Date" when AutoDate; adds CustomHeaders; then the class's
    // own steps (see the subclasses); fires OnAfterPrepare.
    virtual void Prepare();
    // Copies start line, version, a duplicate of the header, AutoDate and the content text;
    // never the content stream. A null prototype raises EhttpMessage "No prototype".
    virtual void Assign(const AhttpMessage* prototype);
    virtual std::unique_ptr<AhttpMessage> Duplicate() const;
    // Reads or attaches the body by the body-length rules above. asStream: the body becomes a
    // reader over `reader` (which must outlive it: sized, chunked or until-close); otherwise
    // it is read as text. raw: a chunked body keeps its framing byte for byte. When
    // "Transfer-Encoding" wins, "Content-Length" fields are removed; when a chunked body is
    // decoded into text, "chunked" leaves "Transfer-Encoding" (the field goes when nothing
    // else is left) so the message describes the body it holds. Raises EhttpMalformedMessage,
    // EhttpContentTooLarge, or the reader's errors (a body cut short is a reader error).
    virtual void ReadContent(AReaderEx& reader, bool asStream, bool raw);
    // Writes GetHeaderString, then fires OnHeaderWritten.
    virtual void WriteHeader(AWriter& writer);
    // -1 without writing when !IncludeContent; else writes Content, or copies the stream in
    // 2048-byte blocks (appending to Content when CacheContentWhileWriting), fires
    // OnContentWritten and answers the bytes written. progress may abort the copy.
    // (The block is ContentCopyBlockSize.)
    virtual int64_t WriteContent(AWriter& writer, const TCopyProgress& progress = {});

    // The body-length decision; raises EhttpMalformedMessage.
    ThttpBodyFraming GetBodyFraming() const;
    // Whether the body runs until the connection closes (true for a malformed message too:
    // such a connection must not be reused).
    bool IsContentUntilClose() const;
    // Whether "Transfer-Encoding" names chunked as its final coding.
    bool IsChunked() const;

    THeader* HeaderOrNull() const { return FHeader.get(); }
    const std::string& GetProtocol() const { return FProtocol; }
    int GetMajorVersion() const { return FMajorVersion; }
    int GetMinorVersion() const { return FMinorVersion; }
    bool ContentCached() const { return FContentCached; }
    // Protocol empty or "HTTP".
    bool IsHTTP() const;
    bool IsHTTP10OrEarlier() const;
    bool IsHTTP11OrLater() const;

    bool AutoDate = true;
    bool IncludeContent = true;
    bool CacheContentWhileWriting = false;
    // Block of the stream copy in WriteContent (a relay passes bodies on in larger blocks).
    int ContentCopyBlockSize = kStreamBlockSize;
    int64_t MaxContentTextSize = kMaxContentTextSize;
    // Asked with the size content read as text is about to reach (at most MaxContentTextSize),
    // before it does; it may raise to stop the read. Lets the owner account for the memory.
    std::function<void(int64_t size)> OnContentTextGrow;
    TMessageEvent OnBeforePrepare;
    TMessageEvent OnAfterPrepare;
    TMessageEvent OnHeaderWritten;
    TMessageEvent OnContentWritten;

protected:
    virtual bool IsRequest() const = 0;
    // Rule 1 of the body-length rules.
    virtual bool HasNoBody() const { return false; }
    // Protocol "/" major "." minor; the protocol alone when both numbers are below 1.
    std::string VersionText() const;
    // Protocol (upper-cased) before '/', major and minor after it (non-numbers read as 0).
    void ParseVersionText(std::string_view text);
    void InvalidateStartLine() { FStartLineValid = false; }
    // The constructors' common part.
    void SetParts(std::string_view protocol, int majorVersion, int minorVersion,
                  std::unique_ptr<THeader> header, std::string_view content);
    // Content as text of at most MaxContentTextSize bytes from the reader's position to end.
    // The buffer grows no larger than MaxContentTextSize, nor than expected when that is
    // known (a sized body: 0 or more), so a body is never held in twice its size.
    std::string ReadTextToEnd(AReaderEx& reader, int64_t expected = -1) const;
    // Copies the content stream (or Content) to writer; the shared part of WriteContent.
    int64_t CopyContent(AWriter& writer, const TCopyProgress& progress);

    std::string FStartLine;
    bool FStartLineValid = false;
    std::string FProtocol = "HTTP";
    int FMajorVersion = 1;
    int FMinorVersion = 1;
    std::unique_ptr<THeader> FHeader;
    std::vector<std::string> FCustomHeaders;
    bool FContentCached = false;
    std::string FContent;
    std::unique_ptr<AReaderEx> FContentStream;
};

class ThttpRequest : public AhttpMessage {
public:
    // Connection modes: set "Connection" (or "Proxy-Connection") on Prepare.
    static constexpr uint8_t cmNone = 0, cmKeepAlive = 1, cmClose = 2;

    ThttpRequest() = default;
    ThttpRequest(std::string_view method, std::string_view uri, std::string_view protocol,
                 int majorVersion, int minorVersion, std::unique_ptr<THeader> header = nullptr,
                 std::string_view content = {});
    // InitDefaults, then SetStartLine; no header (unless the target names a host) and no body.
    static std::unique_ptr<ThttpRequest> CreateFromStartLine(std::string_view startLine);

    std::unique_ptr<AhttpMessage> CreateInstance() const override;
    // Method, space, target (the absolute form when UseProxyForm), and when the version text
    // is not empty, space and version text.
    std::string BuildStartLine() override;
    // Trimmed; method upper-cased; without a second space the rest is the URI and the
    // request has no version (protocol empty, 0.0); a URI naming a host goes to SetHost.
    void ParseStartLine(std::string_view line) override;
    void InitDefaults() override;
    // Also: an HTTP/1.1 request without a host raises EhttpRequest "Host must be set for
    // HTTP/1.1 request."; cached content sets "Content-Length"; ConnectionMode sets
    // "Proxy-Connection" (UseProxyForm) or "Connection".
    void Prepare() override;
    void Assign(const AhttpMessage* prototype) override;
    std::unique_ptr<ThttpRequest> DuplicateRequest() const;

    const std::string& GetMethod() const { return FMethod; }
    void SetMethod(std::string_view method);
    const std::string& GetURI() const { return FURI; }
    void SetURI(std::string_view uri);
    const std::string& GetPort() const { return FPort; }
    void SetPort(std::string_view port);
    bool GetUseProxyForm() const { return FUseProxyForm; }
    void SetUseProxyForm(bool value);
    // The "Host" field; when empty, the host part of the URI.
    std::string GetHost() const;
    // "Host" becomes value (host and port as given, so a non-default port is kept, RFC 9110
    // section 7.2); a port in it also goes to Port.
    void SetHost(std::string_view value);
    void SetUserAgent(std::string_view value);
    // The "Range" field "bytes=first-last"; each offset -1 when empty or not a number; true
    // when either is at least 0.
    bool GetRange(int64_t& first, int64_t& last) const;
    std::string GetProxyAuthorization() const;
    // The decoded "user:password" of a "Basic" (any case) "Proxy-Authorization"; empty when
    // the field is missing, of another scheme, or not valid Base64 (RFC 4648).
    std::string GetBasicProxyCredentials() const;

    uint8_t ConnectionMode = cmNone;

protected:
    bool IsRequest() const override { return true; }

private:
    std::string FMethod = "GET";
    std::string FURI = "/";
    std::string FPort;
    bool FUseProxyForm = false;
};

// The range rule: for a full size, the offset and length that first and last (-1 absent)
// select; false (offset and length 0) when they select nothing.
bool ComputeRange(int64_t first, int64_t last, int64_t size, int64_t& offset, int64_t& length);

class ThttpResponse : public AhttpMessage {
public:
    ThttpResponse() = default;
    ThttpResponse(int statusCode, std::string_view reasonPhrase, std::string_view protocol,
                  int majorVersion, int minorVersion, std::unique_ptr<THeader> header = nullptr,
                  std::string_view content = {});
    static std::unique_ptr<ThttpResponse> CreateFromStartLine(std::string_view startLine);

    std::unique_ptr<AhttpMessage> CreateInstance() const override;
    // Version text, space, code, space, ReasonPhrase (or the table's text when empty).
    std::string BuildStartLine() override;
    void ParseStartLine(std::string_view line) override;
    void InitDefaults() override;
    // Also: 1xx, 204 and 304 lose "Content-Length" and "Transfer-Encoding" and the body. With
    // a body: 206 with a range that selects bytes gets "Content-Range" and "Content-Length"
    // (a range that selects nothing, or a body of unknown size, falls back to 200 and the
    // whole body, unless RangeAsSent); otherwise, unless chunked, a size above 0 sets
    // "Content-Length".
    void Prepare() override;
    void Assign(const AhttpMessage* prototype) override;
    // The range's length while a range is served, else the whole body's size.
    int64_t GetContentSize() override;
    // Writes only the range while a range is served.
    int64_t WriteContent(AWriter& writer, const TCopyProgress& progress = {}) override;
    std::unique_ptr<ThttpResponse> DuplicateResponse() const;

    int GetStatusCode() const { return FStatusCode; }
    // Also sets AutoDate to whether the code is not 1xx.
    void SetStatusCode(int code);
    const std::string& GetReasonPhrase() const { return FReasonPhrase; }
    void SetReasonPhrase(std::string_view value);
    // "Server": name, a space and "MW-HTTP/1.09", or "MW-HTTP/1.09" alone for an empty name.
    void SetServer(std::string_view name);
    std::string GetServer() const;
    void SetProxyAuthenticate(std::string_view value);
    bool IsSuccess() const { return FStatusCode >= 200 && FStatusCode <= 299; }
    // Matches the version to an HTTP request (1.1, or 1.0 for 1.0 and earlier) and remembers
    // its method (a response to HEAD, and a 2xx to CONNECT, has no body: RFC 9110 9.3.6).
    void SetRequest(const ThttpRequest& request);

    int64_t RangeStart = -1;
    int64_t RangeEnd = -1;
    // A 206 whose sender chose its range (a relayed answer): Prepare keeps its status and
    // "Content-Range" and frames its body as any other.
    bool RangeAsSent = false;
    // The method of the request this answers; "HEAD" (any case) means no body follows. The
    // HTTP client sets it before reading the body.
    std::string RequestMethod;

protected:
    bool IsRequest() const override { return false; }
    bool HasNoBody() const override;

private:
    // Whether a range is being served, with its offset and length.
    bool ServedRange(int64_t& offset, int64_t& length);
    int FStatusCode = 200;
    std::string FReasonPhrase;
};

// A body of a fixed size N over another reader (not owned). Its end is reached after N bytes
// only: a source that ends sooner makes Read raise EReader "Read error" (a cut body is an
// error, never a short success).
class ThttpSizedContentReader : public TReaderProxy {
public:
    ThttpSizedContentReader(AReaderEx* reader, int64_t size);
    // The declared size N, whatever the source holds.
    int64_t GetSize() override { return FLimit; }
    int Read(void* buffer, int count) override;
    bool IsEOF() override;
};

// A chunked body (RFC 9112 section 7.1) over another reader (not owned):
//   chunk    = chunk-size [ ";" ext ] CRLF data CRLF      chunk-size: 1*HEXDIG, at most 63 bits
//   last     = 1*"0" [ ";" ext ] CRLF
//   trailer  = *( line CRLF ) CRLF                         (or the end of the source)
// Decoded mode delivers the data; raw mode delivers every byte received, framing and
// trailers included. A size or trailer line holding a bare CR, a bare LF or a NUL, lines
// longer than kMaxChunkLineLength, trailers above kMaxTrailerSize, a size that is not
// hexadecimal or above 63 bits, data not followed by CR LF, and a source that ends early raise
// EChunkedContentReader. Read answers after each chunk's data, so a
// slowly streamed body is passed on as it arrives.
class ThttpChunkedContentReader : public AReaderEx {
public:
    ThttpChunkedContentReader(AReaderEx* reader, bool raw);
    int64_t GetPosition() override { return FPosition; }
    // Only to the current position; anything else raises EReader "SetPosition failed".
    void SetPosition(int64_t position) override;
    // The position once at the end, -1 before.
    int64_t GetSize() override;
    int Read(void* buffer, int count) override;
    bool IsEOF() override;
    const std::vector<std::string>& Trailer() const { return FTrailer; }

private:
    void ReadChunkHeader();
    std::string ReadLine();
    AReaderEx* FReader;
    bool FRaw;
    bool FStarted = false;
    bool FLastChunk = false;
    int64_t FChunkSize = 0;
    int64_t FChunkRead = 0;
    int64_t FPosition = 0;
    int64_t FTrailerSize = 0;
    std::vector<std::string> FTrailer;
    std::string FFraming;
    size_t FFramingPos = 0;
};

// Whether text is a token (RFC 9110 section 5.6.2): one or more of the letters, digits and
// !#$%&'*+-.^_`|~ that field names and methods are made of.
bool IsToken(std::string_view text);
// A request line as received, before it is parsed (RFC 9112 section 3). Raises
// EhttpMalformedMessage when it holds a bare CR or LF or another control byte (a NUL becomes a
// space first, as in header lines), or when it is not a method token, a target and an optional
// version ("name/major.minor") separated by blanks: a target with blanks in it would be read
// one way here and another by a recipient that splits the line elsewhere.
void CheckRequestLine(std::string_view line);
// Raises EhttpMalformedMessage when a field's name is not a token (blanks or other bytes
// inside, or empty). Lines that are no field at all are left to the caller.
void CheckFieldNames(const THeader& header);

// WriteHeader, then WriteContent with progress, to writer; a body held whole (ContentCached)
// of at most kOneWriteMessageSize bytes, or none to send, goes in one write with the header:
// apart, the peer is woken for the header alone, and the writing thread may be set aside by
// that wake-up before the body follows. Answers what WriteContent answers.
int64_t WriteMessage(AhttpMessage& message, AWriter& writer, const TCopyProgress& progress = {});

// The default reason phrase of a status code; empty for a code outside the table.
std::string HTTPStatusText(int code);
// Exactly "GET", "PUT", "POST", "HEAD", "CONNECT" and "DELETE".
bool IsKnownMethod(std::string_view method);
// A response "HTTP/1.1" with the code, phrase and html body, "Content-Type: text/html" and
// "Pragma: no-cache".
std::unique_ptr<ThttpResponse> CreateHtmlResponse(int statusCode, std::string_view reasonPhrase,
                                                  std::string_view html);
// The error page (title twice, the "<B>" left open), dated now; an empty serverName is
// "MW-HTTP/1.09".
std::string HtmlErrorPage(std::string_view title, std::string_view message,
                          std::string_view details, std::string_view serverName);
// via, ", " when via is not empty, "protocol/" unless HTTP, "major.minor receivedBy", and
// " (comment)" when comment is not empty. An IPv6 literal as receivedBy is written in
// brackets (RFC 9110 section 7.6.3: uri-host).
std::string AddViaEntry(std::string_view via, std::string_view receivedBy,
                        std::string_view protocol, int major, int minor, std::string_view comment);
// value "," address, or address alone when value is empty.
std::string AddForwardedFor(std::string_view value, std::string_view address);
// Whether address is loopback or "every address" as the proxy writes them: "127.0.0.1",
// "0.0.0.0", or IPv6 ::1 or :: in any form, bracketed or not. A proxy listening there adds no
// "Via" entry, and a client there no "X-Forwarded-For" entry: neither names anything a next
// hop could use.
bool IsLoopbackOrAnyText(std::string_view address);

} // namespace corvan
