// Input and output files as descriptors, with 64-bit offsets and sizes.
#define _FILE_OFFSET_BITS 64

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

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

}  // namespace

int checkOut(const char* path, int* held) {
    *held = -1;
    if (!path || !*path) return failed(ENOENT, -1);
    struct stat st;
    if (::stat(path, &st) != 0) {
        if (errno != ENOENT) return failed(errno, -1);
        return newFileFits(path) ? 0 : -1;
    }
    if (S_ISDIR(st.st_mode)) return failed(EISDIR, -1);
    if (S_ISREG(st.st_mode)) return writable(path, W_OK) ? 0 : failed(errno, -1);
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

}  // namespace plat
