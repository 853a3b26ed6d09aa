// libFuzzer target: the chunked body reader, raw and decoded, over the whole buffer and over a
// reader that hands out one byte per call. Both must give the same bytes and trailers, or the
// same error; raw mode must reproduce the input it consumed byte for byte.
//
// Sources it needs (with -Isrc):
//   src/util/Streams.cpp src/http/HTTP.cpp src/http/HTTPMessage.cpp src/http/URL.cpp
//   src/util/Strings.cpp
// Build by hand:
//   clang++ -std=c++20 -fsanitize=fuzzer,address,undefined -Isrc fuzz/http_chunked_fuzz.cpp
//   <sources>

#include "http/HTTPMessage.h"

// Found next to this file whatever the include path; it needs only -Isrc itself.
#include "../tests/support/ScriptedReader.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace corvan;

namespace {

struct Result {
    std::string Output;
    std::vector<std::string> Trailer;
    std::string Error;
    int64_t Consumed = 0;
    bool operator==(const Result&) const = default;
};

Result Decode(AReaderEx& source, bool raw, int block) {
    Result r;
    ThttpChunkedContentReader reader(&source, raw);
    std::string buffer(size_t(block), '\0');
    try {
        while (!reader.IsEOF()) {
            int n = reader.Read(buffer.data(), block);
            if (n < 0 || n > block)
                std::abort();
            if (n == 0) {
                if (reader.IsEOF())
                    break;
                r.Error = "stalled";
                break;
            }
            r.Output.append(buffer.data(), size_t(n));
            if (r.Output.size() > (1u << 22))
                std::abort(); // more out than could have come in
        }
    } catch (const EReader& e) {
        r.Error = e.what();
    }
    r.Trailer = reader.Trailer();
    r.Consumed = source.GetPosition();
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    for (bool raw : {false, true}) {
        TStringReader whole(input);
        Result a = Decode(whole, raw, 2048);
        test::TScriptedReader bytes(input, 1); // one byte per Read: the worst split
        Result b = Decode(bytes, raw, 3);
        // On an error the bytes handed out before it depend on the block size; the error
        // itself must not.
        if (a.Error != b.Error || (a.Error.empty() && !(a == b)))
            std::abort();
        if (a.Error.empty()) {
            if (raw && a.Output != input.substr(0, size_t(a.Consumed)))
                std::abort();
            if (!raw && a.Output.size() > size_t(a.Consumed))
                std::abort();
        }
    }
    return 0;
}
