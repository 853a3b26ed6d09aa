#pragma once
// Name lookups over DNS/UDP against configured servers (RFC 1034 5.3.3, RFC 1035 7): a table
// of lookups in progress, one query at a time per lookup, retries on a timer, referrals
// followed (name servers from the authority section, their addresses from the additional
// section or from lookups of their own), and the servers of parent domains when the given
// servers do not help. Results reach the caller through a callback per lookup.
//
// Forged answers are refused: every lookup takes an identifier from the system's
// cryptographic source (unique among the running lookups), every query leaves from a socket
// of its own on a port the system picks at random (a small pool: a socket closes when no
// running lookup waits on it), and a response counts only when it comes from an address and
// port the lookup's query was sent to, arrives on the socket that query left from, and
// repeats the lookup's question (name ignoring ASCII case, type, class). Anything else is
// dropped and counted in DroppedResponses. An off-path attacker must so guess the port as
// well as the identifier, for every query anew.
//
// Threads: the query sockets and the timer run on the thread that activated the resolver,
// which is also the thread that calls Lookup and SetActive. The lock FLock guards everything
// below it and is never held while a callback or event runs: what ends while it is held is
// queued and delivered once it is released, so a callback may start another lookup or take
// locks of its own. Lock order: FLock alone.
#include "dns/DNSClient.h"
#include "net/EventLoop.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvan {

class EdnsResolver : public Exception {
public:
    using Exception::Exception;
};

// Depth of lookups started for other lookups (a server's address, a domain's name servers);
// deeper ones are not started and the lookup goes on with what it has.
constexpr int kDNSMaxSubLookupDepth = 4;
// Referrals one lookup follows; a response that would refer further is treated as useless,
// so a referral loop ends well before the lookup time-out.
constexpr int kDNSMaxReferralLevel = 8;
// Servers one lookup learns at most; further referral names are ignored.
constexpr size_t kDNSMaxServersPerLookup = 32;
// Lookups running at once, sub-lookups included; beyond it Lookup raises, and a sub-lookup
// that cannot start counts as failed.
constexpr size_t kDNSMaxLookups = 16384;
// Query sockets open at once; beyond it a query leaves from one of the open ones picked at
// random (still a random port, shared), so a flood of lookups cannot use up descriptors.
constexpr size_t kDNSMaxQuerySockets = 64;
// The UDP payload size the resolver's queries state in their OPT record (RFC 6891): a server
// sends an answer up to this long whole instead of cut at 512 bytes; a longer one comes cut
// with TC. 1232 bytes pass every usual link unfragmented.
constexpr uint16_t kDNSResolverEDNSPayload = 1232;

// One server known to one lookup.
struct TdnsServerInfo {
    std::string Name; // host name, or the text of a configured server
    int Level = 0;    // referral depth at which it was learned
    std::vector<TSocketAddr> Addresses;
    std::vector<bool> Tried; // one per address
    enum : uint8_t { ssNoAddress = 0, ssLookingUp = 1, ssKnown = 2, ssLookupFailed = 3 };
    uint8_t State = ssNoAddress;
    bool Configured = false;
};

// Servers by name (ASCII case ignored), in insertion order, and the current referral level.
struct TdnsServerList {
    std::vector<TdnsServerInfo> Items;
    int Level = 0;
    TdnsServerInfo* Find(std::string_view name);
};

class TdnsResolver;
class TdnsLookup;
using TdnsLookupCallback = std::function<void(TdnsLookup& lookup)>;

class TdnsLookup {
public:
    enum : uint8_t { lsRunning = 0, lsFailed = 1, lsSucceeded = 2 };

    TdnsResolver* Resolver = nullptr;
    TdnsLookup* Parent = nullptr; // a sub-lookup ends with its parent
    std::string Name;             // as asked (a dotted IPv4 address becomes its IN-ADDR.ARPA name)
    uint16_t QType = dnsTypeA;    // type number; AAAA too
    uint16_t Identifier = 0;
    uint32_t Tag = 0;
    int64_t StartTime = 0;
    int64_t LastSendTime = 0;
    TdnsServerList Servers;
    std::vector<std::pair<std::string, bool>> ParentDomains; // nearest first; tried flag
    uint8_t State = lsRunning;
    int ErrorCode = 0;  // on failure: 10300 + response code, 10401, 10400
    int Depth = 0;      // 0 for a caller's lookup
    // The response it succeeded on had TC set: its records are only a part of the set.
    bool Truncated = false;

