// Files through the C runtime's low-level binary handles: the body file
// read, the reply file written with no stream buffer between.
#include <cstdio>  // SEEK_CUR

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "winsys.h"

namespace plat {

int openRead(const char* path) {
    int fd = ::_open(path, _O_RDONLY | _O_BINARY);
    if (fd < 0) return -1;
    // Only a regular file has a size to announce and an end: a device (NUL,
    // CON) or a pipe is refused.
    struct _stati64 st;
    if (::_fstati64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
        ::_close(fd);
        return -1;
    }
    return fd;
}

int readFile(int fd, char* buf, int len) {
    return ::_read(fd, buf, static_cast<unsigned>(len));
}

int64_t seekCur(int fd, int64_t offset) { return ::_lseeki64(fd, offset, SEEK_CUR); }

int closeFile(int fd) { return ::_close(fd); }

int64_t fileSize(int fd) {
    struct _stati64 st;
    if (fd < 0 || ::_fstati64(fd, &st) != 0) return -1;
    return st.st_size;
}

int openOut(const char* path) {
    if (!path) return -1;
    return ::_open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                   _S_IREAD | _S_IWRITE);
}

size_t writeOut(int fd, const char* buf, size_t len) {
    if (fd < 0 || (!buf && len > 0)) return 0;
    // A short count means the disk is full; the next write says so and ends
    // the loop.
    size_t done = 0;
    while (done < len) {
        size_t piece = len - done;
        if (piece > 0x40000000u) piece = 0x40000000u;  // _write counts in int
        int n = ::_write(fd, buf + done, static_cast<unsigned>(piece));
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

int closeOut(int fd) { return fd < 0 ? -1 : ::_close(fd); }

}  // namespace plat
