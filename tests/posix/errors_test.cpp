// The translation of system failures into Windows Sockets numbers.
#include <errno.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <string.h>

#include <map>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

using plat::posix::errorFromErrno;
using plat::posix::errorFromLookup;

TEST(Errors, ErrnoTable) {
    struct Case {
        int e, wsa;
    } cases[] = {
        {EWOULDBLOCK, 10035}, {EAGAIN, 10035},       {EINPROGRESS, 10035},
        {ECONNREFUSED, 10061}, {ECONNRESET, 10054},  {ETIMEDOUT, 10060},
        {ENETUNREACH, 10051}, {EHOSTUNREACH, 10065}, {ECONNABORTED, 10053},
        {EPIPE, 10058},       {ENOTCONN, 10057},     {EBADF, 10038},
        {ENOTSOCK, 10038},    {EINVAL, 10022},       {EMFILE, 10024},
        {ENOBUFS, 10055},     {ENOMEM, 10055},       {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049}, {EACCES, 10013},     {EISCONN, 10056},
        {EAFNOSUPPORT, 10047}, {EINTR, 10004},       {ENOENT, 10000 + ENOENT},
        {EIO, 10000 + EIO},   {0, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(errorFromErrno(c.e), c.wsa) << "errno " << c.e;
}

TEST(Errors, NoFailureReadsAsASmallNumber) {
    for (int e = 1; e < 200; ++e) {
        int w = errorFromErrno(e);
        EXPECT_GE(w, 10000) << "errno " << e;
    }
    EXPECT_GE(errorFromErrno(-3), 10000);
}

// The table of socket errors: a number twice, or an errno given two
// numbers (the first row would win without a word), is a slip in it.
TEST(Errors, SocketErrorTableGivesEachNumberOnceAndEachErrnoOneNumber) {
    struct Row {
        int number, errnoValue;
        bool further;  // a further errno of a number, not a number of its own
        const char* name;
    } rows[] = {
#define QUODRA_SOCKET_ERROR(number, Name, NAME, wsaName, errnoName, meaning) \
    {number, errnoName, false, #wsaName},
#define QUODRA_SOCKET_ERROR_UNLISTED(number, Name, wsaName, errnoName, meaning) \
    {number, errnoName, false, #wsaName},
#define QUODRA_SOCKET_ERRNO(errnoName, Name) {plat::kErr##Name, errnoName, true, #errnoName},
#include "platform/socket_errors.def"
    };
    std::map<int, int> rowsOfNumber, numberOfErrno;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        if (!r.further) {
            EXPECT_EQ(rowsOfNumber[r.number]++, 0) << "number " << r.number << " twice";
            // Above the library's own codes, and within an event's error half.
            EXPECT_GE(r.number, 10000);
            EXPECT_LE(r.number, 0xFFFF);
        }
        if (r.errnoValue == 0) continue;
        auto first = numberOfErrno.emplace(r.errnoValue, r.number).first;
        EXPECT_EQ(first->second, r.number) << "errno " << r.errnoValue << " given two numbers";
        EXPECT_EQ(errorFromErrno(r.errnoValue), r.number);
    }
}

TEST(Errors, LookupTable) {
    struct Case {
        int eai, saved, wsa;
    } cases[] = {
        {0, 0, 0},
        {EAI_NONAME, 0, 11001},
        {EAI_AGAIN, 0, 11002},
        {EAI_FAIL, 0, 11003},
#ifdef EAI_NODATA
        {EAI_NODATA, 0, 11004},
#endif
        {EAI_MEMORY, 0, 10055},
        {EAI_SYSTEM, EMFILE, 10024},
        {EAI_SYSTEM, 0, 11003},
        {EAI_SERVICE, 0, 11003},
    };
    for (const Case& c : cases)
        EXPECT_EQ(errorFromLookup(c.eai, c.saved), c.wsa) << "getaddrinfo " << c.eai;
}

// The words for a socket or lookup number are those of the errno or the
// resolver's failure it stands for, even where a number kept above the
// base would name another errno (10061 is ECONNREFUSED, not errno 61).
TEST(Errors, WordsOfASocketNumberAreItsErrnosWords) {
    struct Case {
        int wsa;
        std::string words;
    } cases[] = {
        {10061, strerror(ECONNREFUSED)}, {10054, strerror(ECONNRESET)},
        {10060, strerror(ETIMEDOUT)},    {10065, strerror(EHOSTUNREACH)},
        {10053, strerror(ECONNABORTED)},        {10000 + EIO, strerror(EIO)},
        {11001, gai_strerror(EAI_NONAME)}, {11002, gai_strerror(EAI_AGAIN)},
    };
    for (const Case& c : cases) {
        char buf[256];
        int n = plat::socketErrorText(c.wsa, buf, sizeof buf);
        EXPECT_EQ(std::string(buf), c.words) << c.wsa;
        EXPECT_EQ(n, static_cast<int>(c.words.size())) << c.wsa;
    }
    char buf[8];
    EXPECT_EQ(plat::fileErrorText(0, buf, sizeof buf), 0);
}

}  // namespace
