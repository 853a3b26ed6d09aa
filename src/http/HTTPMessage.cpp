#include "http/HTTPMessage.h"

#include "http/URL.h"
#include "net/SocketLib.h"
#include "util/Strings.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace corvan {

namespace {

const char kServerProduct[] = "MW-HTTP/1.09";

// A version or status number: digits only, within 32 bits; anything else reads as 0.
int ParseSmallNumber(std::string_view s) {
    auto v = ParseDigits(s);
    return v && *v <= uint64_t(std::numeric_limits<int>::max()) ? int(*v) : 0;
}

[[noreturn]] void Malformed(const char* why) {
    throw EhttpMalformedMessage(JoinMessage("Malformed message", why));
}

// The coding names of every "Transfer-Encoding" field, in order, empty list elements dropped
// (RFC 9110 section 5.6.1); parameters after ';' are not part of the name.
std::vector<std::string> TransferCodings(const THeader& header, bool& present) {
    std::vector<std::string> codings;
    present = false;
    for (int i = 0; i < header.FieldCount(); ++i) {
        AHeaderField* f = header.Fields(i);
        if (!EqualNoCase(f->GetName(), "Transfer-Encoding"))
            continue;
        present = true;
        for (const std::string& element : Split(f->GetBody(), ',')) {
            std::string_view name = element;
            name = TrimControlsAndSpace(name.substr(0, name.find(';')));
            if (!name.empty())
                codings.emplace_back(name);
        }
    }
    return codings;
}

// A TE field with "chunked" dropped from its codings; empty when nothing else is left.
std::string WithoutChunked(const std::vector<std::string>& codings) {
    std::string r;
    for (const std::string& c : codings)
        if (!EqualNoCase(c, "chunked"))
            r += (r.empty() ? "" : ", ") + c;
    return r;
}

// Checks the lines that are not fields for framing fields in disguise.
void CheckInvalidLines(const THeader& header) {
    bool afterFramingField = false;
    for (int i = 0; i < header.FieldCount(); ++i) {
        AHeaderField* f = header.Fields(i);
        if (auto* invalid = dynamic_cast<TInvalidField*>(f)) {
            const std::string& raw = invalid->RawLine();
            if (IsAmbiguousFramingLine(raw))
                Malformed("white space before the colon of a framing field");
            if (afterFramingField && !raw.empty() && (unsigned char)raw[0] <= 32)
                Malformed("folded framing field");
        }
        afterFramingField = IsFramingFieldName(f->GetName());
    }
}

template <class T> std::unique_ptr<T> CreateFrom(std::string_view startLine) {
    auto r = std::make_unique<T>();
    r->InitDefaults();
    r->SetStartLine(startLine);
    return r;
}

template <class T> std::unique_ptr<T> DuplicateAs(const T& prototype) {
    auto r = std::make_unique<T>();
    r->Assign(&prototype);
    return r;
}

// A writer that passes what it copies to a writer and appends it to a string.
class TCachingWriter : public AWriter {
public:
    TCachingWriter(AWriter& target, std::string& cache) : FTarget(target), FCache(cache) {}
    int64_t GetPosition() override { return FTarget.GetPosition(); }
    void SetPosition(int64_t position) override { FTarget.SetPosition(position); }
    int64_t GetSize() override { return FTarget.GetSize(); }
    void SetSize(int64_t size) override { FTarget.SetSize(size); }
    int Write(const void* buffer, int count) override {
        int n = FTarget.Write(buffer, count);
        if (n > 0)
            FCache.append(static_cast<const char*>(buffer), size_t(n));
        return n;
    }

private:
    AWriter& FTarget;
    std::string& FCache;
};

} // namespace

// ---- AhttpMessage ---------------------------------------------------------------------------

AhttpMessage::~AhttpMessage() = default;

void AhttpMessage::SetParts(std::string_view protocol, int majorVersion, int minorVersion,
                            std::unique_ptr<THeader> header, std::string_view content) {
    FProtocol = protocol;
    FMajorVersion = majorVersion;
    FMinorVersion = minorVersion;
    FHeader = std::move(header);
    if (!content.empty())
        SetContentString(content);
}

std::string AhttpMessage::GetAsString() {
    std::string r = GetHeaderString();
    if (IncludeContent)
        r += GetContentString();
    return r;
}

void AhttpMessage::SetAsString(std::string_view text) {
    size_t end = text.find("\r\n\r\n");
    if (end == std::string_view::npos) {
        SetHeaderString(text);
        SetContentString("");
        return;
    }
    SetHeaderString(text.substr(0, end));
    SetContentString(text.substr(end + 4));
}

std::string AhttpMessage::GetHeaderString() {
    std::string r = GetStartLine();
    r += "\r\n";
    r += FHeader ? FHeader->GetAsString() : std::string("\r\n");
    return r;
}

void AhttpMessage::SetHeaderString(std::string_view text) {
    size_t end = text.find("\r\n");
    SetStartLine(text.substr(0, end));
    std::string_view rest =
        end == std::string_view::npos ? std::string_view() : text.substr(end + 2);
    if (rest.empty()) {
        FHeader.reset();
        return;
    }
    GetHeader().SetAsString(rest);
}

std::string AhttpMessage::GetStartLine() {
    if (!FStartLineValid) {
        FStartLine = BuildStartLine();
        FStartLineValid = true;
    }
    return FStartLine;
}

