// Input and output files as descriptors, with 64-bit offsets and sizes.
#define _FILE_OFFSET_BITS 64

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "platform/beside_name.h"
#include "platform/platform.h"
#include "posix_internal.h"

namespace plat {

namespace {

// The errno of the thread's last file call that failed: kept apart from
// errno itself, which any later call may change before the core asks.
thread_local int lastFileErrno = 0;

// Keeps e as the reason of a failed call; gives failed.
template <typename T>
T failed(int e, T failed) {
    lastFileErrno = e;
    return failed;
}

}  // namespace

int fileError() { return lastFileErrno; }

namespace posix {
bool fileFailed(int e) { return failed(e, false); }
}  // namespace posix

int openRead(const char* path) {
    if (!path) return failed(EFAULT, -1);
    // Non-blocking, so that opening a FIFO without a writer does not hang;
    // only a regular file has a size to announce and an end, so a FIFO, a
    // device or a directory is refused once open.
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return failed(errno, -1);
    struct stat st;
    if (::fstat(fd, &st) < 0 || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) < 0) {
        int e = errno;
        ::close(fd);
        return failed(e, -1);
    }
    // Opened, and no system error to tell: it is just no regular file.
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return failed(0, -1);
    }
    return fd;
}

int readFile(int fd, char* buf, int len) {
    if (len < 0 || (!buf && len > 0)) return -1;
    ssize_t n;
    do {
        n = ::read(fd, buf, static_cast<size_t>(len));
    } while (n < 0 && errno == EINTR);
    if (n < 0) lastFileErrno = errno;
    return static_cast<int>(n);
}

int64_t seekCur(int fd, int64_t offset) {
    off_t pos = ::lseek(fd, static_cast<off_t>(offset), SEEK_CUR);
    if (pos < 0) lastFileErrno = errno;
    return static_cast<int64_t>(pos);
}

int closeFile(int fd) { return ::close(fd); }

int64_t fileSize(int fd) {
    struct stat st;
    if (fd < 0) return failed(EBADF, int64_t{-1});
    if (::fstat(fd, &st) < 0) return failed(errno, int64_t{-1});
    return static_cast<int64_t>(st.st_size);
}

namespace {

// Whether this process may write what path names, as its effective user
// (which the open will be made as).
bool writable(const char* path, int mode) {
    return ::faccessat(AT_FDCWD, path, mode, AT_EACCESS) == 0;
}

// Whether a new file may be made at path, which names nothing yet: the
// folder that would hold it is a folder this process may add names to.
// errno says why not.
bool newFileFits(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (!slash) return writable(".", W_OK | X_OK) || failed(errno, false);
    // "name/" can only ever be a folder.
    if (slash[1] == '\0') return failed(EISDIR, false);
    char folder[PATH_MAX];
    size_t n = slash == path ? 1 : static_cast<size_t>(slash - path);
    if (n >= sizeof folder) return failed(ENAMETOOLONG, false);
    std::memcpy(folder, path, n);
    folder[n] = '\0';
    struct stat st;
    if (::stat(folder, &st) != 0) return failed(errno, false);
    if (!S_ISDIR(st.st_mode)) return failed(ENOTDIR, false);
    return writable(folder, W_OK | X_OK) || failed(errno, false);
}

// A change the system may refuse without the file being any less usable:
// its result is taken and let go.
int mayRefuse(int result) { return result; }

// The path whose file a new file beside path replaces, into out (kPathLimit
// bytes): the file a symbolic link leads to, so that the link stays and
// what it names is renewed; path itself otherwise (also for a link that
// leads nowhere). False when it does not fit.
bool replacedPath(const char* path, char* out) {
    static_assert(kPathLimit >= PATH_MAX, "realpath writes up to PATH_MAX bytes");
    struct stat st;
    if (::lstat(path, &st) == 0 && S_ISLNK(st.st_mode) && ::realpath(path, out)) return true;
    size_t len = std::strlen(path);
    if (len >= kPathLimit) return false;
    std::memcpy(out, path, len + 1);
    return true;
}

}  // namespace

int checkOut(const char* path, int* held, int beside) {
    *held = -1;
    if (!path || !*path) return failed(ENOENT, -1);
    struct stat st;
    if (::stat(path, &st) != 0) {
        if (errno != ENOENT) return failed(errno, -1);
        return newFileFits(path) ? 0 : -1;
    }
    if (S_ISDIR(st.st_mode)) return failed(EISDIR, -1);
    if (S_ISREG(st.st_mode)) {
        if (!writable(path, W_OK)) return failed(errno, -1);
        // The new file beside it is made in the folder of the file replaced.
        char target[kPathLimit];
        if (!beside) return 0;
        if (!replacedPath(path, target)) return failed(ENAMETOOLONG, -1);
        return newFileFits(target) ? 0 : -1;
    }
    // A FIFO or a device has nothing to create or empty. Opened without
    // waiting, a FIFO with no reader fails at once instead of holding the
    // call; once open it is kept, as its reader would take a close for the
    // end of the reply.
    int fd;
    do {
        fd = ::open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return failed(errno, -1);
    // Written like a file from here: a slow reader is waited for.
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) < 0) {
        int e = errno;
        ::close(fd);
        return failed(e, -1);
    }
    *held = fd;
    return 0;
}

