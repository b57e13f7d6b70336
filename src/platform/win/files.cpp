// Files through the C runtime: the body file as a low-level binary handle,
// the reply file as a "wb" stream.
#include <cstdio>

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

int64_t fileSize(const char* path) {
    struct _stati64 st;
    if (!path || ::_stati64(path, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) return 0;
    return st.st_size;
}

void* openOut(const char* path) { return std::fopen(path, "wb"); }

size_t writeOut(void* stream, const char* buf, size_t len) {
    return std::fwrite(buf, 1, len, static_cast<FILE*>(stream));
}

int closeOut(void* stream) { return std::fclose(static_cast<FILE*>(stream)); }

}  // namespace plat
