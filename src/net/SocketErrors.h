#pragma once
// The socket library's process-wide state and its error table. On Linux the library needs no
// loading; what remains is the started flag, the fixed English texts of the socket error
// numbers, and the one mapping from errno and getaddrinfo results to those numbers, so every
// text and code above this layer holds as written for the original socket library.

#include "util/Exceptions.h"

#include <string>

namespace corvan {

// Socket error numbers used by name in the layer above (the full set is in the error table).
enum : int {
    WSAEINTR = 10004,
    WSAEBADF = 10009,
    WSAEACCES = 10013,
    WSAEFAULT = 10014,
    WSAEINVAL = 10022,
    WSAEMFILE = 10024,
    WSAEWOULDBLOCK = 10035,
    WSAEINPROGRESS = 10036,
    WSAEALREADY = 10037,
    WSAENOTSOCK = 10038,
    WSAEDESTADDRREQ = 10039,
    WSAEMSGSIZE = 10040,
    WSAEPROTOTYPE = 10041,
    WSAENOPROTOOPT = 10042,
    WSAEPROTONOSUPPORT = 10043,
    WSAESOCKTNOSUPPORT = 10044,
    WSAEOPNOTSUPP = 10045,
    WSAEPFNOSUPPORT = 10046,
    WSAEAFNOSUPPORT = 10047,
    WSAEADDRINUSE = 10048,
    WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050,
    WSAENETUNREACH = 10051,
    WSAENETRESET = 10052,
    WSAECONNABORTED = 10053,
    WSAECONNRESET = 10054,
    WSAENOBUFS = 10055,
    WSAEISCONN = 10056,
    WSAENOTCONN = 10057,
    WSAESHUTDOWN = 10058,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
    WSAENAMETOOLONG = 10063,
    WSAEHOSTDOWN = 10064,
    WSAEHOSTUNREACH = 10065,
    WSAVERNOTSUPPORTED = 10092,
    WSATYPE_NOT_FOUND = 10109,
    WSAHOST_NOT_FOUND = 11001,
    WSATRY_AGAIN = 11002,
    WSANO_RECOVERY = 11003,
    WSANO_DATA = 11004,
    WSA_NOT_ENOUGH_MEMORY = 8,
};

// Raised for start-up and library failures. Message: caller text, ": ", error text (the text
// alone when the caller's is empty; the caller's alone when the code has no text).
class ESocketLibrary : public ECodedException {
public:
    ESocketLibrary(const std::string& message, int errorCode);
};

// The fixed text of a socket error number; "" for 0 and -1; "System error #n" for a number
// outside the table.
std::string SocketErrorText(int code);

// errno to socket error number (EAGAIN to 10035, ECONNRESET and EPIPE to 10054, ...). An errno
// without a socket counterpart keeps its own number.
int SocketErrorFromErrno(int err);
// getaddrinfo/getnameinfo result to socket error number (EAI_NONAME 11001, EAI_AGAIN 11002,
// EAI_FAIL 11003, EAI_NODATA 11004, EAI_SERVICE 10109); EAI_SYSTEM maps the errno.
int SocketErrorFromGai(int gaiResult, int err);

// The last socket error of the calling thread, set by every failing call of the socket layer
// (the WSAGetLastError of the Windows socket library).
int SocketGetLastError();
void SocketSetLastError(int code);
// Records SocketErrorFromErrno(errno) as the last error and returns it.
int SocketSetLastErrorFromErrno();

// Start-up bookkeeping. Start-up cannot fail on this platform; it sets the started flag
// (guarded by the library lock) and makes SIGPIPE harmless for the process.
void SocketsStartup(bool requireVersion2 = false);
void SocketsCleanup();
bool SocketsStarted();
// Every call that needs the library calls this first.
void EnsureSocketsStarted();

} // namespace corvan
