// The last error of each thread, and the translation of errno and
// getaddrinfo failures into Windows Sockets error numbers. The numbers the
// core or the tests name come from numbers.h; the rest of the table keeps
// the plain Windows Sockets values.
#include <errno.h>
#include <netdb.h>
#include <string.h>

#include "posix_internal.h"

namespace plat {
namespace posix {

namespace {
thread_local int lastErrorOfThread = 0;
constexpr int kErrBase = kErrBaseNumber;
}  // namespace

void setLastError(int wsa) { lastErrorOfThread = wsa; }

int lastError() { return lastErrorOfThread; }

int fail(int wsa) {
    setLastError(wsa);
    return kSocketError;
}

int errorFromErrno(int e) {
    switch (e) {
    case 0: return 0;
    case EWOULDBLOCK:
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EINPROGRESS: return kErrWouldBlock;
    case EALREADY: return kErrAlready;
    case EINTR: return 10004;
    case EBADF:
    case ENOTSOCK: return kErrNotSocket;
    case EACCES: return 10013;
    case EFAULT: return kErrFault;
    case EINVAL: return kErrInvalid;
    case EMFILE: return 10024;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return kErrProtoNoSupport;
    case ESOCKTNOSUPPORT: return kErrSockTypeNoSupport;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return kErrAfNoSupport;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return kErrConnReset;
    case ENOBUFS:
    case ENOMEM: return kErrNoBufs;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case EPIPE:
    case ESHUTDOWN: return 10058;
    case ETIMEDOUT: return kErrTimedOut;
    case ECONNREFUSED: return kErrConnRefused;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    default: break;
    }
    // Everything else keeps its own number above the Windows Sockets base,
    // so that no failure can read as a small code of the library's own.
    return e > 0 ? kErrBase + e : kErrBase;
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

namespace {

// Copies text into buf as one line; the length written.
int giveText(const char* text, char* buf, int size) {
    if (!text || !*text || !buf || size <= 0) return 0;
    int n = 0;
    while (text[n] && text[n] != '\n' && n < size - 1) {
        buf[n] = text[n];
        ++n;
    }
    buf[n] = '\0';
    return n;
}

// The errno a socket error number stands for: the one the table above
// turns into it by name (the first, where several share it), else the one
// kept above the base. The table comes first: 10061 is ECONNREFUSED's
// number, though Linux's errno 61 (ENODATA) kept above the base gives it too.
int errnoOf(int error) {
    for (int e = 1; e < 4096; ++e)
        if (posix::errorFromErrno(e) == error && error != posix::kErrBaseNumber + e) return e;
    if (error > posix::kErrBaseNumber && error < posix::kErrBaseNumber + 4096 &&
        posix::errorFromErrno(error - posix::kErrBaseNumber) == error)
        return error - posix::kErrBaseNumber;
    return 0;
}

}  // namespace

int socketErrorText(int error, char* buf, int size) {
    // The resolver's failures, in its own words.
    switch (error) {
    case kErrHostNotFound: return giveText(::gai_strerror(EAI_NONAME), buf, size);
    case kErrTryAgain: return giveText(::gai_strerror(EAI_AGAIN), buf, size);
    case kErrNoRecovery: return giveText(::gai_strerror(EAI_FAIL), buf, size);
#ifdef EAI_NODATA
    case kErrNoData: return giveText(::gai_strerror(EAI_NODATA), buf, size);
#endif
    default: break;
    }
    int e = errnoOf(error);
    return e ? fileErrorText(e, buf, size) : 0;
}

int fileErrorText(int error, char* buf, int size) {
    if (error <= 0) return 0;
    char text[256];
    // The GNU strerror_r gives its text, which may not be in text; the
    // POSIX one fills text.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    const char* said = ::strerror_r(error, text, sizeof text);
#else
    const char* said = ::strerror_r(error, text, sizeof text) == 0 ? text : nullptr;
#endif
    return giveText(said, buf, size);
}

}  // namespace plat
