// The last error of each thread, and the translation of errno and
// getaddrinfo failures into Windows Sockets error numbers: errno by the table
// of socket errors (platform/socket_errors.def), getaddrinfo's codes here.
#include <errno.h>
#include <netdb.h>

#include "posix_internal.h"

namespace plat {
namespace posix {

namespace {

thread_local int lastErrorOfThread = 0;
constexpr int kErrBase = 10000;  // first Windows Sockets error number

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
}  // namespace plat
