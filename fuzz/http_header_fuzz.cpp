// libFuzzer target: HTTP start lines and header blocks, in line and block mode, the server's
// checks of a request head, then the body-length decision and a text body read.
//
// Sources it needs (with -Isrc):
//   src/util/Streams.cpp src/http/HTTP.cpp src/http/HTTPMessage.cpp src/http/URL.cpp
//   src/util/Strings.cpp
// Build by hand:
//   clang++ -std=c++20 -fsanitize=fuzzer,address,undefined -Isrc fuzz/http_header_fuzz.cpp
//   <sources>

#include "http/HTTPMessage.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace corvan;

namespace {

// The server's checks of a request head; a refusal is an exception of the system's own.
void CheckRequestHead(const std::string& startLine, const THeader& header) {
    try {
        CheckRequestLine(startLine);
        CheckFieldNames(header);
    } catch (const Exception&) {
    }
}

void ParseAs(const std::string& data, bool request, bool lineMode) {
    TStringReader reader(data);
    try {
        std::string startLine = reader.ExtractLine(4096, ltCRLF);
        std::unique_ptr<AhttpMessage> message;
        if (request)
            message = ThttpRequest::CreateFromStartLine(startLine);
        else
            message = ThttpResponse::CreateFromStartLine(startLine);
        message->MaxContentTextSize = 1 << 16;
        message->GetHeader().ReadFromReader(reader, lineMode, -1);
        if (request)
            CheckRequestHead(startLine, message->GetHeader());
        // Rebuilding and re-parsing the text form must not fail either.
        std::string text = message->GetHeaderString();
        message->IsContentUntilClose();
        message->ReadContent(reader, false, !lineMode);
        message->GetContentString();
        if (auto* r = dynamic_cast<ThttpRequest*>(message.get())) {
            int64_t first, last;
            r->GetRange(first, last);
            r->GetBasicProxyCredentials();
            r->SetUseProxyForm(true);
            r->GetStartLine();
        }
        auto copy = message->Duplicate();
        copy->SetAsString(text);
        copy->GetAsString();
    } catch (const Exception&) {
        // Every refusal is an exception of the system's own; anything else escapes and fails.
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    ParseAs(input, true, true);
    ParseAs(input, false, true);
    ParseAs(input, false, false);
    THeader header;
    header.SetAsString(input);
    // A parsed header prints and parses back to the same lines.
    std::string printed = header.GetAsString();
    THeader again;
    again.SetAsString(printed.substr(0, printed.size() - 2));
    if (again.GetAsString() != printed && printed.find('\0') == std::string::npos) {
        // Folded lines join into one body and control bytes are trimmed, so only check that
        // a second round is stable.
        THeader third;
        std::string second = again.GetAsString();
        third.SetAsString(second.substr(0, second.size() - 2));
        if (third.GetAsString() != second)
            std::abort();
    }
    return 0;
}