    // Results, by type: A/ALL Addresses; AAAA Addresses6; NS Names and NameAddresses; CNAME
    // CanonicalName; MX Names (by preference) and NameAddresses; PTR PTRName.
    TIP4AddrArray Addresses;
    std::vector<std::array<uint8_t, 16>> Addresses6;
    std::vector<std::string> Names;
    TIP4AddrArrayArray NameAddresses;
    std::string CanonicalName;
    std::string PTRName;

    bool Ended() const { return State != lsRunning; }
    bool Succeeded() const { return State == lsSucceeded; }

private:
    friend class TdnsResolver;
    uint64_t FSerial = 0;
    TdnsLookupCallback FCallback;
    // Where its queries went and the socket each left from; answers come only from there,
    // to that socket. Each entry holds one use of its socket until the lookup ends.
    struct TSent {
        TSocketAddr To;
        uint64_t Socket = 0;
        bool RD = false;
        bool EDNS = true; // it carried an OPT record
    };
    std::vector<TSent> FSent;
    int FLastResponseError = 0;       // 10300 + the last ignored response code
    // What a sub-lookup finds for its parent: a server's address, or a domain's name servers.
    std::string FForServer;
    bool FForDomain = false;
};

class TdnsResolver {
public:
    enum TOption : uint8_t { RecursionDesired = 1 };

    TdnsResolver();
    virtual ~TdnsResolver(); // deactivates; lookups end without callbacks

    TdnsResolver(const TdnsResolver&) = delete;
    TdnsResolver& operator=(const TdnsResolver&) = delete;

    uint8_t Options = RecursionDesired;
    // LookupTimeout: a lookup older than this fails with 10401. RetryInterval: a lookup with
    // no useful answer for this long goes to its next server. Below 1: not applied.
    int LookupTimeout = 15000;
    int RetryInterval = 2000;
    // Off: only the configured servers' own answers count (no referrals followed, no parent
    // domains searched).
    bool FollowReferrals = true;
    // Port of servers learned from referrals (DNS is port 53; tests point it elsewhere).
    uint16_t ReferralPort = 53;
    // Lookups running at once, sub-lookups included (kDNSMaxLookups unless lowered).
    size_t MaxLookups = kDNSMaxLookups;

    // Host names or dotted addresses, each optionally with ":port" (default 53). May change
    // while active (taken under the lock; used from the next activation).
    void SetServers(std::vector<std::string> servers);
    std::vector<std::string> Servers() const;

    bool Active() const;
    // true: "No DNS server defined" when Servers is empty; "No valid DNS server" when none
    // resolves (the resolver stays inactive). false: lookups end without callbacks.
    void SetActive(bool value);

    // Starts a lookup of name for the type number (A, NS, CNAME, PTR, MX, ALL, AAAA, ...)
    // and answers it; callback receives it when it ends (possibly before Lookup returns).
    // "Empty name", "Query type not supported" (WKS, AXFR), "Too many lookups in progress";
    // activates the resolver when inactive (raising as SetActive).
    TdnsLookup* Lookup(const std::string& name, uint16_t qtype, uint32_t tag,
                       TdnsLookupCallback callback);

    // Lookups running now, sub-lookups included.
    size_t LookupCount() const;
    // Responses dropped because they matched no lookup (identifier, sender or question).
    uint64_t DroppedResponses() const;
    // The ports of the query sockets open now (one per socket).
    std::vector<uint16_t> LocalPorts() const;

    // Events (each only when set); they run without the lock, after the change they report.
    std::function<void(TdnsResolver*)> OnActivated;
    std::function<void(TdnsResolver*)> OnDeactivated;
    std::function<void(TdnsResolver*, TdnsLookup& lookup, const TdnsResponse& response)> OnResponse;
    std::function<void(uint32_t tag, TdnsLookup& lookup)> OnLookupComplete;
    std::function<void(uint32_t tag, uint32_t address)> OnAddressFound;
    std::function<void(uint32_t tag, const TIP4AddrArray& addresses)> OnAddressesFound;
    std::function<void(uint32_t tag, const std::string& name)> OnNameFound;
    std::function<void(uint32_t tag, const std::vector<std::string>& names)> OnNamesFound;
    std::function<void(uint32_t tag, int errorCode)> OnLookupFailed;

    // "1.2.3.4" -> "4.3.2.1.IN-ADDR.ARPA"; any other name unchanged.
    static std::string ReverseName(const std::string& name);
    // "host:port" split; port 53 when absent. An IPv6 address stands alone or in brackets
    // before ":port" ("[2001:db8::53]:5353"), its host without them. False for a port that is
    // not 1..65535.
    static bool SplitServer(const std::string& text, std::string& host, uint16_t& port);

protected:
    virtual void ReportSuccess(TdnsLookup& lookup);
    virtual void ReportFailure(TdnsLookup& lookup);

private:
    // Something to call out once the lock is released, in the order it happened.
    struct TCallout {
        enum : uint8_t { Activated, Deactivated, LookupEnded } Kind = LookupEnded;
        std::unique_ptr<TdnsLookup> Lookup; // LookupEnded: released after its callbacks
    };
    struct TQuerySocket {
        std::unique_ptr<TdnsUDPClient> Client;
        size_t Users = 0; // entries of running lookups' FSent naming it
    };

