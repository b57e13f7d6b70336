// The last error of each thread, and the translation of errno and
// getaddrinfo failures into Windows Sockets error numbers.
#include <errno.h>
#include <netdb.h>

#include "posix_internal.h"

namespace plat {
namespace posix {

namespace {
thread_local int lastError = 0;
}

void setLastError(int wsa) { lastError = wsa; }

int errorFromErrno(int e) {
    switch (e) {
    case 0: return 0;
    case EWOULDBLOCK:
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EINPROGRESS: return 10035;
    case EALREADY: return 10037;
    case EINTR: return 10004;
    case EBADF:
    case ENOTSOCK: return 10038;
    case EACCES: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: return 10024;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS:
    case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case EPIPE:
    case ESHUTDOWN: return 10058;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    default: break;
    }
    // Everything else keeps its own number above the Windows Sockets base,
    // so that no failure can read as a small code of the library's own.
    return e > 0 ? 10000 + e : 10000;
}

int errorFromLookup(int eai, int savedErrno) {
    switch (eai) {
    case 0: return 0;
    case EAI_NONAME: return kErrHostNotFound;
    case EAI_AGAIN: return kErrTryAgain;
    case EAI_FAIL: return kErrNoRecovery;
#ifdef EAI_NODATA
    case EAI_NODATA: return kErrNoData;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return kErrNoData;
#endif
    case EAI_MEMORY: return kErrNoBufs;
    case EAI_SYSTEM: {
        int e = errorFromErrno(savedErrno);
        return e ? e : kErrNoRecovery;
    }
    default: return kErrNoRecovery;
    }
}

}  // namespace posix

int WSAGetLastError() { return posix::lastError; }

}  // namespace plat