int openOut(const char* path) {
    if (!path) return failed(EFAULT, -1);
    // Never waits in the open: a FIFO with no reader (one that came to
    // stand at the path after the check) fails at once instead of holding
    // the call past its idle limit. A file is written waiting as before.
    int fd;
    do {
        fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return failed(errno, -1);
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) < 0) {
        int e = errno;
        ::close(fd);
        return failed(e, -1);
    }
    return fd;
}

size_t writeOut(int fd, const char* buf, size_t len) {
    if (fd < 0 || (!buf && len > 0)) return failed(EBADF, size_t{0});
    // A regular file takes a short count only when it is out of room; the
    // next write then says why, and the loop stops there. The output may
    // also be a pipe or a FIFO whose reader has left: that is a failure of
    // the output, never a signal to the host.
    return posix::withoutSigpipe([&] {
        size_t done = 0;
        while (done < len) {
            ssize_t n = ::write(fd, buf + done, len - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) lastFileErrno = errno;
            if (n == 0) lastFileErrno = ENOSPC;  // nothing taken, and nothing said
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        return done;
    });
}

int closeOut(int fd) {
    if (fd < 0) return failed(EBADF, -1);
    // Not retried on EINTR: the descriptor is gone either way, and the
    // failure is reported, as bytes may not have reached the file.
    int rc = ::close(fd);
    if (rc != 0) lastFileErrno = errno;
    return rc;
}

int fileFacts(const char* path, FileFacts* facts) {
    struct stat st;
    if (!path || ::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    facts->size = static_cast<int64_t>(st.st_size);
    facts->modified = static_cast<int64_t>(st.st_mtim.tv_sec);
    return 0;
}

int openAppend(const char* path, int64_t* end) {
    if (!path) return failed(EFAULT, -1);
    // Not O_APPEND, which splice(2) refuses: the position is set once, at
    // the end, and the writes go on from there. Without waiting, as openOut.
    int fd;
    do {
        fd = ::open(path, O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return failed(errno, -1);
    struct stat st;
    off_t at = -1;
    int e = 0;  // stays 0 for a file that is no regular file: no system error
    if (::fstat(fd, &st) != 0) e = errno;
    else if (!S_ISREG(st.st_mode)) at = -1;
    else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) < 0) e = errno;
    else if ((at = ::lseek(fd, 0, SEEK_END)) < 0) e = errno;
    if (at < 0) {
        ::close(fd);
        return failed(e, -1);
    }
    *end = static_cast<int64_t>(at);
    return fd;
}

int openBeside(const char* path, Beside* beside) {
    beside->temp[0] = '\0';
    if (!path || !*path) return failed(ENOENT, -1);
    if (!replacedPath(path, beside->target)) return failed(ENAMETOOLONG, -1);
    struct stat old;
    bool hasOld = ::stat(beside->target, &old) == 0;
    if (hasOld && !S_ISREG(old.st_mode)) return failed(0, -1);
    int error = 0;
    // A name taken by another call (or anything else) is passed over for a
    // new one; the odds of meeting one twice are nil.
    for (int tries = 0; tries < 16; ++tries) {
        unsigned char random[kBesideRandom];
        if (randomBytes(random, sizeof random) != 0 ||
            !besideName(beside->target, random, NAME_MAX, "/", beside->temp, kPathLimit))
            break;
        int fd;
        do {
            fd = ::open(beside->temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        hasOld ? 0600 : 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) {
            error = errno;
            break;
        }
        if (hasOld) {
            // The old file's owner and group where this process may give
            // them (root may; a member of the group may give the group),
            // then its bits, after the owner: a change of owner may clear
            // bits. Either may be refused (another user's file; a file
            // system that keeps no owners or modes, which then gives the new
            // file what it gave the old one): the file is made all the same.
            if (mayRefuse(::fchown(fd, old.st_uid, old.st_gid)) != 0)
                mayRefuse(::fchown(fd, static_cast<uid_t>(-1), old.st_gid));
            mayRefuse(::fchmod(fd, old.st_mode & 0777));
        }
        return fd;
    }
    beside->temp[0] = '\0';
    return failed(error, -1);
}

int replaceWithBeside(int fd, Beside* beside) {
    bool whole = fd >= 0 && beside->temp[0] != '\0';
    if (whole) {
        int rc;
        do {
            rc = ::fsync(fd);
        } while (rc != 0 && errno == EINTR);
        whole = rc == 0;
        if (!whole) lastFileErrno = errno;
    }
    if (fd >= 0 && ::close(fd) != 0) {
        if (whole) lastFileErrno = errno;
        whole = false;
    }
    if (whole && ::rename(beside->temp, beside->target) != 0) {
        lastFileErrno = errno;
        whole = false;
    }
    if (!whole && beside->temp[0]) ::unlink(beside->temp);
    beside->temp[0] = '\0';
    return whole ? 0 : -1;
}

void removeBeside(Beside* beside) {
    if (beside->temp[0]) ::unlink(beside->temp);
    beside->temp[0] = '\0';
}

int setModified(int fd, int64_t seconds) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;  // the access time stays
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = 0;
    return fd >= 0 && ::futimens(fd, times) == 0 ? 0 : -1;
}

int64_t timeNow() { return static_cast<int64_t>(::time(nullptr)); }

}  // namespace plat