void AhttpMessage::SetStartLine(std::string_view line) {
    FStartLine = ReplaceBareLineBreaks(line);
    FStartLineValid = true;
    ParseStartLine(FStartLine);
}

void AhttpMessage::SetMinorVersion(int value) {
    FMinorVersion = value;
    InvalidateStartLine();
}

void AhttpMessage::SetMajorVersion(int value) {
    FMajorVersion = value;
    InvalidateStartLine();
}

void AhttpMessage::SetProtocol(std::string_view value) {
    FProtocol = value;
    InvalidateStartLine();
}

THeader& AhttpMessage::GetHeader() {
    if (!FHeader)
        FHeader = std::make_unique<THeader>();
    return *FHeader;
}

void AhttpMessage::SetHeader(std::unique_ptr<THeader> header) {
    FHeader = std::move(header);
}

std::string AhttpMessage::ReadTextToEnd(AReaderEx& reader, int64_t expected) const {
    std::string text;
    int64_t most = expected >= 0 ? std::min(expected, MaxContentTextSize) : MaxContentTextSize;
    char block[kStreamBlockSize];
    while (!reader.IsEOF()) {
        int n = reader.Read(block, kStreamBlockSize);
        if (n <= 0) {
            if (reader.IsEOF())
                break;
            throw EReader("Read error");
        }
        if (int64_t(text.size()) + n > MaxContentTextSize)
            throw EhttpContentTooLarge("Content too large");
        int64_t size = int64_t(text.size()) + n;
        if (OnContentTextGrow)
            OnContentTextGrow(size);
        // Doubling as usual, but never past the most the body can be (reserve on the string
        // itself would at least double).
        if (size > int64_t(text.capacity())) {
            std::string grown;
            grown.reserve(size_t(std::max(size, std::min(2 * int64_t(text.capacity()), most))));
            grown.append(text);
            text.swap(grown);
        }
        text.append(block, size_t(n));
    }
    return text;
}

std::string AhttpMessage::GetContentString() {
    if (!FContentCached && FContentStream && FContentStream->GetPosition() == 0) {
        FContent = ReadTextToEnd(*FContentStream);
        FContentCached = true;
    }
    return FContent;
}

void AhttpMessage::SetContentString(std::string_view text) {
    AdoptContentString(std::string(text));
}

void AhttpMessage::AdoptContentString(std::string text) {
    FContentStream.reset();
    FContent = std::move(text);
    FContentCached = !FContent.empty();
    IncludeContent = !FContent.empty();
}

std::string AhttpMessage::ReleaseContentString() {
    std::string text = std::move(FContent);
    AdoptContentString(std::string());
    return text;
}

AReaderEx* AhttpMessage::GetContentStream() {
    if (!FContentStream)
        FContentStream = std::make_unique<TStringReader>(FContent);
    return FContentStream.get();
}

void AhttpMessage::SetContentStream(std::unique_ptr<AReaderEx> reader) {
    FContentStream = std::move(reader);
    if (FContentStream)
        IncludeContent = true;
}

int64_t AhttpMessage::GetContentSize() {
    if (FContentCached)
        return int64_t(FContent.size());
    if (FContentStream)
        return FContentStream->GetSize();
    return 0;
}

int64_t AhttpMessage::GetContentLength() {
    if (FHeader)
        if (AHeaderField* f = FHeader->GetField("Content-Length"))
            return f->GetBodyAsInteger();
    return GetContentSize();
}

void AhttpMessage::SetContentLength(int64_t value) {
    GetHeader().SetFieldBody("Content-Length", std::to_string(value));
}

void AhttpMessage::InitDefaults() {
    FStartLine.clear();
    FStartLineValid = false;
    FProtocol = "HTTP";
    FMajorVersion = 1;
    FMinorVersion = 1;
    FHeader.reset();
    FCustomHeaders.clear();
    AutoDate = true;
    FContentCached = false;
    FContent.clear();
    FContentStream.reset();
    IncludeContent = true;
    CacheContentWhileWriting = false;
}

void AhttpMessage::Prepare() {
    if (OnBeforePrepare)
        OnBeforePrepare(*this);
    if (AutoDate)
        GetHeader().SetField("Date", std::make_unique<TDateField>());
    for (const std::string& line : FCustomHeaders)
        GetHeader().AddFieldString(line);
}

void AhttpMessage::Assign(const AhttpMessage* prototype) {
    if (!prototype)
        throw EhttpMessage("No prototype");
    FStartLine = prototype->FStartLine;
    FStartLineValid = prototype->FStartLineValid;
    FProtocol = prototype->FProtocol;
    FMajorVersion = prototype->FMajorVersion;
    FMinorVersion = prototype->FMinorVersion;
    FHeader = prototype->FHeader ? prototype->FHeader->Duplicate() : nullptr;
    AutoDate = prototype->AutoDate;
    FContentStream.reset();
    FContentCached = prototype->FContentCached;
    FContent = prototype->FContent;
    IncludeContent = prototype->IncludeContent;
}

std::unique_ptr<AhttpMessage> AhttpMessage::Duplicate() const {
    std::unique_ptr<AhttpMessage> r = CreateInstance();
    r->Assign(this);
    return r;
}

