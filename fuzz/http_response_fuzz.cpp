// libFuzzer target: the response side as the HTTP client reads it (status line with interim
// answers skipped, header in block or line mode, body framing sized, chunked raw or decoded,
// or until the end). The first input byte picks the options, the method and text or stream;
// the rest is the response. Read over the whole buffer and over a reader that hands out one
// byte per call, the outcome (status, header, body, or the error) must be the same.
//
// Built by fuzz/CMakeLists.txt (fuzz/run.sh); by hand it needs -Isrc and the util and http
// sources.

#include "http/HTTPClient.h"

// Found next to this file whatever the include path; it needs only -Isrc itself.
#include "../tests/support/ScriptedReader.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace corvan;

namespace {

struct Outcome {
    int Status = 0;
    std::string Header;
    std::string Body;
    std::string Error;
    bool operator==(const Outcome&) const = default;
};

Outcome Read(AReaderEx& source, uint8_t options, const char* method, bool asStream) {
    Outcome o;
    try {
        auto response = ReadHttpResponse(source, method, options, asStream);
        o.Status = response->GetStatusCode();
        o.Header = response->GetHeader().GetAsString();
        o.Body = asStream ? response->GetContentStream()->GetToEnd() : response->GetContentString();
    } catch (const Exception& e) {
        o.Error = e.what();
        o.Body.clear();
    }
    return o;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    uint8_t control = data[0];
    uint8_t options = control & (hcoRawChunked | hcoLineModeHeader);
    const char* method = (control & 4) ? "HEAD" : "GET";
    bool asStream = (control & 8) != 0;
    std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);

    TStringReader whole(bytes);
    Outcome a = Read(whole, options, method, asStream);
    corvan::test::TScriptedReader trickle(bytes, 1);
    Outcome b = Read(trickle, options, method, asStream);
    if (!(a == b))
        std::abort();
    // A body never holds more than was received.
    if (a.Body.size() > bytes.size())
        std::abort();
    return 0;
}
