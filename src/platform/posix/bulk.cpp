// Body bytes between a socket and a file without passing them through the
// caller: sendfile(2) for the request body, splice(2) through a pipe of the
// socket's own for the reply body. To the socket's events each is the send
// or the recv it stands for, and every failure that is the socket's is
// reported as those report it. What the system cannot do this way is
// declined (kNotServed) with nothing done, so the core's own steps take over.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "posix_internal.h"
#include "test_hooks.h"

namespace plat {
namespace posix {

namespace {

// The pipe a received piece passes through; the larger it is, the fewer
// the calls per byte. The system may grant less, and its default serves.
constexpr int kPipeBytes = 1 << 20;

bool remoteForTests = false;  // hooks::treatPeersAsRemote

bool loopback(const sockaddr_storage& a) {
    if (a.ss_family == AF_INET) {
        const sockaddr_in& in = reinterpret_cast<const sockaddr_in&>(a);
        return (ntohl(in.sin_addr.s_addr) >> 24) == 127;
    }
    if (a.ss_family == AF_INET6) {
        const in6_addr& in6 = reinterpret_cast<const sockaddr_in6&>(a).sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&in6)) return true;
        return IN6_IS_ADDR_V4MAPPED(&in6) && in6.s6_addr[12] == 127;
    }
    return false;
}

bool sameAddress(const sockaddr_storage& a, const sockaddr_storage& b) {
    if (a.ss_family != b.ss_family) return false;
    if (a.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in&>(b).sin_addr.s_addr;
    if (a.ss_family == AF_INET6)
        return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr,
                           &reinterpret_cast<const sockaddr_in6&>(b).sin6_addr,
                           sizeof(in6_addr)) == 0;
    return false;
}

// A peer on this machine: a loopback address, or our own. Unknown counts
// as here, where declining costs nothing.
bool peerOnThisMachine(int fd) {
    if (remoteForTests) return false;
    sockaddr_storage me{}, peer{};
    socklen_t meLen = sizeof me, peerLen = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&me), &meLen) < 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) < 0)
        return true;
    return loopback(peer) || sameAddress(me, peer);
}

// Only a regular file is known to take splice(2) whole; another output (a
// terminal, a device) is written the ordinary way.
bool fitForSplice(SockRec& rec, int fd) {
    if (fd == rec.spliceFile) return true;
    if (fd == rec.spliceRefused) return false;
    struct stat st;
    if (::fstat(fd, &st) < 0 || !S_ISREG(st.st_mode)) return false;
    rec.spliceFile = fd;
    return true;
}

bool openPipe(SockRec& rec) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) < 0) return false;
    ::fcntl(ends[1], F_SETPIPE_SZ, kPipeBytes);  // refused: the default size serves
    rec.pipeRead = ends[0];
    rec.pipeWrite = ends[1];
    return true;
}

// The bytes left in the pipe when the file's system cannot splice into it:
// written the ordinary way, in pieces of a small buffer; false when the
// file refused some.
bool copyPipe(SockRec& rec, int fd, size_t n) {
    char piece[16384];
    while (n > 0) {
        ssize_t got = ::read(rec.pipeRead, piece, n < sizeof piece ? n : sizeof piece);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return fileFailed(got < 0 ? errno : EIO);
        for (ssize_t done = 0; done < got;) {
            ssize_t w = ::write(fd, piece + done, static_cast<size_t>(got - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return fileFailed(w < 0 ? errno : ENOSPC);
            done += w;
        }
        n -= static_cast<size_t>(got);
    }
    return true;
}

// Moves n bytes waiting in the socket's pipe into the file; false when the
// file refused some.
bool drainPipe(SockRec& rec, int fd, size_t n) {
    while (n > 0) {
        ssize_t w = ::splice(rec.pipeRead, nullptr, fd, nullptr, n, SPLICE_F_MOVE);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
            // No splicing into this file after all: these bytes and the rest
            // of the reply take the ordinary way.
            rec.spliceFile = -1;
            rec.spliceRefused = fd;
            return copyPipe(rec, fd, n);
        }
        if (w <= 0) return fileFailed(w < 0 ? errno : ENOSPC);
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

void closeBulk(SockRec& rec) {
    if (rec.pipeRead >= 0) ::close(rec.pipeRead);
    if (rec.pipeWrite >= 0) ::close(rec.pipeWrite);
    rec.pipeRead = rec.pipeWrite = -1;
}

namespace hooks {

void treatPeersAsRemote(bool on) { remoteForTests = on; }

}  // namespace hooks

}  // namespace posix

using namespace posix;

// Both calls move bytes as they are: a secure socket, whose bytes the
// engine transforms, declines at their start, before anything is moved.

// The kernel hands the file's pages to the socket: no copy through the
// caller. A peer on this machine would then copy out of those pages, which
// costs it more than a copy out of bytes just sent (measured: lighttpd on
// loopback spent twice the CPU time on a PUT), so the ordinary send serves
// there.
int sendFile(Socket s, int fd, int len) {
    SockRec* rec = ownSocket(s);
    if (!rec) return fail(kErrNotSocket);
    if (fd < 0 || len < 0) return fail(kErrInvalid);
    if (rec->tls) return kNotServed;
    if (rec->peerHere < 0) rec->peerHere = peerOnThisMachine(rec->fd) ? 1 : 0;
    if (rec->peerHere) return kNotServed;
    // sendfile has no flag for it: a peer that has reset raises SIGPIPE.
    ssize_t n = withoutSigpipe([&] {
        ssize_t r;
        do {
            r = ::sendfile(rec->fd, fd, nullptr, static_cast<size_t>(len));
        } while (r < 0 && errno == EINTR);
        return r;
    });
    // A file that cannot be read this way, or at all, is the core's to meet.
    if (n < 0 && !isSocketErrno(errno)) return kNotServed;
    return afterSend(*rec, n);
}

// The received pages go from the socket into the pipe without a copy, and
// from the pipe into the file with one: half the copying of a recv and a
// write, and no buffer of the caller's.
int recvFile(Socket s, int fd, int len) {
    SockRec* rec = ownSocket(s);
    if (!rec) return fail(kErrNotSocket);
    if (fd < 0 || len <= 0) return fail(kErrInvalid);
    if (rec->tls) return kNotServed;
    if (!fitForSplice(*rec, fd)) return kNotServed;
    if (rec->pipeRead < 0 && !openPipe(*rec)) return kNotServed;
    ssize_t n;
    do {
        n = ::splice(rec->fd, nullptr, rec->pipeWrite, nullptr, static_cast<size_t>(len),
                     SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EINVAL || errno == ENOSYS)) return kNotServed;
    int taken = afterRecv(*rec, n, len);
    if (n > 0 && !drainPipe(*rec, fd, static_cast<size_t>(n))) return kFileFailed;
    return taken;
}

}  // namespace plat
