// The last error of each thread, and the translation of errno and
// getaddrinfo failures into Windows Sockets error numbers: errno by the table
// of socket errors (platform/socket_errors.def), getaddrinfo's codes here.
#include <errno.h>
#include <netdb.h>
#include <string.h>

#include "posix_internal.h"

namespace plat {
namespace posix {

namespace {

thread_local int lastErrorOfThread = 0;
constexpr int kErrBase = kErrBaseNumber;  // first Windows Sockets error number

// The errno each number stands for, from the table of socket errors; rows
// without an errno (0) never match, since errno 0 is no error. The first row
// of an errno wins.
struct ErrnoRow {
    int errnoValue;
    int wsa;
};
constexpr ErrnoRow errnoRows[] = {
#define QUODRA_SOCKET_ERROR(number, Name, NAME, wsaName, errnoName, meaning) {errnoName, number},
#define QUODRA_SOCKET_ERROR_UNLISTED(number, Name, wsaName, errnoName, meaning) {errnoName, number},
#define QUODRA_SOCKET_ERRNO(errnoName, Name) {errnoName, kErr##Name},
#include "platform/socket_errors.def"
};

}  // namespace

void setLastError(int wsa) { lastErrorOfThread = wsa; }

int lastError() { return lastErrorOfThread; }

int fail(int wsa) {
    setLastError(wsa);
    return kSocketError;
}

int errorFromErrno(int e) {
    if (e == 0) return 0;
    for (const ErrnoRow& row : errnoRows)
        if (row.errnoValue == e) return row.wsa;
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

// The errno a socket error number stands for: its row of the table (the
// first, where several share it), else the one kept above the base. The
// table comes first: 10061 is ECONNREFUSED's number, though Linux's errno
// 61 (ENODATA) kept above the base gives it too.
int errnoOf(int error) {
    for (const posix::ErrnoRow& row : posix::errnoRows)
        if (row.wsa == error && row.errnoValue != 0) return row.errnoValue;
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