bool AhttpMessage::IsChunked() const {
    if (!FHeader)
        return false;
    bool present;
    std::vector<std::string> codings = TransferCodings(*FHeader, present);
    return !codings.empty() && EqualNoCase(codings.back(), "chunked");
}

ThttpBodyFraming AhttpMessage::GetBodyFraming() const {
    const ThttpBodyFraming none{ThttpBodyKind::None, 0};
    const ThttpBodyFraming untilClose{ThttpBodyKind::UntilClose, 0};
    if (HasNoBody())
        return none;
    if (!FHeader)
        return IsRequest() ? none : untilClose;
    CheckInvalidLines(*FHeader);

    bool hasTransferEncoding;
    std::vector<std::string> codings = TransferCodings(*FHeader, hasTransferEncoding);
    if (hasTransferEncoding) {
        if (codings.empty())
            Malformed("empty Transfer-Encoding");
        for (size_t i = 0; i + 1 < codings.size(); ++i)
            if (EqualNoCase(codings[i], "chunked"))
                Malformed("chunked is not the final transfer coding");
        // A request body is held decoded and goes on with a length: another coding left in
        // the field would stand beside that length, which no message may carry.
        if (IsRequest() && codings.size() > 1)
            Malformed("request transfer coding other than chunked");
        if (EqualNoCase(codings.back(), "chunked"))
            return {ThttpBodyKind::Chunked, 0};
        if (IsRequest())
            Malformed("request transfer coding is not chunked");
        return untilClose;
    }

    std::optional<uint64_t> length;
    for (int i = 0; i < FHeader->FieldCount(); ++i) {
        AHeaderField* f = FHeader->Fields(i);
        if (!EqualNoCase(f->GetName(), "Content-Length"))
            continue;
        for (const std::string& element : Split(f->GetBody(), ',')) {
            auto v = ParseDigits(TrimControlsAndSpace(element));
            if (!v || *v > uint64_t(std::numeric_limits<int64_t>::max()))
                Malformed("invalid Content-Length");
            if (length && *length != *v)
                Malformed("differing Content-Length values");
            length = v;
        }
    }
    if (length)
        return *length == 0 ? none : ThttpBodyFraming{ThttpBodyKind::Sized, int64_t(*length)};
    return IsRequest() ? none : untilClose;
}

bool AhttpMessage::IsContentUntilClose() const {
    try {
        return GetBodyFraming().Kind == ThttpBodyKind::UntilClose;
    } catch (const EhttpMalformedMessage&) {
        return true;
    }
}

void AhttpMessage::ReadContent(AReaderEx& reader, bool asStream, bool raw) {
    ThttpBodyFraming framing = GetBodyFraming();
    if (framing.Kind == ThttpBodyKind::Chunked) {
        // The coding decides the length; a "Content-Length" beside it must not travel on.
        FHeader->RemoveFields("Content-Length");
    }
    switch (framing.Kind) {
    case ThttpBodyKind::None:
        SetContentString("");
        return;
    case ThttpBodyKind::Sized:
        if (asStream) {
            SetContentStream(std::make_unique<ThttpSizedContentReader>(&reader, framing.Length));
            return;
        }
        if (framing.Length > MaxContentTextSize)
            throw EhttpContentTooLarge("Content too large");
        {
            ThttpSizedContentReader body(&reader, framing.Length);
            AdoptContentString(ReadTextToEnd(body, framing.Length));
        }
        return;
    case ThttpBodyKind::Chunked:
        if (asStream) {
            SetContentStream(std::make_unique<ThttpChunkedContentReader>(&reader, raw));
            return;
        }
        {
            ThttpChunkedContentReader body(&reader, raw);
            std::string text = ReadTextToEnd(body);
            if (!raw) {
                bool present;
                std::string rest = WithoutChunked(TransferCodings(*FHeader, present));
                FHeader->RemoveFields("Transfer-Encoding");
                if (!rest.empty())
                    FHeader->AddField("Transfer-Encoding", rest);
            }
            AdoptContentString(std::move(text));
        }
        return;
    case ThttpBodyKind::UntilClose:
        if (asStream)
            SetContentStream(std::make_unique<TReaderProxy>(&reader, false, -1));
        else
            AdoptContentString(ReadTextToEnd(reader));
        return;
    }
}

void AhttpMessage::WriteHeader(AWriter& writer) {
    std::string text = GetHeaderString();
    WriteAll(writer, text.data(), int64_t(text.size()));
    if (OnHeaderWritten)
        OnHeaderWritten(*this);
}

int64_t AhttpMessage::CopyContent(AWriter& writer, const TCopyProgress& progress) {
    if (FContentCached) {
        WriteAll(writer, FContent.data(), int64_t(FContent.size()));
        if (progress) {
            bool abort = false;
            progress(int64_t(FContent.size()), abort);
            if (abort)
                throw EStreamOperationAborted();
        }
        return int64_t(FContent.size());
    }
    if (!FContentStream)
        return 0;
    if (!CacheContentWhileWriting)
        return CopyReaderToWriter(FContentStream.get(), &writer, ContentCopyBlockSize, progress);
    FContent.clear();
    TCachingWriter caching(writer, FContent);
    int64_t n = CopyReaderToWriter(FContentStream.get(), &caching, ContentCopyBlockSize, progress);
    FContentCached = true;
    return n;
}

