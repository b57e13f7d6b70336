// Files through the C runtime's low-level binary handles: the body file
// read, the reply file written with no stream buffer between.
#include <cstdio>  // SEEK_CUR
#include <cstring>

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

// By name only: an open would be needed to learn more (rights, locks, a
// read-only volume), and an open may create or change what it opens.
int checkOut(const char* path, int* held) {
    *held = -1;
    if (!path || !*path) return -1;
    size_t len = std::strlen(path);
    // "name\" can only ever be a folder; a name too long for the ANSI
    // calls can never be opened by them.
    if (path[len - 1] == '\\' || path[len - 1] == '/' || len >= MAX_PATH) return -1;
    DWORD attrs = ::GetFileAttributesA(path);
    if (attrs != INVALID_FILE_ATTRIBUTES)
        return attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY) ? -1 : 0;
    if (::GetLastError() != ERROR_FILE_NOT_FOUND) return -1;
    // A new name: the folder that would hold it must be a folder. Without
    // a separator (or after a drive's colon) it is the current one.
    const char* sep = nullptr;
    for (const char* p = path; *p; ++p)
        if (*p == '\\' || *p == '/') sep = p;
    if (!sep) return 0;
    char folder[MAX_PATH];
    size_t n = static_cast<size_t>(sep - path) + 1;  // "C:\dir\": the separator kept
    std::memcpy(folder, path, n);
    folder[n] = '\0';
    DWORD f = ::GetFileAttributesA(folder);
    return f != INVALID_FILE_ATTRIBUTES && (f & FILE_ATTRIBUTE_DIRECTORY) ? 0 : -1;
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
