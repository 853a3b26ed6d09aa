#pragma once
// A DNS server scripted by the test, on 127.0.0.1 with a system-assigned port, served by a
// thread of its own: each query that arrives is recorded with its sender and handed to the
// script, whose replies are sent back in order (from the server's port, or from a second
// socket when a reply asks for another port; to the query's sender unless the reply names
// another destination). Ends its thread when destroyed.

#include "dns/DNSServer.h"
#include "support/NetTestSupport.h"
#include "util/Ticks.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace corvan::test {

struct TDNSReply {
    TDNSReply(std::string data, bool fromOtherPort = false, TSocketAddr to = {})
        : Data(std::move(data)), FromOtherPort(fromOtherPort), To(to) {}
    std::string Data;
    bool FromOtherPort = false;
    TSocketAddr To; // port 0: to the sender of the query
};

struct TReceivedQuery {
    TdnsServerQuery Query;
    int64_t At = 0; // MonotonicMillis
    TSocketAddr From;
};

class TScriptedDNSServer {
public:
    using TScript = std::function<std::vector<TDNSReply>(const TdnsServerQuery& query)>;

    explicit TScriptedDNSServer(TScript script) : FScript(std::move(script)) {
        FSocket = BindLoopback(TIPProtocol::ipUDP, FPort);
        uint16_t otherPort;
        FOther = BindLoopback(TIPProtocol::ipUDP, otherPort);
        FThread = std::thread([this] { Serve(); });
    }
    ~TScriptedDNSServer() {
        FStop = true;
        FThread.join();
        SocketClose(FSocket);
        SocketClose(FOther);
    }
    uint16_t Port() const { return FPort; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(FPort); }
    std::vector<TReceivedQuery> Queries() const {
        std::lock_guard<std::mutex> lock(FLock);
        return FQueries;
    }
    size_t QueryCount() const {
        std::lock_guard<std::mutex> lock(FLock);
        return FQueries.size();
    }

private:
    void Serve() {
        char buf[4096];
        while (!FStop) {
            pollfd p{FSocket, POLLIN, 0};
            if (::poll(&p, 1, 20) != 1)
                continue;
            TSocketAddr from;
            bool truncated = false;
            long n = SocketRecvFrom(FSocket, buf, sizeof buf, &from, &truncated);
            if (n <= 0)
                continue;
            TdnsServerQuery q;
            try {
                q = DNSParseServerQuery(std::string_view(buf, size_t(n)));
            } catch (const EdnsError&) {
                continue;
            }
            {
                std::lock_guard<std::mutex> lock(FLock);
                FQueries.push_back({q, MonotonicMillis(), from});
            }
            for (const TDNSReply& r : FScript(q))
                SocketSendTo(r.FromOtherPort ? FOther : FSocket, r.Data.data(), r.Data.size(),
                             r.To.Port != 0 ? r.To : from);
        }
    }

    TScript FScript;
    TSocketHandle FSocket = INVALID_SOCKETHANDLE;
    TSocketHandle FOther = INVALID_SOCKETHANDLE;
    uint16_t FPort = 0;
    std::atomic<bool> FStop{false};
    mutable std::mutex FLock; // guards FQueries
    std::vector<TReceivedQuery> FQueries;
    std::thread FThread;
};

// A record for a scripted response. A: Data is dotted text; NS, CNAME, MX: the target name;
// any other type: the RDATA bytes.
struct TTestRecord {
    std::string Owner;
    uint16_t Type;
    std::string Data;
    uint16_t Preference = 10; // MX
    uint32_t TTL = 60;
};

struct TTestResponse {
    uint8_t RCode = 0;
    bool AA = false;
    bool RA = false;
    bool TC = false;
    std::vector<TTestRecord> Answers, Authority, Additional;
};

// A response to query (its identifier and first question unless overridden).
inline std::string BuildTestResponse(const TdnsServerQuery& query, const TTestResponse& r,
                                     int idOverride = -1, const TdnsRawQuestion* question = nullptr) {
    TdnsWriter w(4096);
    w.PutWord(idOverride >= 0 ? uint16_t(idOverride) : query.Header.ID);
    TdnsFlags f;
    f.IsQuery = false;
    f.AA = r.AA;
    f.RA = r.RA;
    f.TC = r.TC;
    f.RD = query.Flags.RD;
    f.RCode = r.RCode;
    w.PutWord(DNSEncodeFlags(f));
    w.PutWord(1);
    w.PutWord(uint16_t(r.Answers.size()));
    w.PutWord(uint16_t(r.Authority.size()));
    w.PutWord(uint16_t(r.Additional.size()));
    DNSWriteRawQuestion(w, question ? *question : query.Questions.at(0));
    for (const auto* section : {&r.Answers, &r.Authority, &r.Additional})
        for (const TTestRecord& rec : *section) {
            switch (rec.Type) {
            case dnsTypeA: {
                uint32_t a = 0;
                IsIPAddress(rec.Data, a);
                DNSWriteARecord(w, rec.Owner, rec.TTL, a);
                break;
            }
            case dnsTypeNS:
                DNSWriteNSRecord(w, rec.Owner, rec.TTL, rec.Data);
                break;
            case dnsTypeCNAME:
                DNSWriteCNAMERecord(w, rec.Owner, rec.TTL, rec.Data);
                break;
            case dnsTypeMX: {
                TdnsWriter data(512);
                data.PutWord(rec.Preference);
                DNSWriteName(data, rec.Data);
                DNSWriteRRHeader(w, rec.Owner, dnsTypeMX, rec.TTL, uint16_t(data.Size()));
                w.PutBytes(data.Data());
                break;
            }
            default:
                DNSWriteRRHeader(w, rec.Owner, rec.Type, rec.TTL, uint16_t(rec.Data.size()));
                w.PutBytes(rec.Data);
                break;
            }
        }
    return w.Data();
}

} // namespace corvan::test
