// Fuzzes the SOCKS server's request parsing (and, on the same bytes, the SOCKS5 client's
// reply negotiator). Needs: src/proxy/SocksUtils.cpp src/net/Socks.cpp
// Build by hand:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc \
//       fuzz/socks_request_fuzz.cpp src/proxy/SocksUtils.cpp src/net/Socks.cpp -o socks_fuzz
//
// First input byte: bit 0 RejectSocks4, bit 1 RequireLogin, bit 2 logins accepted, bits 3-7
// the chunk size (plus 1) in which the client negotiator receives the bytes. The rest is what
// a SOCKS client (for the server) or a SOCKS5 server (for the client negotiator) sends.

#include "net/Socks.h"
#include "proxy/SocksUtils.h"

#include <cstdlib>
#include <string>
#include <string_view>

using namespace corvan;

namespace {

struct ShortRead {};

void Check(bool condition) {
    if (!condition)
        std::abort();
}

void FuzzServer(std::string_view input, uint8_t flags) {
    size_t position = 0;
    std::string written;
    TSocksServerIO io;
    io.ReadExact = [&](size_t count) {
        Check(count >= 1 && count <= 255);
        if (input.size() - position < count)
            throw ShortRead{};
        std::string bytes(input.substr(position, count));
        position += count;
        return bytes;
    };
    io.Write = [&](const std::string& bytes) { written += bytes; };
    TSocksServerOptions options;
    options.RejectSocks4 = flags & 1;
    options.RequireLogin = flags & 2;
    bool accept = flags & 4;
    TSocksAuthenticate authenticate = [&](const std::string& user, const std::string& password) {
        Check(user.size() <= 255 && password.size() <= 255);
        return accept;
    };
    try {
        auto request = NegotiateSocksRequest(io, options, authenticate);
        if (request) {
            Check(request->Version == 4 || request->Version == 5);
            Check(request->Destination.Host.empty() || request->Destination.Addr == 0);
            Check(request->Destination.Host.size() <= 255);
            Check(!(options.RequireLogin && request->Version == 4));
            Check(!options.RejectSocks4 || request->Version == 5);
        }
    } catch (const ShortRead&) {
    } catch (const ESocks&) {
        Check(written.empty()); // over-long SOCKS4 strings close without a reply
    }
    // Method answer, login status and one 10-byte reply at most.
    Check(written.size() <= 2 + 2 + 10);
}

void FuzzClient(std::string_view input, size_t chunk) {
    TSocks5Negotiator negotiator(true, "user", "password", {0, "example.com", 443});
    negotiator.Start();
    std::string buffer;
    size_t consumed = 0;
    try {
        for (size_t offset = 0; offset <= input.size(); offset += chunk) {
            buffer.append(input.substr(offset, chunk));
            TSocks5Progress p = negotiator.Process(buffer);
            Check(p.Consumed <= buffer.size());
            buffer.erase(0, p.Consumed);
            consumed += p.Consumed;
            if (p.Outcome == TSocks5Progress::NeedMore)
                Check(p.Needed > buffer.size());
            else if (p.Outcome == TSocks5Progress::Failed)
                Check(p.Send.empty() && p.ErrorCode != 0);
            else
                break;
        }
    } catch (const ESocks&) {
        Check(negotiator.Phase() == TSocks5Phase::Failed);
    }
    // Method reply, login status and the largest CONNECT reply at most.
    Check(consumed <= 2 + 2 + kSocks5MaxReplyLength);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    FuzzServer(input, data[0]);
    FuzzClient(input, size_t(data[0] >> 3) + 1);
    return 0;
}