    void ActivateLocked();
    void DeactivateLocked();
    // Releases lock, runs the queued callouts, and leaves lock released.
    void Deliver(std::unique_lock<std::mutex>& lock);
    TdnsLookup* StartLookup(const std::string& name, uint16_t qtype, uint32_t tag,
                            TdnsLookupCallback callback, TdnsLookup* parent);
    // A sub-lookup of lookup; nullptr when the table has no room for it.
    TdnsLookup* StartSubLookup(const std::string& name, uint16_t qtype, TdnsLookup& lookup);
    uint16_t NewIdentifier() const;
    // The send step: the next server address, else a sub-lookup, else failure. Must be the
    // last thing its caller does with lookup (it may end and release it).
    void SendStep(TdnsLookup& lookup);
    void SendQuery(TdnsLookup& lookup, TdnsServerInfo& server, size_t addressIndex);
    // One datagram of lookup's question to to (a copy: it may name an entry of FSent).
    void SendDatagram(TdnsLookup& lookup, TSocketAddr to, bool rd, bool edns);
    // A server that refused the OPT record of sent (format error or not implemented, and
    // no OPT in its answer, so it knows no EDNS) is asked once more without it; false when
    // this response is not such a refusal.
    bool RetryWithoutEDNS(TdnsLookup& lookup, const TdnsLookup::TSent& sent,
                          const TdnsResponse& response);
    // A socket for one query: a new one while there is room, else an open one at random;
    // 0 when none can be had (the query is not sent; the retry goes on).
    uint64_t TakeSocket();
    // Gives back the socket uses of lookup's queries; a socket left unused closes.
    void ReleaseSockets(TdnsLookup& lookup);
    // Closes client, or keeps it for later when its read loop is running now.
    void RetireSocket(std::unique_ptr<TdnsUDPClient> client);
    void DropRetiredSockets();
    bool AncestorHasServer(const TdnsLookup& lookup, std::string_view name) const;
    // The one place a lookup ends: state, removal, queued callout, its parent's next step.
    void Finish(TdnsLookup& lookup, uint8_t state, int errorCode);
    void SubLookupDone(TdnsLookup& sub);
    // Removes the running sub-lookups of lookup (and theirs) without callbacks.
    void DropSubLookups(TdnsLookup& lookup);
    void HandleResponse(TdnsUDPClient* client, uint64_t socket, const TdnsResponseInfo& info,
                        TdnsResponse& response);
    // The response handler's work under the lock, up to the callouts.
    void ProcessResponseLocked(std::unique_lock<std::mutex>& lock, uint64_t socket,
                               const TdnsResponseInfo& info, TdnsResponse& response);
    // Steps 1 to 9 of processing a useful response; true when the lookup succeeded.
    bool ProcessResponse(TdnsLookup& lookup, const TdnsResponse& response);
    void AddServer(TdnsLookup& lookup, const std::string& name, int level,
                   const TIP4AddrArray& addresses);
    void HandleTimer();

    mutable std::mutex FLock; // FLock guards every member below
    std::vector<std::string> FServers;
    bool FActive = false;
    // Made at the first activation and kept (stopped while inactive): a callback may
    // deactivate the resolver from inside the timer's own event.
    std::unique_ptr<TTimerHandle> FTimer;
    std::vector<TSocketAddr> FServerAddresses;
    std::vector<std::string> FServerNames; // as configured, one per address
    // Lookups by serial (creation order) and by identifier.
    std::map<uint64_t, std::unique_ptr<TdnsLookup>> FLookups;
    std::unordered_map<uint16_t, TdnsLookup*> FByIdentifier;
    std::vector<TCallout> FCallouts;
    // Query sockets by serial; sockets whose read loop is running now (innermost last), and
    // closed ones kept until their loop has returned.
    std::unordered_map<uint64_t, TQuerySocket> FSockets;
    std::vector<TdnsUDPClient*> FReading;
    std::vector<std::unique_ptr<TdnsUDPClient>> FRetired;
    uint64_t FNextSocket = 1;
    uint64_t FNextSerial = 1;
    uint64_t FDropped = 0;
};

} // namespace corvan