int64_t AhttpMessage::WriteContent(AWriter& writer, const TCopyProgress& progress) {
    if (!IncludeContent)
        return -1;
    int64_t n = CopyContent(writer, progress);
    if (OnContentWritten)
        OnContentWritten(*this);
    return n;
}

int64_t WriteMessage(AhttpMessage& message, AWriter& writer, const TCopyProgress& progress) {
    bool oneWrite = !message.IncludeContent ||
                    (message.ContentCached() && message.GetContentSize() <= kOneWriteMessageSize);
    if (!oneWrite) {
        message.WriteHeader(writer);
        return message.WriteContent(writer, progress);
    }
    TStringWriter held;
    message.WriteHeader(held);
    int64_t written = message.WriteContent(held, progress);
    WriteAll(writer, held.Data().data(), int64_t(held.Data().size()));
    return written;
}

bool AhttpMessage::IsHTTP() const {
    return FProtocol.empty() || FProtocol == "HTTP";
}

bool AhttpMessage::IsHTTP10OrEarlier() const {
    return IsHTTP() && (FMajorVersion < 1 || (FMajorVersion == 1 && FMinorVersion == 0));
}

bool AhttpMessage::IsHTTP11OrLater() const {
    return FProtocol == "HTTP" && (FMajorVersion > 1 || (FMajorVersion == 1 && FMinorVersion >= 1));
}

std::string AhttpMessage::VersionText() const {
    if (FMajorVersion < 1 && FMinorVersion < 1)
        return FProtocol;
    return FProtocol + "/" + std::to_string(FMajorVersion) + "." + std::to_string(FMinorVersion);
}

void AhttpMessage::ParseVersionText(std::string_view text) {
    size_t slash = text.find('/');
    FProtocol = AsciiUpperCase(text.substr(0, slash));
    std::string_view number =
        slash == std::string_view::npos ? std::string_view() : text.substr(slash + 1);
    size_t dot = number.find('.');
    FMajorVersion = ParseSmallNumber(number.substr(0, dot));
    FMinorVersion = dot == std::string_view::npos ? 0 : ParseSmallNumber(number.substr(dot + 1));
}

// ---- ThttpRequest ---------------------------------------------------------------------------

ThttpRequest::ThttpRequest(std::string_view method, std::string_view uri, std::string_view protocol,
                           int majorVersion, int minorVersion, std::unique_ptr<THeader> header,
                           std::string_view content)
    : FMethod(method), FURI(uri) {
    SetParts(protocol, majorVersion, minorVersion, std::move(header), content);
}

std::unique_ptr<ThttpRequest> ThttpRequest::CreateFromStartLine(std::string_view startLine) {
    return CreateFrom<ThttpRequest>(startLine);
}

std::unique_ptr<AhttpMessage> ThttpRequest::CreateInstance() const {
    return std::make_unique<ThttpRequest>();
}

std::string ThttpRequest::BuildStartLine() {
    std::string target = FURI;
    if (FUseProxyForm) {
        std::string protocol, host, path;
        DecodeURL(FURI, protocol, host, path);
        if (host.empty()) {
            host = GetHost();
            size_t bracket = host.rfind(']');
            bool hasPort =
                host.find(':', bracket == std::string::npos ? 0 : bracket) != std::string::npos;
            if (!FPort.empty() && !hasPort)
                host += ":" + FPort;
        }
        target = EncodeURL(protocol, host, path);
    }
    std::string line = FMethod + " " + target;
    std::string version = VersionText();
    if (!version.empty())
        line += " " + version;
    return line;
}

void ThttpRequest::ParseStartLine(std::string_view line) {
    line = TrimControlsAndSpace(line);
    size_t space = line.find(' ');
    FMethod = AsciiUpperCase(line.substr(0, space));
    std::string_view rest =
        space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    std::string_view trimmed = TrimControlsAndSpace(rest);
    if (trimmed.find(' ') == std::string_view::npos) {
        FURI = trimmed;
        FProtocol.clear();
        FMajorVersion = 0;
        FMinorVersion = 0;
    } else {
        size_t last = trimmed.rfind(' ');
        ParseVersionText(trimmed.substr(last + 1));
        FURI = TrimControlsAndSpace(trimmed.substr(0, last));
    }
    std::string protocol, host, path;
    DecodeURL(FURI, protocol, host, path);
    if (!host.empty())
        SetHost(host);
    // Setters mark the line stale; the line just parsed is the current one.
    FStartLineValid = true;
}

void ThttpRequest::InitDefaults() {
    AhttpMessage::InitDefaults();
    FMethod = "GET";
    FURI = "/";
    FPort.clear();
    ConnectionMode = cmNone;
    FUseProxyForm = false;
}

void ThttpRequest::Prepare() {
    AhttpMessage::Prepare();
    if (IsHTTP11OrLater() && GetHost().empty())
        throw EhttpRequest("Host must be set for HTTP/1.1 request.");
    if (FContentCached && !FContent.empty())
        SetContentLength(int64_t(FContent.size()));
    if (ConnectionMode != cmNone)
        GetHeader().SetFieldBody(FUseProxyForm ? "Proxy-Connection" : "Connection",
                                 ConnectionMode == cmKeepAlive ? "keep-alive" : "close");
    if (OnAfterPrepare)
        OnAfterPrepare(*this);
}

