#pragma once
// A reader over canned bytes that hands out at most a fixed number of bytes per Read and
// cannot tell its size, like a socket reader: protocol code tested on it must cope with
// reads split across calls.

#include "util/Streams.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace corvan::test {

class TScriptedReader : public AReaderEx {
public:
    TScriptedReader(std::string data, int bytesPerRead)
        : FData(std::move(data)), FStep(bytesPerRead) {}
    int64_t GetPosition() override { return FPosition; }
    void SetPosition(int64_t position) override {
        if (position < 0 || position > int64_t(FData.size()))
            throw EReader("Seek error");
        FPosition = position;
    }
    int64_t GetSize() override { return -1; }
    int Read(void* buffer, int count) override {
        int n = int(
            std::min<int64_t>({int64_t(count), int64_t(FStep), int64_t(FData.size()) - FPosition}));
        if (n <= 0)
            return 0;
        std::memcpy(buffer, FData.data() + FPosition, size_t(n));
        FPosition += n;
        ++ReadCalls;
        return n;
    }
    bool IsEOF() override { return FPosition >= int64_t(FData.size()); }
    int ReadCalls = 0;

private:
    std::string FData;
    int FStep;
    int64_t FPosition = 0;
};

} // namespace corvan::test
