// Input and output files as descriptors, with 64-bit offsets and sizes.
#define _FILE_OFFSET_BITS 64

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix_internal.h"

namespace plat {

int openRead(const char* path) {
    if (!path) return -1;
    // Non-blocking, so that opening a FIFO without a writer does not hang;
    // only a regular file has a size to announce and an end, so a FIFO, a
    // device or a directory is refused once open.
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) < 0 || !S_ISREG(st.st_mode) ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int readFile(int fd, char* buf, int len) {
    if (len < 0 || (!buf && len > 0)) return -1;
    ssize_t n;
    do {
        n = ::read(fd, buf, static_cast<size_t>(len));
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

int64_t seekCur(int fd, int64_t offset) {
    off_t pos = ::lseek(fd, static_cast<off_t>(offset), SEEK_CUR);
    return static_cast<int64_t>(pos);
}

int closeFile(int fd) { return ::close(fd); }

int64_t fileSize(const char* path) {
    struct stat st;
    if (!path || ::stat(path, &st) < 0 || !S_ISREG(st.st_mode)) return 0;
    return static_cast<int64_t>(st.st_size);
}

int openOut(const char* path) {
    if (!path) return -1;
    int fd;
    do {
        fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

size_t writeOut(int fd, const char* buf, size_t len) {
    if (fd < 0 || (!buf && len > 0)) return 0;
    // A regular file takes a short count only when it is out of room; the
    // next write then says why, and the loop stops there. The output may
    // also be a pipe or a FIFO whose reader has left: that is a failure of
    // the output, never a signal to the host.
    return posix::withoutSigpipe([&] {
        size_t done = 0;
        while (done < len) {
            ssize_t n = ::write(fd, buf + done, len - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        return done;
    });
}

int closeOut(int fd) {
    if (fd < 0) return -1;
    // Not retried on EINTR: the descriptor is gone either way, and the
    // failure is reported, as bytes may not have reached the file.
    return ::close(fd);
}

}  // namespace plat