void ThttpRequest::Assign(const AhttpMessage* prototype) {
    AhttpMessage::Assign(prototype);
    if (auto* r = dynamic_cast<const ThttpRequest*>(prototype)) {
        FMethod = r->FMethod;
        FURI = r->FURI;
        FPort = r->FPort;
        ConnectionMode = r->ConnectionMode;
        FUseProxyForm = r->FUseProxyForm;
    }
}

std::unique_ptr<ThttpRequest> ThttpRequest::DuplicateRequest() const {
    return DuplicateAs<ThttpRequest>(*this);
}

void ThttpRequest::SetMethod(std::string_view method) {
    FMethod = method;
    InvalidateStartLine();
}

void ThttpRequest::SetURI(std::string_view uri) {
    FURI = uri;
    InvalidateStartLine();
}

void ThttpRequest::SetPort(std::string_view port) {
    FPort = port;
    InvalidateStartLine();
}

void ThttpRequest::SetUseProxyForm(bool value) {
    FUseProxyForm = value;
    InvalidateStartLine();
}

std::string ThttpRequest::GetHost() const {
    std::string host = FHeader ? FHeader->GetFieldBody("Host") : std::string();
    if (host.empty()) {
        std::string protocol, path;
        DecodeURL(FURI, protocol, host, path);
    }
    return host;
}

void ThttpRequest::SetHost(std::string_view value) {
    std::string host, port;
    SplitHostPort(value, host, port, "");
    GetHeader().SetFieldBody("Host", JoinHostPort(host, port));
    if (!port.empty())
        FPort = port;
    InvalidateStartLine();
}

void ThttpRequest::SetUserAgent(std::string_view value) {
    GetHeader().SetFieldBody("User-Agent", value);
}

bool ThttpRequest::GetRange(int64_t& first, int64_t& last) const {
    first = last = -1;
    std::string range = FHeader ? FHeader->GetFieldBody("Range") : std::string();
    size_t eq = range.find('=');
    if (eq == std::string::npos ||
        !EqualNoCase(TrimControlsAndSpace(std::string_view(range).substr(0, eq)), "bytes"))
        return false;
    std::string_view byteRange = std::string_view(range).substr(eq + 1);
    size_t dash = byteRange.find('-');
    auto offset = [](std::string_view s) {
        auto v = ParseInt64(TrimControlsAndSpace(s));
        return v ? *v : -1;
    };
    first = offset(byteRange.substr(0, dash));
    last = dash == std::string_view::npos ? -1 : offset(byteRange.substr(dash + 1));
    return first >= 0 || last >= 0;
}

std::string ThttpRequest::GetProxyAuthorization() const {
    return FHeader ? FHeader->GetFieldBody("Proxy-Authorization") : std::string();
}

std::string ThttpRequest::GetBasicProxyCredentials() const {
    std::string value = GetProxyAuthorization();
    if (!StartsWithNoCase(value, "basic "))
        return std::string();
    std::string_view encoded = TrimControlsAndSpace(std::string_view(value).substr(6));
    auto decoded = Base64Decode(encoded);
    return decoded ? *decoded : std::string();
}

// ---- ThttpResponse --------------------------------------------------------------------------

bool ComputeRange(int64_t first, int64_t last, int64_t size, int64_t& offset, int64_t& length) {
    offset = 0;
    length = 0;
    if (size < 0 || (first < 0 && last < 0))
        return false;
    if (first < 0) {
        length = std::min(last, size);
        offset = size - length;
    } else if (last < 0) {
        offset = first;
        length = std::max<int64_t>(size - first, 0);
    } else if (first < size && last >= first) {
        offset = first;
        length = std::min(last, size - 1) - first + 1;
    }
    if (length <= 0) {
        offset = 0;
        length = 0;
        return false;
    }
    return true;
}

ThttpResponse::ThttpResponse(int statusCode, std::string_view reasonPhrase,
                             std::string_view protocol, int majorVersion, int minorVersion,
                             std::unique_ptr<THeader> header, std::string_view content)
    : FReasonPhrase(reasonPhrase) {
    SetStatusCode(statusCode);
    SetParts(protocol, majorVersion, minorVersion, std::move(header), content);
}

std::unique_ptr<ThttpResponse> ThttpResponse::CreateFromStartLine(std::string_view startLine) {
    return CreateFrom<ThttpResponse>(startLine);
}

std::unique_ptr<AhttpMessage> ThttpResponse::CreateInstance() const {
    return std::make_unique<ThttpResponse>();
}

std::string ThttpResponse::BuildStartLine() {
    return VersionText() + " " + std::to_string(FStatusCode) + " " +
           (FReasonPhrase.empty() ? HTTPStatusText(FStatusCode) : FReasonPhrase);
}

void ThttpResponse::ParseStartLine(std::string_view line) {
    line = TrimControlsAndSpace(line);
    size_t space = line.find(' ');
    ParseVersionText(line.substr(0, space));
    std::string_view rest = space == std::string_view::npos
                                ? std::string_view()
                                : TrimControlsAndSpace(line.substr(space + 1));
    size_t codeEnd = rest.find(' ');
    FReasonPhrase = codeEnd == std::string_view::npos
                        ? std::string_view()
                        : TrimControlsAndSpace(rest.substr(codeEnd + 1));
    SetStatusCode(ParseSmallNumber(rest.substr(0, codeEnd)));
    // Setters mark the line stale; the line just parsed is the current one.
    FStartLineValid = true;
}

