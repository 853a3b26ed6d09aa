// libFuzzer target: the chunked body reader, raw and decoded, over the whole buffer and over a
// reader that hands out one byte per call. Both must give the same bytes and trailers, or the
// same error;
// raw mode must reproduce the input it consumed byte for byte.
// fuzz-sources: src/http/Streams.cpp src/http/HTTP.cpp src/http/HTTPMessage.cpp src/http/URL.cpp
// src/util/Strings.cpp Build: clang++ -std=c++20 -fsanitize=fuzzer,address,undefined -Isrc
// fuzz/http_chunked_fuzz.cpp <sources>

#include "http/HTTPMessage.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace corvan;

namespace {

// One byte per Read, size unknown: the worst split a socket can produce.
class TOneByteReader : public AReaderEx {
public:
    explicit TOneByteReader(const std::string& data) : FData(data) {}
    int64_t GetPosition() override { return FPosition; }
    void SetPosition(int64_t position) override {
        if (position < 0 || position > int64_t(FData.size()))
            throw EReader("Seek error");
        FPosition = position;
    }
    int64_t GetSize() override { return -1; }
    int Read(void* buffer, int count) override {
        if (count <= 0 || FPosition >= int64_t(FData.size()))
            return 0;
        std::memcpy(buffer, FData.data() + FPosition, 1);
        ++FPosition;
        return 1;
    }
    bool IsEOF() override { return FPosition >= int64_t(FData.size()); }

private:
    const std::string& FData;
    int64_t FPosition = 0;
};

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
        TOneByteReader bytes(input);
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
