#include "net/SocketErrors.h"

#include "util/Strings.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <netdb.h>

namespace corvan {

ESocketLibrary::ESocketLibrary(const std::string& message, int errorCode)
    : ECodedException(JoinMessage(message, SocketErrorText(errorCode)), errorCode) {}

std::string SocketErrorText(int code) {
    switch (code) {
    case 0:
    case -1:
        return "";
    case 6:
        return "Invalid handle";
    case 8:
        return "Insufficient memory";
    case 87:
        return "Invalid parameter";
    case 995:
        return "Operation aborted";
    case 996:
        return "Operation incomplete";
    case 997:
        return "Operation pending";
    case 10004:
        return "Operation interrupted";
    case 10009:
        return "Invalid handle";
    case 10013:
        return "Permission denied";
    case 10014:
        return "Invalid pointer";
    case 10022:
        return "Invalid argument";
    case 10024:
        return "Too many open handles";
    case 10035:
        return "Blocking operation";
    case 10036:
        return "Operation in progress";
    case 10037:
        return "Operation already performed";
    case 10038:
        return "Socket operation on non-socket or not connected";
    case 10039:
        return "Destination address required";
    case 10040:
        return "Invalid message size";
    case 10041:
        return "Invalid protocol type";
    case 10042:
        return "Protocol not available";
    case 10043:
        return "Protocol not supported";
    case 10044:
        return "Socket type not supported";
    case 10045:
        return "Socket operation not supported";
    case 10046:
        return "Protocol family not supported";
    case 10047:
        return "Address family not supported by protocol family";
    case 10048:
        return "Address in use";
    case 10049:
        return "Address not available";
    case 10050:
        return "The network is down";
    case 10051:
        return "The network is unreachable";
    case 10052:
        return "Network connection reset";
    case 10053:
        return "Connection aborted";
    case 10054:
        return "Connection reset by peer";
    case 10055:
        return "No buffer space available";
    case 10056:
        return "Socket connected";
    case 10057:
        return "Socket not connected";
    case 10058:
        return "Socket shutdown";
    case 10059:
        return "Too many references";
    case 10060:
        return "Connection timed out";
    case 10061:
        return "Connection refused";
    case 10063:
        return "Name too long";
    case 10064:
        return "Host is unavailable";
    case 10065:
        return "Host is unreachable";
    case 10067:
        return "Process limit reached";
    case 10091:
        return "Network subsystem is unavailable";
    case 10092:
        return "Winsock version not supported";
    case 10093:
        return "Winsock not initialized";
    case 10101:
        return "Disconnected";
    case 10102:
        return "No more";
    case 10103:
        return "Cancelled";
    case 10104:
        return "Invalid procedure table from service provider";
    case 10105:
        return "Invalid service provider version number";
    case 10106:
        return "Unable to initialize a service provider";
    case 10107:
        return "System call failure";
    case 10108:
        return "Service not found";
    case 10109:
        return "Type not found";
    case 10110:
        return "No more";
    case 10111:
        return "Cancelled";
    case 10112:
        return "Refused";
    case 11001:
        return "Host not found";
    case 11002:
        return "Try again";
    case 11003:
        return "Nonrecoverable error";
    case 11004:
        return "No data";
    default:
        return Format("System error #%d", code);
    }
}

int SocketErrorFromErrno(int err) {
    switch (err) {
    case EINTR:
        return 10004;
    case EBADF:
        return 10009;
    case EACCES:
        return 10013;
    case EFAULT:
        return 10014;
    case EINVAL:
        return 10022;
    case EMFILE:
    case ENFILE:
        return 10024;
    case EAGAIN:
        return 10035; // EWOULDBLOCK is the same number on Linux
    case EINPROGRESS:
        return 10036;
    case EALREADY:
        return 10037;
    case ENOTSOCK:
        return 10038;
    case EDESTADDRREQ:
        return 10039;
    case EMSGSIZE:
        return 10040;
    case EPROTOTYPE:
        return 10041;
    case ENOPROTOOPT:
        return 10042;
    case EPROTONOSUPPORT:
        return 10043;
    case ESOCKTNOSUPPORT:
        return 10044;
    case EOPNOTSUPP:
        return 10045;
    case EPFNOSUPPORT:
        return 10046;
    case EAFNOSUPPORT:
        return 10047;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return 10049;
    case ENETDOWN:
        return 10050;
    case ENETUNREACH:
        return 10051;
    case ENETRESET:
        return 10052;
    case ECONNABORTED:
        return 10053;
    case ECONNRESET:
    case EPIPE:
        return 10054;
    case ENOBUFS:
        return 10055;
    case EISCONN:
        return 10056;
    case ENOTCONN:
        return 10057;
    case ESHUTDOWN:
        return 10058;
    case ETIMEDOUT:
        return 10060;
    case ECONNREFUSED:
        return 10061;
    case ENAMETOOLONG:
        return 10063;
    case EHOSTDOWN:
        return 10064;
    case EHOSTUNREACH:
        return 10065;
    case ENOMEM:
        return 8;
    default:
        return err;
    }
}

int SocketErrorFromGai(int gaiResult, int err) {
    switch (gaiResult) {
    case 0:
        return 0;
    case EAI_NONAME:
        return 11001;
    case EAI_AGAIN:
        return 11002;
    case EAI_FAIL:
        return 11003;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return 11004;
#endif
    case EAI_SERVICE:
        return 10109;
    case EAI_FAMILY:
        return 10047;
    case EAI_MEMORY:
        return 8;
    case EAI_SYSTEM:
        return SocketErrorFromErrno(err);
    default:
        return 11003;
    }
}

namespace {
thread_local int tlLastError = 0;

// SocketLibLock: guards the started flag and the one-time process set-up. Lock order: a leaf.
std::mutex SocketLibLock;
bool GStarted = false; // guarded by SocketLibLock
std::atomic<bool> GStartedFast{false};
} // namespace

int SocketGetLastError() {
    return tlLastError;
}
void SocketSetLastError(int code) {
    tlLastError = code;
}
int SocketSetLastErrorFromErrno() {
    tlLastError = SocketErrorFromErrno(errno);
    return tlLastError;
}

void SocketsStartup(bool) {
    std::lock_guard<std::mutex> lock(SocketLibLock);
    if (GStarted)
        return;
    // Sends use MSG_NOSIGNAL; ignoring SIGPIPE also covers writes that cannot carry the flag.
    std::signal(SIGPIPE, SIG_IGN);
    GStarted = true;
    GStartedFast.store(true, std::memory_order_release);
}

void SocketsCleanup() {
    std::lock_guard<std::mutex> lock(SocketLibLock);
    GStarted = false;
    GStartedFast.store(false, std::memory_order_release);
}

bool SocketsStarted() {
    return GStartedFast.load(std::memory_order_acquire);
}

void EnsureSocketsStarted() {
    if (!SocketsStarted())
        SocketsStartup(false);
}

} // namespace corvan