void ThttpResponse::InitDefaults() {
    AhttpMessage::InitDefaults();
    FStatusCode = 200;
    FReasonPhrase.clear();
    RangeStart = RangeEnd = -1;
    RangeAsSent = false;
    RequestMethod.clear();
}

bool ThttpResponse::HasNoBody() const {
    return EqualNoCase(RequestMethod, "HEAD") ||
           (EqualNoCase(RequestMethod, "CONNECT") && IsSuccess()) ||
           (FStatusCode >= 100 && FStatusCode <= 199) ||
           FStatusCode == 204 || FStatusCode == 304;
}

bool ThttpResponse::ServedRange(int64_t& offset, int64_t& length) {
    if (FStatusCode != 206 || (RangeStart < 0 && RangeEnd < 0))
        return false;
    return ComputeRange(RangeStart, RangeEnd, AhttpMessage::GetContentSize(), offset, length);
}

void ThttpResponse::Prepare() {
    AhttpMessage::Prepare();
    if ((FStatusCode >= 100 && FStatusCode <= 199) || FStatusCode == 204 || FStatusCode == 304) {
        GetHeader().RemoveFields("Content-Length");
        GetHeader().RemoveFields("Transfer-Encoding");
        IncludeContent = false;
    }
    if (IncludeContent) {
        int64_t offset = 0, length = 0;
        bool served = ServedRange(offset, length);
        if (FStatusCode == 206 && !served && !RangeAsSent) {
            // Nothing servable (or a size that cannot be told): the whole body instead.
            SetStatusCode(200);
            FReasonPhrase.clear();
            RangeStart = RangeEnd = -1;
        }
        if (served) {
            int64_t size = AhttpMessage::GetContentSize();
            GetHeader().SetFieldBody("Content-Range", "bytes " + std::to_string(offset) + "-" +
                                                          std::to_string(offset + length - 1) +
                                                          "/" + std::to_string(size));
            SetContentLength(length);
        } else if (!IsChunked() && GetContentSize() > 0) {
            SetContentLength(GetContentSize());
        }
    }
    if (OnAfterPrepare)
        OnAfterPrepare(*this);
}

void ThttpResponse::Assign(const AhttpMessage* prototype) {
    AhttpMessage::Assign(prototype);
    if (auto* r = dynamic_cast<const ThttpResponse*>(prototype)) {
        FStatusCode = r->FStatusCode;
        FReasonPhrase = r->FReasonPhrase;
        RangeStart = r->RangeStart;
        RangeEnd = r->RangeEnd;
        RangeAsSent = r->RangeAsSent;
        RequestMethod = r->RequestMethod;
    }
}

std::unique_ptr<ThttpResponse> ThttpResponse::DuplicateResponse() const {
    return DuplicateAs<ThttpResponse>(*this);
}

int64_t ThttpResponse::GetContentSize() {
    int64_t offset, length;
    if (ServedRange(offset, length))
        return length;
    return AhttpMessage::GetContentSize();
}

int64_t ThttpResponse::WriteContent(AWriter& writer, const TCopyProgress& progress) {
    int64_t offset, length;
    if (!IncludeContent || !ServedRange(offset, length))
        return AhttpMessage::WriteContent(writer, progress);
    int64_t written;
    if (FContentCached) {
        WriteAll(writer, FContent.data() + offset, length);
        written = length;
    } else {
        AReaderEx* stream = GetContentStream();
        char block[kStreamBlockSize];
        for (int64_t skip = offset; skip > 0;) {
            int n = stream->Read(block, int(std::min<int64_t>(skip, kStreamBlockSize)));
            if (n <= 0)
                throw EReader("Read error");
            skip -= n;
        }
        TReaderProxy slice(stream, false, length);
        written = CopyReaderToWriter(&slice, &writer, kStreamBlockSize, progress);
    }
    if (OnContentWritten)
        OnContentWritten(*this);
    return written;
}

void ThttpResponse::SetStatusCode(int code) {
    FStatusCode = code;
    AutoDate = !(code >= 100 && code <= 199);
    InvalidateStartLine();
}

void ThttpResponse::SetReasonPhrase(std::string_view value) {
    FReasonPhrase = value;
    InvalidateStartLine();
}

void ThttpResponse::SetServer(std::string_view name) {
    GetHeader().SetFieldBody("Server", name.empty() ? std::string(kServerProduct)
                                                    : std::string(name) + " " + kServerProduct);
}

std::string ThttpResponse::GetServer() const {
    return FHeader ? FHeader->GetFieldBody("Server") : std::string();
}

void ThttpResponse::SetProxyAuthenticate(std::string_view value) {
    GetHeader().SetFieldBody("Proxy-Authenticate", value);
}

void ThttpResponse::SetRequest(const ThttpRequest& request) {
    RequestMethod = request.GetMethod();
    if (!request.IsHTTP())
        return;
    SetProtocol("HTTP");
    SetMajorVersion(1);
    SetMinorVersion(request.IsHTTP10OrEarlier() ? 0 : 1);
}

// ---- body readers ---------------------------------------------------------------------------

