#include "http/HTTPClient.h"

#include "net/SocketLib.h"
#include "net/EventLoop.h"
#include "util/Strings.h"

#include <utility>

namespace corvan {

namespace {

// "HTTP/" digits "." digits, a blank, three digits; the rest (the reason) is free.
bool IsStatusLine(std::string_view line) {
    if (!StartsWithNoCase(line, "HTTP/"))
        return false;
    size_t pos = 5;
    auto digits = [&] {
        size_t start = pos;
        while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9')
            ++pos;
        return pos > start;
    };
    if (!digits() || pos >= line.size() || line[pos] != '.')
        return false;
    ++pos;
    if (!digits() || pos >= line.size() || line[pos] != ' ')
        return false;
    ++pos;
    size_t codeStart = pos;
    if (!digits() || pos - codeStart != 3)
        return false;
    return pos == line.size() || line[pos] == ' ';
}

} // namespace

std::unique_ptr<ThttpResponse> ReadHttpResponseHead(AReaderEx& reader, bool lineModeHeader) {
    for (int interim = 0;; ++interim) {
        std::string line;
        try {
            line = ReadLimitedLine(reader, kHttpMaxStatusLineLength);
        } catch (const EhttpHeaderLimit&) {
            throw EhttpClient("Status line too long");
        }
        if (!IsStatusLine(line))
            throw EhttpClient("Invalid status line");
        auto response = ThttpResponse::CreateFromStartLine(line);
        auto header = std::make_unique<THeader>();
        header->ReadFromReader(reader, lineModeHeader, -1);
        response->SetHeader(std::move(header));
        int code = response->GetStatusCode();
        // An interim answer (100 Continue, 102 Processing, 103 Early Hints) is followed by the
        // real one; 101 ends HTTP on this connection and is final.
        if (code >= 200 || code == 101)
            return response;
        if (interim >= kHttpMaxInterimResponses)
            throw EhttpClient("Too many interim responses");
    }
}

std::unique_ptr<ThttpResponse> ReadHttpResponse(AReaderEx& reader, std::string_view requestMethod,
                                                uint8_t options, bool asStream) {
    auto response = ReadHttpResponseHead(reader, (options & hcoLineModeHeader) != 0);
    response->RequestMethod = std::string(requestMethod);
    if (!EqualNoCase(requestMethod, "HEAD"))
        response->ReadContent(reader, asStream, (options & hcoRawChunked) != 0);
    return response;
}

// --- ThttpClient ------------------------------------------------------------------------------

ThttpClient::ThttpClient() {
    SetPort("80");
    SetStreamMode(smBlockWaitMessage);
}

ThttpClient::~ThttpClient() {
    // The response's body stream reads from the connection: it goes first.
    FResponse.reset();
}

void ThttpClient::SetRequest(std::unique_ptr<ThttpRequest> request) {
    FOwnedRequest = std::move(request);
    FRequest = FOwnedRequest.get();
}

void ThttpClient::SetRequestRef(ThttpRequest* request) {
    FOwnedRequest.reset();
    FRequest = request;
}

void ThttpClient::SetSynchronous(bool value) {
    if (!value)
        throw EhttpClient("Asynchronous mode not supported");
}

void ThttpClient::ExecuteRequest() {
    if (!FRequest)
        throw EhttpClient("No request assigned");
    if (StreamMode() == smAsynchronous)
        throw EhttpClient("Asynchronous mode not supported");
    FResponse.reset();
    DoConnect();
    // Header and a large body are separate writes, as are the next hop's answers relayed here
    // in blocks: none of them may wait for the peer's delayed acknowledgement.
    if (TSocketHandle handle = GetStream()->Socket()->SocketHandle();
        handle != INVALID_SOCKETHANDLE)
        SocketSetNoDelay(handle, true);

    ThttpRequest& request = *FRequest;
    if (!Host().empty()) {
        bool defaultPort = Port().empty() || Port() == "80";
        // Host names the port unless it is the default (RFC 9110 section 7.2).
        request.SetHost(JoinHostPort(Host(), defaultPort ? "" : Port()));
    }
    if (!Port().empty())
        request.SetPort(Port());
    if (!UserAgent.empty())
        request.SetUserAgent(UserAgent);
    if (ConnectionMode != 0)
        request.ConnectionMode = ConnectionMode;

    TSocketStream& stream = *GetStream();
    request.Prepare();
    if (OnRequestPrepared)
        OnRequestPrepared(this);
    WriteMessage(request, stream.Writer());
    if (OnHeaderSent)
        OnHeaderSent(this);
    if (OnContentSent)
        OnContentSent(this);

    FResponse = ReadHttpResponse(stream.Reader(), request.GetMethod(), Options,
                                 ContentMode != hcmText);
    if (OnResponseLine)
        OnResponseLine(this);
    if (OnResponseHeader)
        OnResponseHeader(this);

    if (ContentMode == hcmFile && !ContentFileName.empty())
        SaveContentToFile();
    else if (ContentMode == hcmBlocks)
        DeliverContentBlocks();
    if (ContentMode != hcmStream) {
        Close();
        if (OnResponseComplete)
            OnResponseComplete(this);
    }
}

void ThttpClient::SaveContentToFile() {
    TFileWriter writer(ContentFileName, fwomCreate);
    try {
        CopyReaderToWriter(FResponse->GetContentStream(), &writer, kStreamBlockSize);
        writer.Close();
    } catch (...) {
        // A partial download must not look like a complete one.
        writer.DeleteFile();
        FResponse.reset();
        throw;
    }
}

void ThttpClient::DeliverContentBlocks() {
    try {
        AReaderEx* body = FResponse->GetContentStream();
        char block[kHttpContentBlockSize];
        while (!body->IsEOF()) {
            int count = body->Read(block, kHttpContentBlockSize);
            if (count <= 0)
                throw EReader("Read error");
            bool stop = false;
            if (OnContentData)
                OnContentData(this, block, count, stop);
            if (OnSyncContentData && !stop)
                TMessageLoop::Main().RunSynchronous(
                    [&] { OnSyncContentData(this, block, count, stop); });
            if (stop)
                throw EhttpClient("Aborted");
        }
    } catch (...) {
        FResponse.reset();
        throw;
    }
}

} // namespace corvan