ThttpSizedContentReader::ThttpSizedContentReader(AReaderEx* reader, int64_t size)
    : TReaderProxy(reader, false, size < 0 ? 0 : size) {}

int ThttpSizedContentReader::Read(void* buffer, int count) {
    int64_t left = Remaining();
    if (count <= 0 || left == 0)
        return 0;
    int n = TReaderProxy::Read(buffer, count);
    if (n <= 0)
        throw EReader("Read error");
    return n;
}

bool ThttpSizedContentReader::IsEOF() {
    return Remaining() == 0;
}

ThttpChunkedContentReader::ThttpChunkedContentReader(AReaderEx* reader, bool raw)
    : FReader(reader), FRaw(raw) {
    if (!FReader)
        throw EReader("Invalid reader");
}

void ThttpChunkedContentReader::SetPosition(int64_t position) {
    if (position != FPosition)
        throw EReader("SetPosition failed");
}

int64_t ThttpChunkedContentReader::GetSize() {
    return IsEOF() ? FPosition : -1;
}

bool ThttpChunkedContentReader::IsEOF() {
    return FLastChunk && FFramingPos >= FFraming.size();
}

std::string ThttpChunkedContentReader::ReadLine() {
    std::string line;
    try {
        line = ReadLimitedLine(*FReader, kMaxChunkLineLength);
    } catch (const EChunkedContentReader&) {
        throw;
    } catch (const EReader& e) {
        throw EChunkedContentReader(JoinMessage("Chunked content", e.Message()));
    }
    // Raw mode passes the line on as it came: a receiver that ends lines at a bare CR or LF
    // (or stops at a NUL) would frame the chunks differently from us.
    if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
        throw EChunkedContentReader("Line break or NUL inside a chunk line");
    if (FRaw) {
        FFraming += line;
        FFraming += "\r\n";
    }
    return line;
}

void ThttpChunkedContentReader::ReadChunkHeader() {
    std::string line = ReadLine();
    std::string_view size = TrimControlsAndSpace(std::string_view(line).substr(0, line.find(';')));
    auto value = ParseHex(size);
    if (!value || *value > uint64_t(std::numeric_limits<int64_t>::max()))
        throw EChunkedContentReader("Invalid hexadecimal string");
    FChunkSize = int64_t(*value);
    FChunkRead = 0;
    if (FChunkSize != 0)
        return;
    FLastChunk = true;
    while (!FReader->IsEOF()) {
        std::string trailer = ReadLine();
        if (trailer.empty())
            break;
        FTrailerSize += int64_t(trailer.size()) + 2;
        if (FTrailerSize > kMaxTrailerSize)
            throw EChunkedContentReader("Trailer too large");
        FTrailer.push_back(std::move(trailer));
    }
}

int ThttpChunkedContentReader::Read(void* buffer, int count) {
    char* out = static_cast<char*>(buffer);
    int delivered = 0;
    while (delivered < count) {
        if (FFramingPos < FFraming.size()) {
            size_t n = std::min(FFraming.size() - FFramingPos, size_t(count - delivered));
            std::memcpy(out + delivered, FFraming.data() + FFramingPos, n);
            FFramingPos += n;
            delivered += int(n);
            FPosition += int64_t(n);
            if (FFramingPos == FFraming.size()) {
                FFraming.clear();
                FFramingPos = 0;
            }
            continue;
        }
        if (!FStarted) {
            FStarted = true;
            ReadChunkHeader();
            continue;
        }
        if (FLastChunk)
            break;
        if (FChunkRead < FChunkSize) {
            int want = int(std::min<int64_t>(count - delivered, FChunkSize - FChunkRead));
            int n = FReader->Read(out + delivered, want);
            if (n <= 0)
                throw EChunkedContentReader("Stream read error");
            delivered += n;
            FChunkRead += n;
            FPosition += n;
            continue;
        }
        // The chunk's data is complete: hand out what we have before waiting for more.
        if (delivered > 0)
            break;
        if (!ReadLine().empty())
            throw EChunkedContentReader("Chunk data longer than its size");
        ReadChunkHeader();
    }
    return delivered;
}

// ---- texts and helpers ----------------------------------------------------------------------

bool IsToken(std::string_view text) {
    static constexpr std::string_view kMarks = "!#$%&'*+-.^_`|~";
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || kMarks.find(c) != kMarks.npos;
    });
}

void CheckRequestLine(std::string_view line) {
    if (line.find_first_of("\r\n") != std::string_view::npos)
        Malformed("bare CR or LF in the request line");
    std::string text = ReplaceBareLineBreaks(line);
    for (char c : text)
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            Malformed("control character in the request line");
    std::vector<std::string_view> words;
    std::string_view rest = text;
    while (!rest.empty()) {
        size_t start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos)
            break;
        rest = rest.substr(start);
        size_t end = std::min(rest.find(' '), rest.size());
        words.push_back(rest.substr(0, end));
        rest = rest.substr(end);
    }
    auto isVersion = [](std::string_view v) {
        size_t slash = v.find('/');
        if (slash == std::string_view::npos || !IsToken(v.substr(0, slash)))
            return false;
        std::string_view number = v.substr(slash + 1);
        size_t dot = number.find('.');
        auto digits = [](std::string_view d) {
            return !d.empty() && std::all_of(d.begin(), d.end(), [](char c) {
                return c >= '0' && c <= '9';
            });
        };
        return dot != std::string_view::npos && digits(number.substr(0, dot)) &&
               digits(number.substr(dot + 1));
    };
    if (words.size() < 2 || words.size() > 3 || (words.size() == 3 && !isVersion(words[2])))
        Malformed("request target with blanks, or not a request line");
    if (!IsToken(words[0]))
        Malformed("invalid method");
}

void CheckFieldNames(const THeader& header) {
    for (int i = 0; i < header.FieldCount(); ++i) {
        AHeaderField* field = header.Fields(i);
        if (!dynamic_cast<TInvalidField*>(field) && !IsToken(field->GetName()))
            Malformed("invalid header field name");
    }
}

std::string HTTPStatusText(int code) {
    static const struct {
        int Code;
        const char* Text;
    } kTexts[] = {
        {100, "Continue"},
        {101, "Switching Protocols"},
        {200, "OK"},
        {201, "Created"},
        {202, "Accepted"},
        {203, "Non-Authoritative Information"},
        {204, "No Content"},
        {205, "Reset Content"},
        {206, "Partial Content"},
        {300, "Multiple Choices"},
        {301, "Moved Permanently"},
        {302, "Found"},
        {303, "See Other"},
        {304, "Not modified"},
        {305, "Use Proxy"},
        {306, "Reserved"},
        {307, "Temporary Redirect"},
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {402, "Payment Required"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Found"},
        {406, "Not Acceptable"},
        {407, "Proxy Authentication Required"},
        {408, "Request Timeout"},
        {409, "Conflict"},
        {410, "Gone"},
        {411, "Length Required"},
        {412, "Precondition Failed"},
        {413, "Request Entity Too Large"},
        {414, "Request-URI Too Long"},
        {415, "Unsupported Media Type"},
        {416, "Requested Range Not Satisfiable"},
        {417, "Expectation Failed"},
        {500, "Internal Server Error"},
        {501, "Not Implemented"},
        {502, "Bad Gateway"},
        {503, "Service Unavailable"},
        {504, "Gateway Timeout"},
        {505, "HTTP Version Not Supported"},
    };
    for (const auto& t : kTexts)
        if (t.Code == code)
            return t.Text;
    return std::string();
}

bool IsKnownMethod(std::string_view method) {
    for (std::string_view m : {"GET", "PUT", "POST", "HEAD", "CONNECT", "DELETE"})
        if (method == m)
            return true;
    return false;
}

std::unique_ptr<ThttpResponse> CreateHtmlResponse(int statusCode, std::string_view reasonPhrase,
                                                  std::string_view html) {
    auto r = std::make_unique<ThttpResponse>(statusCode, reasonPhrase, "HTTP", 1, 1);
    r->SetContentString(html);
    r->GetHeader().SetFieldBody("Content-Type", "text/html");
    r->GetHeader().AddField("Pragma", "no-cache");
    return r;
}

std::string HtmlErrorPage(std::string_view title, std::string_view message,
                          std::string_view details, std::string_view serverName) {
    std::string t(title);
    std::string r = "<HTML><HEAD>\r\n<TITLE>" + t + "</TITLE>\r\n</HEAD><BODY>\r\n";
    r += "<H1>" + t + "</H1>\r\n";
    r += "<B>" + std::string(message) + "\r\n<BR><BR><PRE>\r\n" + std::string(details) +
         "\r\n</PRE><BR><HR>\r\n";
    r += "<FONT SIZE=2>Generated " + FormatRFC1123Date(NowAsGMTDateTime()) + " by " +
         (serverName.empty() ? std::string(kServerProduct) : std::string(serverName)) +
         ".</FONT>\r\n";
    r += "</BODY></HTML>\r\n";
    return r;
}

std::string AddViaEntry(std::string_view via, std::string_view receivedBy,
                        std::string_view protocol, int major, int minor, std::string_view comment) {
    std::string r(via);
    if (!r.empty())
        r += ", ";
    if (!EqualNoCase(protocol, "HTTP")) {
        r += protocol;
        r += "/";
    }
    r += std::to_string(major) + "." + std::to_string(minor) + " ";
    // A host there is a uri-host (RFC 9110 section 7.6.3): an IPv6 literal goes in brackets.
    bool bare6 = receivedBy.find(':') != std::string_view::npos && receivedBy.front() != '[';
    r += bare6 ? JoinHostPort(receivedBy, "") : std::string(receivedBy);
    if (!comment.empty())
        r += " (" + std::string(comment) + ")";
    return r;
}

std::string AddForwardedFor(std::string_view value, std::string_view address) {
    if (value.empty())
        return std::string(address);
    return std::string(value) + "," + std::string(address);
}

bool IsLoopbackOrAnyText(std::string_view address) {
    if (address == "127.0.0.1" || address == "0.0.0.0")
        return true;
    TSocketAddr addr;
    if (address.find(':') == std::string_view::npos || !IsIPLiteral(std::string(address), addr) ||
        addr.AddrFamily != TIPAddressFamily::iaIP6)
        return false;
    std::array<uint8_t, 16> loopback{};
    loopback[15] = 1;
    return addr.Addr == loopback || addr.Addr == std::array<uint8_t, 16>{};
}

} // namespace corvan
